// SPDX-License-Identifier: MIT
#include "service.h"

int main(int argc, char** argv) { return lanecamd_main(argc, argv); }
