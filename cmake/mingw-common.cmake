# Shared part of the mingw-w64 toolchain files: compilers, where the target's
# libraries live, and pkg-config pointed at them only.
#
# The compression libraries Debian ships no mingw build of are built by
# scripts/install-windows-deps.sh into a cache folder outside the tree; its
# location comes from ARVELO_MINGW_CACHE (environment or cache variable).
set(CMAKE_C_COMPILER ${ARVELO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ARVELO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ARVELO_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${ARVELO_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ARVELO_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

if(NOT ARVELO_MINGW_CACHE)
  if(DEFINED ENV{ARVELO_MINGW_CACHE})
    set(ARVELO_MINGW_CACHE $ENV{ARVELO_MINGW_CACHE})
  elseif(EXISTS /var/cache/arvelo-mingw)
    set(ARVELO_MINGW_CACHE /var/cache/arvelo-mingw)
  else()
    set(ARVELO_MINGW_CACHE $ENV{HOME}/.cache/arvelo-mingw)
  endif()
endif()
set(ARVELO_MINGW_PREFIX ${ARVELO_MINGW_CACHE}/${ARVELO_MINGW_TRIPLE})

set(CMAKE_FIND_ROOT_PATH ${ARVELO_MINGW_PREFIX} /usr/${ARVELO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives first, so that nothing but system DLLs is imported.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a .dll.a)

set(ENV{PKG_CONFIG_LIBDIR} "${ARVELO_MINGW_PREFIX}/lib/pkgconfig:/usr/${ARVELO_MINGW_TRIPLE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_EXECUTABLE /usr/bin/pkg-config CACHE FILEPATH "")
# FindZLIB would take the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
# Everything is linked statically, so pkg-config answers with the private
# dependencies too (libgcrypt needs libgpg-error, which needs ws2_32).
set(PKG_CONFIG_ARGN --static)
