// The Plug and Play manager: a device node for every device a bus reports,
// the function driver's stack built on it with AddDevice, and start, stop and
// removal (orderly or by surprise) sent in the order Windows 2000 sends them.
// A started device's bus relations become child nodes, whose identity is
// asked of the child's bus driver and kept in a device node of the registry.
#pragma once

#include <wdm.h>

#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/os_profile.h"
#include "kernel/registry.h"

namespace nrv {

class DeviceObjects;
class IoEntry;
class IrpTracker;
class MachineThreads;
class Scheduler;
struct ThreadRecord;

enum class DeviceNodeState {
  Enumerated,       // reported, no driver has it yet
  Added,            // AddDevice built the stack; not started (or its start failed)
  Started,
  Stopped,          // stopped for a rebalance
  SurpriseRemoved,  // the device is gone; the remove waits for the last handle
  Removed,
};

const char* deviceNodeStateName(DeviceNodeState state);

struct DeviceNode {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string instancePath;
  DeviceNode* parent = nullptr;
  std::list<std::unique_ptr<DeviceNode>> children;
  PDRIVER_OBJECT driver = nullptr;  // the function driver; none for a raw child
  DeviceNodeState state = DeviceNodeState::Enumerated;
  NTSTATUS addStatus = STATUS_SUCCESS;  // of AddDevice; a failure means no start was sent
  NTSTATUS startStatus = STATUS_SUCCESS;
  // The identity the bus driver gave an enumerated child.
  std::u16string deviceId;
  std::u16string instanceId;
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string description;
  std::u16string location;
  DEVICE_CAPABILITIES capabilities{};
  // The device left its bus; the node goes once no handle of it is open.
  bool gone = false;
  // Deletes the physical device once the node is removed (the bus's part).
  std::function<void()> release;
};

// Every request the manager sent, for tests and transcripts.
struct PnpRequestRecord {
  PDEVICE_OBJECT target;
  UCHAR minor;
  ULONG detail;  // the relation, ID or text type, where the request has one
  NTSTATUS status;
};

class PnpManager {
 public:
  PnpManager(OsProfile profile, Scheduler& scheduler, MachineThreads& threads, DeviceObjects& devices,
             IrpTracker& irps, IoEntry& io, Registry& registry);
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // The driver an installed INF names for the devices the machine's bus
  // reports. With the INF, a node the driver is added to that had no driver
  // installed is installed from it first, so the driver finds its driver key
  // in the INF's class.
  void setFunctionDriver(PDRIVER_OBJECT driver, const DriverInf* inf = nullptr) {
    functionDriver_ = driver;
    if (inf != nullptr) {
      functionDriverInf_ = *inf;
    } else {
      functionDriverInf_.reset();
    }
  }
  PDRIVER_OBJECT functionDriver() const { return functionDriver_; }

  // A bus reported a device: its node, AddDevice, start and its children.
  DeviceNode& deviceArrived(PDEVICE_OBJECT pdo, const std::u16string& instancePath, std::function<void()> release);
  // Starts (or restarts) a node's stack, then enumerates its children.
  NTSTATUS start(DeviceNode& node);
  // Query-stop, stop and start again, as a resource rebalance does. A veto
  // ends with cancel-stop and the device keeps running.
  NTSTATUS rebalance(DeviceNode& node);
  // What becomes of the device once its node is removed.
  enum class AfterRemoval {
    ReleaseDevice,  // it leaves its bus (safe removal before the cable is pulled)
    KeepDevice,     // it stays on its bus without a node (uninstalled while plugged in)
  };
  // Query-remove of the node and its children; on success remove (children
  // first) and forget the node; on a veto cancel-remove. A device with a
  // handle open is not asked at all: STATUS_DEVICE_BUSY.
  NTSTATUS removeOrderly(DeviceNode& node, AfterRemoval after = AfterRemoval::ReleaseDevice);
  // The device is gone: surprise removal now, remove once its last handle closes.
  void deviceGone(DeviceNode& node);
  // The I/O entry closed a file of this device's stack.
  void fileClosed(PDEVICE_OBJECT device);
  // Asks for the target-device relation, as a handle's notification registration does.
  PDEVICE_OBJECT queryTargetDevice(DeviceNode& node);
  // Sends bus relations again.
  void enumerate(DeviceNode& node);
  // IoInvalidateDeviceRelations for bus relations: the node is enumerated
  // again once the operation in progress ends, or at once on a Plug and Play
  // thread when none runs.
  void invalidateBusRelations(PDEVICE_OBJECT pdo);
  // Called on the Plug and Play thread once a new child node is identified
  // (its registry node holds what its bus driver answered), so that the
  // system installs what it installs for such a device. Set before any device arrives.
  void setChildIdentified(std::function<void(const DeviceNode&)> callback) {
    childIdentified_ = std::move(callback);
  }
  // At shutdown: removes every node, children first, without queries.
  void removeAll();

  DeviceNode* find(PDEVICE_OBJECT pdo);
  // Every node, parents before their children.
  std::vector<DeviceNode*> nodes();
  std::vector<PnpRequestRecord> requests();

  // Sends one Plug and Play request to the top of a stack and waits for it.
  // The request starts with STATUS_NOT_SUPPORTED, as the manager's requests do.
  NTSTATUS send(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                ULONG_PTR* information = nullptr, ULONG detail = 0);

 private:
  // Operations run one at a time, as on Windows, where one worker thread
  // carries them out; a thread may nest them. The outermost operation ends by
  // enumerating the nodes whose relations were invalidated meanwhile.
  class Operation {
   public:
    explicit Operation(PnpManager& manager);
    ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

   private:
    PnpManager& manager_;
  };
  void beginOperation();
  void endOperation();

  NTSTATUS addDevice(DeviceNode& node);
  void requireUniqueInstance(const DeviceNode& node);
  void identify(DeviceNode& child);
  void adoptChildren(DeviceNode& parent, PDEVICE_RELATIONS relations);
  void sendRemove(DeviceNode& node);
  void removeSubtree(DeviceNode& node);
  void forget(DeviceNode& node, AfterRemoval after = AfterRemoval::ReleaseDevice);
  void queryCapabilities(DeviceNode& node);
  std::u16string queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* list);
  std::u16string queryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type);

  OsProfile profile_;
  Scheduler& scheduler_;
  MachineThreads& threads_;
  DeviceObjects& devices_;
  IrpTracker& irps_;
  IoEntry& io_;
  Registry& registry_;

  // Guarded by the scheduler's dispatcher lock, so that waiting for another
  // thread's operation is a wait the machine sees.
  ThreadRecord* operationOwner_ = nullptr;
  int operationDepth_ = 0;
  std::deque<PDEVICE_OBJECT> invalidated_;

  std::mutex lock_;
  PDRIVER_OBJECT functionDriver_ = nullptr;
  std::optional<DriverInf> functionDriverInf_;
  std::function<void(const DeviceNode&)> childIdentified_;
  std::list<std::unique_ptr<DeviceNode>> roots_;
  std::vector<PnpRequestRecord> requests_;
};

}  // namespace nrv
