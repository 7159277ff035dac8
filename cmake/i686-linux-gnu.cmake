# SPDX-License-Identifier: BSD-3-Clause
# Toolchain for the 32-bit x86 build of qvkserver and libqvkmgrudk with the
# host's gcc-multilib:  cmake -S . -B build32 --toolchain cmake/i686-linux-gnu.cmake
# Only the daemon, the plug-in, the requester library and their tests are
# built (the 32-bit tree needs no NSS or FUSE), and GoogleTest is compiled
# from Debian's sources in /usr/src/googletest, since its packaged libraries
# are 64-bit. Large-file offsets keep a node whose file position grows (the
# virtual token's FUSE files) usable past 2 GiB of traffic.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)

set(QVK_DAEMON_ONLY ON CACHE BOOL "Build only qvkserver, libqvkmgrudk and their tests")
set(QVK_GTEST_FROM_SOURCE ON CACHE BOOL "Compile GoogleTest from /usr/src/googletest")
