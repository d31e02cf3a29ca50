# Cross mode (NRV_CROSS=ON, toolchain cmake/mingw-i686.cmake): builds the real 32-bit
# Windows images from the deliverables' own sources, against the MinGW SDK and DDK
# headers instead of platform/include. Nothing host-only is configured here.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "NRV_CROSS needs the 32-bit MinGW-w64 toolchain: "
                      "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake")
endif()

enable_language(RC)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

# Each image links exactly the system libraries it names, nothing implied.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# Every image lands in one folder: <cross build>/bin.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

find_path(NRV_DDK_INCLUDE_DIR ntddk.h
  PATHS /usr/share/mingw-w64/include/ddk /usr/${NRV_MINGW_TRIPLET}/include/ddk
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)

# Kernel code has no unwinder, so no unwind tables either. The DDK headers declare
# these intrinsics that the compiler also provides; kernel code must use the kernel's
# own sprintf, not MinGW's ANSI replacement.
set(NRV_KERNEL_CXX_FLAGS
  -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
  -D__USE_MINGW_ANSI_STDIO=0
  -Wall -Wextra -Werror)

# ---- NRVUSB.SYS: kernel-mode WDM driver, native subsystem -------------------
include(${PROJECT_SOURCE_DIR}/driver/sources.cmake)
list(TRANSFORM NRVUSB_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/driver/)

# Sources compiled only into the image: static_asserts that pin the 32-bit sizes of the
# structures the driver shares with the system (URBs and the like), checked here against
# the real headers.
set(NRVUSB_IMAGE_ONLY_SOURCES ${PROJECT_SOURCE_DIR}/driver/structure_sizes.cpp)

add_library(nrvusb_sys MODULE ${NRVUSB_SOURCES} ${NRVUSB_IMAGE_ONLY_SOURCES} ${PROJECT_SOURCE_DIR}/driver/NRVUSB.rc)
set_target_properties(nrvusb_sys PROPERTIES PREFIX "" OUTPUT_NAME NRVUSB SUFFIX ".SYS" DEFINE_SYMBOL "")
target_include_directories(nrvusb_sys PRIVATE ${PROJECT_SOURCE_DIR}/driver)
target_include_directories(nrvusb_sys SYSTEM PRIVATE ${NRV_DDK_INCLUDE_DIR})
target_compile_options(nrvusb_sys PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${NRV_KERNEL_CXX_FLAGS}>")
# No C or C++ runtime in the kernel: imports come only from the kernel, the HAL and
# the USB driver interface; libgcc supplies only compiler helpers such as 64-bit division.
# The loader relocates the image; 0x10000 is the customary base of a driver.
target_link_options(nrvusb_sys PRIVATE
  -nostdlib -s -Wl,--subsystem,native
  -Wl,--entry,_DriverEntry@8 -Wl,--require-defined,_DriverEntry@8
  -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols)
target_link_libraries(nrvusb_sys PRIVATE ntoskrnl hal usbd gcc)

# ---- NRVUSBMN.DLL: the spooler's port monitor, a user-mode DLL ----------------
include(${PROJECT_SOURCE_DIR}/monitor/sources.cmake)
list(TRANSFORM NRVUSBMN_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/monitor/)
set(NRV_COMMON_SOURCES ${PROJECT_SOURCE_DIR}/common/language_base.cpp ${PROJECT_SOURCE_DIR}/common/printer_interface.cpp
  ${PROJECT_SOURCE_DIR}/common/string_table.cpp)

# Compiled only into the user-mode images: the memory routines the compiler may
# call, which must not be built into calls to themselves.
set(NRV_RUNTIME_SUPPORT ${PROJECT_SOURCE_DIR}/common/runtime_support.cpp)
set_source_files_properties(${NRV_RUNTIME_SUPPORT} PROPERTIES COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)
# And into the monitor: the static_asserts on the 32-bit records it shares with the system.
set(NRVUSBMN_IMAGE_ONLY_SOURCES ${PROJECT_SOURCE_DIR}/monitor/structure_sizes.cpp ${NRV_RUNTIME_SUPPORT})

# User-mode code without a C or C++ runtime: no exceptions, no RTTI, no unwinder, and
# only the ANSI forms of the system's routines.
set(NRV_USER_CXX_FLAGS
  -O2 -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-threadsafe-statics
  -Wall -Wextra -Werror)

# What every user-mode image shares: made for Windows 4.0 (subsystem version 4,
# so that Windows 98 loads it), no runtime, and its own routine as the entry point.
function(nrv_windows4_user_image target entry)
  target_compile_definitions(${target} PRIVATE WINVER=0x0400 _WIN32_WINNT=0x0400)
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:${NRV_USER_CXX_FLAGS}>")
  target_link_options(${target} PRIVATE
    -nostdlib -s -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--entry,${entry} -Wl,--require-defined,${entry}
    -Wl,--exclude-all-symbols)
endfunction()

add_library(nrvusbmn_dll MODULE ${NRVUSBMN_SOURCES} ${NRV_COMMON_SOURCES} ${NRVUSBMN_IMAGE_ONLY_SOURCES}
  ${PROJECT_SOURCE_DIR}/monitor/NRVUSBMN.rc ${PROJECT_SOURCE_DIR}/monitor/NRVUSBMN.def)
set_target_properties(nrvusbmn_dll PROPERTIES PREFIX "" OUTPUT_NAME NRVUSBMN SUFFIX ".DLL" DEFINE_SYMBOL "")
target_include_directories(nrvusbmn_dll PRIVATE ${PROJECT_SOURCE_DIR}/monitor ${PROJECT_SOURCE_DIR}/common
  ${PROJECT_SOURCE_DIR}/driver)
# The entry point is the library's own DllEntryPoint; the .def file gives the two
# exports their undecorated names.
nrv_windows4_user_image(nrvusbmn_dll _DllEntryPoint@12)
target_link_libraries(nrvusbmn_dll PRIVATE kernel32 advapi32 user32 setupapi winspool gcc)

# ---- NRVUSBIN.DLL: the installer library the printer's installation calls -------
include(${PROJECT_SOURCE_DIR}/setup/sources.cmake)
# The system libraries both setup programs link: uuid holds the printer class GUID.
set(NRV_SETUP_LIBRARIES kernel32 advapi32 user32 version setupapi winspool uuid gcc)

add_library(nrvusbin_dll MODULE ${NRVUSBIN_SOURCES} ${NRV_RUNTIME_SUPPORT}
  ${PROJECT_SOURCE_DIR}/setup/installer/NRVUSBIN.rc ${PROJECT_SOURCE_DIR}/setup/installer/NRVUSBIN.def)
set_target_properties(nrvusbin_dll PROPERTIES PREFIX "" OUTPUT_NAME NRVUSBIN SUFFIX ".DLL" DEFINE_SYMBOL "")
target_include_directories(nrvusbin_dll PRIVATE ${SETUP_INCLUDE_DIRECTORIES})
# The .def file gives the three exports their undecorated names.
nrv_windows4_user_image(nrvusbin_dll _DllEntryPoint@12)
target_link_libraries(nrvusbin_dll PRIVATE ${NRV_SETUP_LIBRARIES})

# ---- NRVUSBUN.EXE: the uninstaller, a windowed program without a window -------
# Compiled only into the image: the start the system calls, which hands the
# program's entry its instance handle and ends the process with its result.
add_executable(nrvusbun_exe WIN32 ${NRVUSBUN_SOURCES} ${NRV_RUNTIME_SUPPORT}
  ${PROJECT_SOURCE_DIR}/setup/uninstaller/program_start.cpp ${PROJECT_SOURCE_DIR}/setup/uninstaller/NRVUSBUN.rc)
set_target_properties(nrvusbun_exe PROPERTIES OUTPUT_NAME NRVUSBUN SUFFIX ".EXE")
target_include_directories(nrvusbun_exe PRIVATE ${SETUP_INCLUDE_DIRECTORIES})
nrv_windows4_user_image(nrvusbun_exe _ProgramStart@0)
target_link_libraries(nrvusbun_exe PRIVATE ${NRV_SETUP_LIBRARIES})
