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

  set(resources "")
  if(ARG_RC)
    get_filename_component(rc ${ARG_RC} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    set(resources ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.cpp)
    add_custom_command(OUTPUT ${resources}
      COMMAND nrv_resource_compiler ${rc} ${resources}
      DEPENDS nrv_resource_compiler ${rc}
      COMMENT "Compiling the string tables of ${ARG_RC}")
  endif()

  add_library(${target} MODULE ${ARG_SOURCES} ${resources})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".so"
                                             LINKER_LANGUAGE C LINK_DEPENDS ${ARG_DEF})
  # No sibling calls: the machine names the module and routine that allocated
  # memory or opened a handle by its return address, which a tail call would
  # hand on to the caller's caller.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-optimize-sibling-calls ${NRV_WARNINGS})
  target_link_libraries(${target} PRIVATE nrvuser)
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--version-script=${script})
endfunction()
