# Runs nrvsim's built-in scenario with --capture and reads the file back with
# tshark, as a person would open it in Wireshark: every packet must decode as
# the request it is, and the bulk payload must be the bytes printed.
#   cmake -DNRVSIM=<nrvsim> -DCAPTURE=<file> -P capture_readback.cmake
find_program(TSHARK tshark)
if(NOT TSHARK)
  message(FATAL_ERROR "tshark is not installed (scripts/install-deps.sh installs it)")
endif()

file(REMOVE "${CAPTURE}")
execute_process(COMMAND "${NRVSIM}" "--capture=${CAPTURE}" RESULT_VARIABLE status OUTPUT_VARIABLE transcript
                ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT transcript MATCHES "shutdown clean")
  message(FATAL_ERROR "nrvsim failed with ${status}:\n${errors}")
endif()

# The values of tshark's fields for the packets the display filter keeps: one
# packet's values separated by ',', packets by '|'.
function(fields result filter)
  execute_process(COMMAND "${TSHARK}" -r "${CAPTURE}" -Y "${filter}" -T fields -E separator=, ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tshark failed on '${filter}' with ${status}:\n${errors}")
  endif()
  string(STRIP "${output}" output)
  string(REPLACE "\n" "|" output "${output}")
  set(${result} "${output}" PARENT_SCOPE)
endfunction()

function(expect what actual expected)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(FATAL_ERROR "${what}: tshark read '${actual}', expected '${expected}'")
  endif()
endfunction()

execute_process(COMMAND capinfos -E -T -r "${CAPTURE}" OUTPUT_VARIABLE info RESULT_VARIABLE status)
if(status EQUAL 0)
  string(STRIP "${info}" info)
  expect("the link type" "${info}" "${CAPTURE}\tusb-usbpcap")
endif()

fields(malformed "_ws.malformed || _ws.expert.severity >= error" -e frame.number)
expect("packets tshark could not decode" "${malformed}" "")

# The device and configuration descriptors, read with the standard GET_DESCRIPTOR request.
fields(descriptors "usb.bmRequestType == 0x80 && usb.setup.bRequest == 6" -e usb.DescriptorIndex -e usb.bDescriptorType)
expect("the standard descriptor requests" "${descriptors}" "0x00,0x01|0x00,0x02")
fields(device "usb.bDescriptorType == 1 && usb.irp_info.direction == 1" -e usb.idVendor -e usb.idProduct)
expect("the device descriptor" "${device}" "0x0a5f,0x0027")

# The printer class's requests go to the interface as class requests; tshark's printer dissector reads the device ID.
fields(deviceId "usb.bmRequestType == 0xa1 && usbprinter.bRequest == 0 && usb.irp_info.direction == 0" -e usb.bmRequestType.type -e usb.bmRequestType.recipient)
expect("GET_DEVICE_ID" "${deviceId}" "0x01,0x01")
fields(deviceIdText "usbprinter.device_id" -e usbprinter.device_id)
expect("the device ID" "${deviceIdText}" "MFG:NRV;CMD:PCL,PJL;MDL:USB Printer 1;CLS:PRINTER;DES:NRV USB Printer 1;")
# The job stalls when the paper runs out: after the monitor's first 3 s wait slice it polls the port status.
fields(polls "usb.bmRequestType == 0xa1 && usbprinter.bRequest == 1 && usb.irp_info.direction == 0" -e usb.bmRequestType.type -e frame.time_relative)
expect("GET_PORT_STATUS" "${polls}" "0x01,3.120000500")
# SOFT_RESET goes out as a class request, to the recipient the driver's class options choose ("other" by default).
fields(resets "usb.setup.bRequest == 2 && usb.bmRequestType.type == 1 && usb.irp_info.direction == 0" -e usb.bmRequestType)
expect("SOFT_RESET" "${resets}" "0x23")

# Bulk OUT submissions carry the job's 150000 bytes; completions carry none.
fields(out "usb.transfer_type == 0x03 && usb.endpoint_address == 0x01 && usb.irp_info.direction == 0" -e usb.data_len)
string(REPLACE "|" ";" out "${out}")
set(total 0)
foreach(length IN LISTS out)
  math(EXPR total "${total} + ${length}")
endforeach()
expect("bulk OUT payload bytes" "${total}" "150000")
fields(outDone "usb.transfer_type == 0x03 && usb.endpoint_address == 0x01 && usb.irp_info.direction == 1" -e usb.data_len)
string(REPLACE "|" ";" outDone "${outDone}")
list(LENGTH out submitted)
list(LENGTH outDone completed)
expect("bulk OUT completions" "${completed}" "${submitted}")
# The reply the printer sent comes back as the bulk IN completion's payload.
fields(in "usb.transfer_type == 0x03 && usb.endpoint_address == 0x82 && usb.irp_info.direction == 1" -e usb.capdata)
expect("bulk IN payload" "${in}" "5354415455533a52454144593b50414745533a313b0d0a")
