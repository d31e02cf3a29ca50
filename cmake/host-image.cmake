# A deliverable's Windows image for the host build: a PE32 (i386) file that
# holds only the resources of its resource script (the one the cross build
# gives windres), string tables and version resource, and no code. It stands
# for the deliverable in the machine's files, where programs read its version
# resource from the file's bytes as they do on Windows. The file lands in
# ${NRV_HOST_IMAGE_DIR}/<OUTPUT_NAME>; the target's NRV_IMAGE_FILE property
# names it too. It is built with `all`, and before MODULE when one is named.
#
#   nrv_host_image(TARGET RC file.rc OUTPUT_NAME NRVUSB.SYS KIND driver|dll|exe [MODULE target])
set(NRV_HOST_IMAGE_DIR ${CMAKE_BINARY_DIR}/host-images)

function(nrv_host_image target)
  cmake_parse_arguments(ARG "" "RC;OUTPUT_NAME;KIND;MODULE" "" ${ARGN})
  if(NOT ARG_KIND MATCHES "^(driver|dll|exe)$")
    message(FATAL_ERROR "nrv_host_image(${target}): KIND must be driver, dll or exe, not '${ARG_KIND}'")
  endif()
  get_filename_component(rc ${ARG_RC} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  set(image ${NRV_HOST_IMAGE_DIR}/${ARG_OUTPUT_NAME})
  add_custom_command(OUTPUT ${image}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${NRV_HOST_IMAGE_DIR}
    COMMAND nrv_resource_compiler --image ${ARG_KIND} ${rc} ${image}
    DEPENDS nrv_resource_compiler ${rc}
    COMMENT "Building the host image ${ARG_OUTPUT_NAME} from ${ARG_RC}")
  add_custom_target(${target} ALL DEPENDS ${image})
  set_target_properties(${target} PROPERTIES NRV_IMAGE_FILE ${image})
  if(ARG_MODULE)
    add_dependencies(${ARG_MODULE} ${target})
  endif()
endfunction()
