#include "win32_error.h"

#include <windows.h>

#include <map>

namespace nrvsim {

std::string win32ErrorName(uint32_t error) {
  static const std::map<uint32_t, const char*> names = {
      {ERROR_SUCCESS, "ERROR_SUCCESS"},
      {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
      {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
      {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
      {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
      {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
      {ERROR_NOT_READY, "ERROR_NOT_READY"},
      {ERROR_OUT_OF_PAPER, "ERROR_OUT_OF_PAPER"},
      {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
      {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
      {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
      {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
      {ERROR_BUSY, "ERROR_BUSY"},
      {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
      {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
      {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
      {ERROR_COUNTER_TIMEOUT, "ERROR_COUNTER_TIMEOUT"},
      {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
      {ERROR_TIMEOUT, "ERROR_TIMEOUT"},
      {RPC_S_SERVER_UNAVAILABLE, "RPC_S_SERVER_UNAVAILABLE"},
      {ERROR_UNKNOWN_PORT, "ERROR_UNKNOWN_PORT"},
      {ERROR_INVALID_PRINTER_NAME, "ERROR_INVALID_PRINTER_NAME"},
      {ERROR_PRINTER_ALREADY_EXISTS, "ERROR_PRINTER_ALREADY_EXISTS"},
      {ERROR_INVALID_PRINTER_COMMAND, "ERROR_INVALID_PRINTER_COMMAND"},
  };
  auto found = names.find(error);
  return found != names.end() ? found->second : "";
}

std::string win32ErrorText(uint32_t error) {
  std::string name = win32ErrorName(error);
  return name.empty() ? std::to_string(error) : std::to_string(error) + " (" + name + ")";
}

}  // namespace nrvsim
