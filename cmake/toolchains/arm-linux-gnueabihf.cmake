# SPDX-License-Identifier: MIT
# 32-bit ARM, hard-float (Debian armhf):
#   cmake --toolchain cmake/toolchains/arm-linux-gnueabihf.cmake -S . -B build-cross-armhf
set(LANECAMD_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(LANECAMD_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
