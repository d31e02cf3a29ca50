# A user-mode DLL for the host build: a module the machine loads into a
# process as Windows loads a DLL. It shows only the exports its .def file
# lists (the same file the cross build uses) and may import only the machine's
# user-mode library, so a kernel routine or a C++ runtime call does not link.
#
#   nrv_user_module(TARGET DEF file.def OUTPUT_NAME NAME SOURCES ...)
function(nrv_user_module target)
  cmake_parse_arguments(ARG "" "DEF;OUTPUT_NAME" "SOURCES" ${ARGN})
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

  add_library(${target} MODULE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_OUTPUT_NAME} SUFFIX ".so"
                                             LINKER_LANGUAGE C LINK_DEPENDS ${ARG_DEF})
  # No sibling calls: the machine names the module and routine that allocated
  # memory or opened a handle by its return address, which a tail call would
  # hand on to the caller's caller.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-optimize-sibling-calls ${NRV_WARNINGS})
  target_link_libraries(${target} PRIVATE nrvuser)
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--version-script=${script})
endfunction()
