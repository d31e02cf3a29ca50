# One machine through several nrvsim runs, kept in a folder:
#   cmake -DNRVSIM=<nrvsim> -DFOLDER=<folder> -P machine_folder.cmake
# The first run makes a Windows 98 machine and saves it; the second loads it
# (driver and monitor load again from its files, the printer gets its port
# name back); a WinInit.ini line put into its folder deletes the monitor's file
# at the third run's start; a run that names another profile, and a folder
# whose registry is damaged, are refused. On Windows 2000 a deletion left in
# PendingFileRenameOperations takes the driver's file at the next run's start.
file(REMOVE_RECURSE "${FOLDER}")

function(run expected_status output_variable)
  execute_process(COMMAND "${NRVSIM}" ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE error)
  if(NOT status STREQUAL expected_status)
    message(FATAL_ERROR "nrvsim ${ARGN}: exit status ${status}, expected ${expected_status}\n${output}\n${error}")
  endif()
  set(${output_variable} "${output}${error}" PARENT_SCOPE)
endfunction()

function(expect text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "does not match '${pattern}':\n${text}")
  endif()
endfunction()

run(0 first --profile=98 "--machine=${FOLDER}" "--run=plug A serial=SA\nplug B serial=SB\nunplug A")
expect("${first}" "saved the machine to [^\n]+\n +shutdown clean")

run(0 second "--machine=${FOLDER}" "--run=plug B serial=SB\nports")
expect("${second}" "booted Windows 98 \\(4.10\\)[^\n]*\n[^\n]*loaded the machine from [^\n]+ and started it from its disk\n\
 +no file operations were left for the start\n\
 +driver NRVUSB \\(C:.WINDOWS.SYSTEM.NRVUSB.SYS\\) loaded again as the function driver\n\
 +port monitor \"Norvo USB Printer Port Monitor\" \\(NRVUSBMN.DLL\\) loaded again\n")
# B keeps the port name it had, the second one, though A is not plugged in.
expect("${second}" "port name \"NRVUSB002:\"")
expect("${second}" "NRVUSB001: +Norvo USB Printer Port Monitor +\"USB Port Not Connected\"")

file(WRITE "${FOLDER}/C/WINDOWS/WININIT.INI" "[Rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\NRVUSBMN.DLL\r\n")
run(0 third "--machine=${FOLDER}" "--run=files C:\\WINDOWS")
expect("${third}" "loaded the machine from [^\n]+\n\
 +WININIT.INI: NUL=C:.WINDOWS.SYSTEM.NRVUSBMN.DLL: deleted\n\
 +WININIT.INI: WININIT.INI -> WININIT.BAK: renamed\n\
 +driver NRVUSB [^\n]+ loaded again as the function driver\n\
 +port monitor \"Norvo USB Printer Port Monitor\" \\(NRVUSBMN.DLL\\) did not load: NRVUSBMN.DLL is not in the system folder\n")
expect("${third}" "C:.WINDOWS.WININIT.BAK  [0-9]+ bytes\n")
if(third MATCHES "NRVUSBMN.DLL  [0-9]+ bytes" OR EXISTS "${FOLDER}/C/WINDOWS/SYSTEM/NRVUSBMN.DLL")
  message(FATAL_ERROR "the monitor's file is still there:\n${third}")
endif()

run(2 refused --profile=2000 "--machine=${FOLDER}" "--run=ports")
expect("${refused}" "nrvsim: the machine in [^\n]+ runs Windows 98 \\(4.10\\), but --profile asks for Windows 2000 \\(5.0\\)\n")

file(APPEND "${FOLDER}/registry.txt" "\"broken\" = dword 7\n")
run(2 damaged "--machine=${FOLDER}" "--run=ports")
expect("${damaged}" "nrvsim: cannot load the machine: [^\n]+/registry.txt:[0-9]+: a dword is written 0x and eight hexadecimal digits\n")
file(REMOVE_RECURSE "${FOLDER}")

run(0 first2000 --profile=2000 "--machine=${FOLDER}" "--run=plug A")
file(APPEND "${FOLDER}/registry.txt" "[\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Session Manager]\n\
\"PendingFileRenameOperations\" = multi_sz \"\\??\\C:\\WINNT\\System32\\DRIVERS\\NRVUSB.SYS\" \"\"\n")
run(0 second2000 "--machine=${FOLDER}" "--run=plug A\nregistry \"HKLM\\\\System\\\\CurrentControlSet\\\\Control\\\\Session Manager\"")
expect("${second2000}" "loaded the machine from [^\n]+\n\
 +PendingFileRenameOperations: \".\\?\\?.C:.WINNT.System32.DRIVERS.NRVUSB.SYS\" -> \"\": deleted\n\
 +driver NRVUSB \\(C:.WINNT.System32.DRIVERS.NRVUSB.SYS\\) did not load: C:.WINNT.System32.DRIVERS.NRVUSB.SYS does not exist\n")
# Without its driver the printer has no stack; the value is gone once carried out.
expect("${second2000}" "> plug A\n[^\n]*\n[^\n]*\n +no stack: node enumerated")
if(second2000 MATCHES "PendingFileRenameOperations +REG_MULTI_SZ")
  message(FATAL_ERROR "the pending operations are still there:\n${second2000}")
endif()
file(REMOVE_RECURSE "${FOLDER}")
