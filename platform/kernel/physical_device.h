// A device the machine's bus reports: the physical device object at the bottom
// of a stack. It answers what a bus driver answers for requests it does not
// serve, records every request, and lets a test take over its answers.
#pragma once

#include <wdm.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

struct SeenRequest {
  UCHAR majorFunction;
  UCHAR minorFunction;
  ULONG ioControlCode;
};

// Handles a request sent to the physical device; it must complete the IRP.
using RequestHandler = std::function<NTSTATUS(PIRP irp)>;

class PhysicalDevice {
 public:
  PhysicalDevice(PDEVICE_OBJECT object, std::u16string instancePath);

  PDEVICE_OBJECT object() const { return object_; }
  const std::u16string& instancePath() const { return instancePath_; }
  void setHandler(RequestHandler handler);
  std::vector<SeenRequest> requests() const;

  NTSTATUS dispatch(PIRP irp);

 private:
  PDEVICE_OBJECT object_;
  std::u16string instancePath_;
  RequestHandler handler_;
  mutable std::mutex lock_;
  std::vector<SeenRequest> requests_;
};

// Completes a request the way a bus driver answers what it does not serve.
NTSTATUS completeAsBusDriverDefault(PIRP irp);

// DriverEntry of the machine's bus driver, which owns every physical device.
NTSTATUS busDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace nrv
