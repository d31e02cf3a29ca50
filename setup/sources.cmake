# The sources of the two setup programs: the clean-up routines both carry, each
# program's own part of them, and each program's own routines.
set(SETUP_COMMON_SOURCES
  deferred_removal.cpp
  lptenum_devices.cpp
  os_kind.cpp
  port_mru.cpp
  printer_devices.cpp
  printers_on_port.cpp
  restart.cpp
  setup_path.cpp
  text_no_case.cpp
  trace.cpp
  wininit_rename.cpp
)
list(TRANSFORM SETUP_COMMON_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/common/)
list(APPEND SETUP_COMMON_SOURCES ${PROJECT_SOURCE_DIR}/common/language_base.cpp
  ${PROJECT_SOURCE_DIR}/common/printer_interface.cpp ${PROJECT_SOURCE_DIR}/common/string_table.cpp)

set(NRVUSBIN_CLEANUP_SOURCES lptenum_keys.cpp remove_devices.cpp trace_prefix.cpp)
list(TRANSFORM NRVUSBIN_CLEANUP_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/installer/)
set(NRVUSBUN_CLEANUP_SOURCES enum_key.cpp hardware_id.cpp remove_devices.cpp trace_prefix.cpp)
list(TRANSFORM NRVUSBUN_CLEANUP_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/uninstaller/)

set(SETUP_INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR}/common ${PROJECT_SOURCE_DIR}/common)

set(NRVUSBIN_SOURCES check_version.cpp dll_entry.cpp install_port_monitor.cpp monitor_registration.cpp
  operating_system.cpp serial_numbers.cpp)
list(TRANSFORM NRVUSBIN_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/installer/)
list(APPEND NRVUSBIN_SOURCES ${SETUP_COMMON_SOURCES} ${NRVUSBIN_CLEANUP_SOURCES})

set(NRVUSBUN_SOURCES program_entry.cpp registry_tree.cpp uninstall_sequence.cpp)
list(TRANSFORM NRVUSBUN_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/uninstaller/)
list(APPEND NRVUSBUN_SOURCES ${SETUP_COMMON_SOURCES} ${NRVUSBUN_CLEANUP_SOURCES})
