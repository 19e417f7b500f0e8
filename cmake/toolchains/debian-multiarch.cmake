# SPDX-License-Identifier: MIT
# Cross-building with Debian's cross compilers and the target's libraries
# from Debian's multiarch archive (dpkg --add-architecture). Included by the
# per-target toolchain files, which set LANECAMD_TRIPLET, CMAKE_SYSTEM_PROCESSOR
# and LANECAMD_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${LANECAMD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${LANECAMD_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${LANECAMD_TRIPLET})

# The target's libraries, headers and CMake packages live in the host's own
# tree, under the target's multiarch directories; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${LANECAMD_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files (and the architecture-free
# ones such as systemd's), never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LANECAMD_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs, and the target programs they start, run under qemu-user
# called explicitly: binfmt registration may be missing (containers, CI).
# "-L /" takes the target's loader and C library from the multiarch
# directories, beside the target's other libraries, as on the camera. The
# cross compiler's own copy under /usr/<triplet> is an older build of the
# same C library whose forked children hang (arm64) or crash (armhf) under
# qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${LANECAMD_QEMU} -L /)
