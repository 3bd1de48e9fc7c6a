# 32-bit (i686) Linux build of the engine, the command line and the engine
# tests, run under user-mode emulation (qemu-i386-static) on machines that
# cannot run 32-bit programs themselves: it shows what pointer and size
# widths and a 4 GiB address space do to the code. Static, with the i386
# libraries scripts/install-i686-deps.sh puts into its cache (location from
# ARVELO_I686_CACHE, environment or cache variable). No Qt.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# glibc's iconv still loads its code page modules at run time, from the
# multilib C library (libc6-i386) that gcc-multilib installs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
# 2 GiB of address space, what a 32-bit Windows program has unless it is
# large-address-aware on a 64-bit system: the least the engine may count on.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static -R 0x80000000)
set(ARVELO_GUI OFF CACHE BOOL "")

if(NOT ARVELO_I686_CACHE)
  if(DEFINED ENV{ARVELO_I686_CACHE})
    set(ARVELO_I686_CACHE $ENV{ARVELO_I686_CACHE})
  elseif(EXISTS /var/cache/arvelo-i686)
    set(ARVELO_I686_CACHE /var/cache/arvelo-i686)
  else()
    set(ARVELO_I686_CACHE $ENV{HOME}/.cache/arvelo-i686)
  endif()
endif()
set(ARVELO_I686_PREFIX ${ARVELO_I686_CACHE}/i686-linux-gnu)

set(CMAKE_FIND_ROOT_PATH ${ARVELO_I686_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(ENV{PKG_CONFIG_LIBDIR} "${ARVELO_I686_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_EXECUTABLE /usr/bin/pkg-config CACHE FILEPATH "")
set(PKG_CONFIG_ARGN --static)
set(ZLIB_USE_STATIC_LIBS ON)
