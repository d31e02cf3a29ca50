// A device a bus reports: the physical device object at the bottom of a
// stack. It answers what a bus driver answers for requests it does not serve,
// records every request, and lets its bus (or a test) take over its answers.
#pragma once

#include <wdm.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nrv {

class BusPower;

struct SeenRequest {
  UCHAR majorFunction;
  UCHAR minorFunction;
  ULONG ioControlCode;
};

// Handles a request sent to the physical device; it must complete the IRP.
using RequestHandler = std::function<NTSTATUS(PIRP irp)>;

class PhysicalDevice {
 public:
  PhysicalDevice(PDEVICE_OBJECT object, std::u16string instancePath, BusPower& power);

  PDEVICE_OBJECT object() const { return object_; }
  const std::u16string& instancePath() const { return instancePath_; }
  void setHandler(RequestHandler handler);
  std::vector<SeenRequest> requests() const;

  NTSTATUS dispatch(PIRP irp);
  // Completes a request the way a bus driver answers what it does not serve.
  NTSTATUS answerAsBusDriver(PIRP irp);

 private:
  PDEVICE_OBJECT object_;
  std::u16string instancePath_;
  BusPower& power_;
  RequestHandler handler_;
  mutable std::mutex lock_;
  std::vector<SeenRequest> requests_;
};

}  // namespace nrv
