# Host mode: drives the cross build of the Windows images as a sub-build of the same
# source tree in <build>/cross, so `cmake --build build` builds host and cross alike.
# Sets NRV_CROSS_IMAGE_DIR (where the images land) for the tests that inspect them.

option(NRV_WITH_CROSS "Also build the 32-bit Windows images with MinGW-w64" ON)

if(NRV_WITH_CROSS)
  include(ExternalProject)
  set(NRV_CROSS_BINARY_DIR ${PROJECT_BINARY_DIR}/cross)
  set(NRV_CROSS_IMAGE_DIR ${NRV_CROSS_BINARY_DIR}/bin)
  ExternalProject_Add(nrv_cross
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${NRV_CROSS_BINARY_DIR}
    CMAKE_ARGS
      -DNRV_CROSS=ON
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    INSTALL_COMMAND ""
    # The sub-build tracks its own sources; always ask it whether anything changed.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${NRV_CROSS_IMAGE_DIR}/NRVUSB.SYS ${NRV_CROSS_IMAGE_DIR}/NRVUSBMN.DLL
      ${NRV_CROSS_IMAGE_DIR}/NRVUSBIN.DLL ${NRV_CROSS_IMAGE_DIR}/NRVUSBUN.EXE)
endif()
