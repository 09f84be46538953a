# Cross-builds the Windows x64 programs with Debian's MinGW-w64 compiler (posix threads) against
# the Windows toolchain archive unpacked in the build tree: Qt in qt-mingw/, TagLib, FFTW and the
# Windows tools in prefix/. `make windows` passes the unpacked folder as QUORVANE_WINCROSS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER   x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)

# The compiler checks configure projects of their own; they need the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUORVANE_WINCROSS)
if(NOT QUORVANE_WINCROSS OR NOT EXISTS "${QUORVANE_WINCROSS}/qt-mingw")
    message(FATAL_ERROR "QUORVANE_WINCROSS must name the unpacked Windows toolchain (qt-mingw/, prefix/)")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${QUORVANE_WINCROSS}/prefix" "${QUORVANE_WINCROSS}/qt-mingw")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# moc, rcc and uic are the build machine's: Debian's Qt of the same version.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
# TagLib's and FFTW's pkg-config files are relocatable and found only here.
set(ENV{PKG_CONFIG_LIBDIR} "${QUORVANE_WINCROSS}/prefix/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
