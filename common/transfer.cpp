// SPDX-License-Identifier: MIT
#include "transfer.h"

#include <cstdlib>

const char* transfer_socket_path() {
  const char* path = std::getenv(TRANSFER_SOCKET_ENV);
  return path && *path ? path : TRANSFER_SOCKET_PATH;
}
