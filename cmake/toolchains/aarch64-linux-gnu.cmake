# SPDX-License-Identifier: MIT
# 64-bit ARM (Debian arm64):
#   cmake --toolchain cmake/toolchains/aarch64-linux-gnu.cmake -S . -B build-cross-arm64
set(LANECAMD_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LANECAMD_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
