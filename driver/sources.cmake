# The driver's sources, shared by the host module and the cross-built NRVUSB.SYS.
set(NRVUSB_SOURCES
  bulk_transfer.cpp
  create_close.cpp
  device_control.cpp
  device_interface.cpp
  device_object.cpp
  driver_entry.cpp
  io_count.cpp
  irp_completion.cpp
  pnp.cpp
  port_names.cpp
  power.cpp
  registry_values.cpp
  system_control.cpp
  usb_configuration.cpp
  usb_requests.cpp
)
