# Cross-build for Windows x64 on a Debian machine with mingw-w64 (the posix
# thread model, for std::thread); libraries are searched only among
# mingw-w64's own and under the prefix in VALDRANE_MINGW_PREFIX, where
# .ci/libtiff-mingw installs libtiff and GoogleTest. Everything is linked
# statically, so the program needs no DLL beyond Windows' own; the tests run
# under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $ENV{VALDRANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(ZLIB_USE_STATIC_LIBS ON)
# pkg-config finds only what was built for Windows.
set(ENV{PKG_CONFIG_LIBDIR} $ENV{VALDRANE_MINGW_PREFIX}/lib/pkgconfig)
