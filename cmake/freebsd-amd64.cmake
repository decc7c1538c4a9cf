# Cross-builds for FreeBSD on x86-64 with clang and lld, against a FreeBSD
# sysroot (its usr/include, and its lib/ when it has one):
#
#   cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd-amd64.cmake \
#         -DFREEBSD_SYSROOT=<sysroot> -DFREEBSD_RELEASE=13.4
#
# The daemon links against the C library alone (see CMakeLists.txt), so that
# anything it needs beyond it fails the link; mirebox-stats links against
# FreeBSD's C++ runtime, libc++ and libcxxrt, where the sysroot has it.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR amd64)

set(FREEBSD_SYSROOT "" CACHE PATH "the FreeBSD sysroot to build against")
set(FREEBSD_RELEASE "13.4" CACHE STRING "the FreeBSD release the sysroot holds")
# try_compile runs this file again in a project of its own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FREEBSD_SYSROOT FREEBSD_RELEASE)
if(NOT IS_DIRECTORY "${FREEBSD_SYSROOT}/usr/include")
  message(FATAL_ERROR "FREEBSD_SYSROOT must name a FreeBSD sysroot, not '${FREEBSD_SYSROOT}'")
endif()

set(CMAKE_SYSROOT "${FREEBSD_SYSROOT}")
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET "x86_64-unknown-freebsd${FREEBSD_RELEASE}")
# clang 14's FreeBSD driver finds neither libc++'s headers nor, without
# -stdlib, libc++ itself.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${FREEBSD_SYSROOT}/usr/include/c++/v1")
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")
# A sysroot may have headers only: the compiler checks compile, never link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH "${FREEBSD_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
