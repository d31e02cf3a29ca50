# The monitor's sources, shared by the host module and the cross-built NRVUSBMN.DLL.
set(NRVUSBMN_SOURCES
  device_id_field.cpp
  enum_ports.cpp
  monitor_entry.cpp
  owned_text.cpp
  port_key.cpp
  port_list.cpp
  scan_ports.cpp
  string_table.cpp
)
