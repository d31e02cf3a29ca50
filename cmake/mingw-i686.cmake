# Toolchain for the 32-bit Windows images: MinGW-w64 i686-w64-mingw32.
#   cmake -S . -B build/cross -DNRV_CROSS=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The host configure runs this for you (see cmake/cross-build.cmake).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(NRV_MINGW_TRIPLET i686-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${NRV_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${NRV_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${NRV_MINGW_TRIPLET}-windres REQUIRED)

# Headers and libraries come only from the MinGW sysroot; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${NRV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
