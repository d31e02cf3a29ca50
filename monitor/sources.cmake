# The monitor's sources, shared by the host module and the cross-built NRVUSBMN.DLL.
set(NRVUSBMN_SOURCES
  delete_port.cpp
  device_id_field.cpp
  device_values.cpp
  enum_ports.cpp
  monitor_entry.cpp
  owned_text.cpp
  port_device.cpp
  port_jobs.cpp
  port_key.cpp
  port_list.cpp
  printer_data.cpp
  read_port.cpp
  scan_ports.cpp
  write_port.cpp
)
