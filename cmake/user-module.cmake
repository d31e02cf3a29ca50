# What a DLL and a program share: a host module of the sources and the
# string tables of RC, showing only what the linker script exports.
function(nrv_user_image target output_name rc_file script sources)
  set(resources "")
  if(rc_file)
    get_filename_component(rc ${rc_file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(resources ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
    add_custom_command(OUTPUT ${resources}
      COMMAND nrv_resource_compiler ${rc} ${resources}
      DEPENDS nrv_resource_compiler ${rc}
      COMMENT "Compiling the string tables of ${rc_file}")
  endif()

  add_library(${target} MODULE ${sources} ${resources})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name} SUFFIX ".so"
                                             LINKER_LANGUAGE C LINK_DEPENDS ${script})
  # No sibling calls: the machine names the module and routine that allocated
  # memory or opened a handle by its return address, which a tail call would
  # hand on to the caller's caller.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-optimize-sibling-calls ${NRV_WARNINGS})
  target_link_libraries(${target} PRIVATE nrvuser)
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--version-script=${script})
endfunction()

# A user-mode DLL for the host build: a module the machine loads into a
# process as Windows loads a DLL. It shows only the exports its .def file
# lists (the same file the cross build uses) and may import only the machine's
# user-mode library, so a kernel routine or a C++ runtime call does not link.
# With RC, the string tables of its resource script (the one the cross build
# gives windres) go into the module's resource section.
#
#   nrv_user_module(TARGET DEF file.def OUTPUT_NAME NAME [RC file.rc] SOURCES ...)
function(nrv_user_module target)
  cmake_parse_arguments(ARG "" "DEF;OUTPUT_NAME;RC" "SOURCES" ${ARGN})
  # The exports: the first word of each line after EXPORTS, without ordinal or decoration.
  file(STRINGS ${ARG_DEF} lines)
  set(exports "")
  set(listing FALSE)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ";.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    elseif(line MATCHES "^EXPORTS")
      set(listing TRUE)
    elseif(line MATCHES "^(LIBRARY|NAME|DESCRIPTION|STACKSIZE|HEAPSIZE|SECTIONS|VERSION)( |$)")
      set(listing FALSE)
    elseif(listing)
      string(REGEX MATCH "^[A-Za-z_][A-Za-z0-9_]*" name "${line}")
      string(APPEND exports "${name}; ")
    endif()
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
  file(WRITE ${script} "{ global: ${exports}local: *; };\n")
  # The export list is read here, when the build is configured: a changed .def file configures it again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_DEF})

  nrv_user_image(${target} ${ARG_OUTPUT_NAME} "${ARG_RC}" ${script} "${ARG_SOURCES}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ARG_DEF})
endfunction()

# A windowed program for the host build: a module the machine loads as a
# program's image (Machine::runProgram) and whose only export is its entry,
# WinMain. Like a DLL it may import only the machine's user-mode library, and
# with RC its string tables go into its resource section.
#
#   nrv_user_program(TARGET OUTPUT_NAME NAME [RC file.rc] SOURCES ...)
function(nrv_user_program target)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME;RC" "SOURCES" ${ARGN})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.exports)
  file(WRITE ${script} "{ global: WinMain; local: *; };\n")
  nrv_user_image(${target} ${ARG_OUTPUT_NAME} "${ARG_RC}" ${script} "${ARG_SOURCES}")
endfunction()
