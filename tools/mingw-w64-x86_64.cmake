# Cross toolchain for the Windows helper: Debian's mingw-w64 (posix threads)
# and the static libraries of tools/build-windows-deps.sh, whose prefix
# arrives as OMBREX_WINDOWS_DEPS (a cache variable or the environment).
if(NOT OMBREX_WINDOWS_DEPS)
  set(OMBREX_WINDOWS_DEPS $ENV{OMBREX_WINDOWS_DEPS})
endif()
if(NOT OMBREX_WINDOWS_DEPS)
  message(FATAL_ERROR "OMBREX_WINDOWS_DEPS names no prefix; tools/build-windows.sh sets it")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OMBREX_WINDOWS_DEPS)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH ${OMBREX_WINDOWS_DEPS} /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Only static archives exist in the prefix; zlib's import library must not win.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# pkg-config sees only the cross libraries, with their private dependencies.
set(ENV{PKG_CONFIG_LIBDIR} "${OMBREX_WINDOWS_DEPS}/lib/pkgconfig:/usr/x86_64-w64-mingw32/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_ARGN --static)

# One self-contained .exe: the C++ runtime, winpthread and every library inside.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test programs run under Wine: the test listing and CTest start them with it.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
