# Sources of NRVUSB, shared by the host module and NRVUSB.SYS so the two builds never drift.
set(NRVUSB_SOURCES
  bulk_transfer.cpp
  create_close.cpp
  device_control.cpp
  device_interface.cpp
  driver_entry.cpp
  io_count.cpp
  irp_completion.cpp
  pnp.cpp
  power.cpp
  system_control.cpp
)
