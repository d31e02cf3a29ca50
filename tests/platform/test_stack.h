// A stack of test devices over a physical device of the machine's bus, each
// device doing whatever its test tells it to with the requests it receives.
#pragma once

#include <wdm.h>

#include <functional>
#include <vector>

#include "machine/machine.h"

namespace platform_test {

// What one device does with a request; unset, the device passes it down untouched.
using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

struct Layer {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  Dispatch dispatch;
};

class TestStack {
 public:
  // layers devices of one test driver, the first attached to a new physical device.
  TestStack(nrv::Machine& machine, size_t layers);
  // Detaches and deletes the devices, top first, as removal does.
  ~TestStack();
  TestStack(const TestStack&) = delete;
  TestStack& operator=(const TestStack&) = delete;

  nrv::PhysicalDevice& physical() { return *physical_; }
  Layer& layer(size_t index) { return layers_[index]; }  // 0 sits on the physical device
  PDEVICE_OBJECT top() { return layers_.back().device; }
  PDRIVER_OBJECT driver() { return &driver_->object; }

 private:
  nrv::PhysicalDevice* physical_;
  nrv::LoadedDriver* driver_;
  std::vector<Layer> layers_;
};

// IoSkipCurrentIrpStackLocation and IoCallDriver to the device below.
NTSTATUS passDown(const Layer& layer, PIRP irp);
// Sets the final status and completes.
NTSTATUS completeRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace platform_test
