#include "kernel/pnp_manager.h"

#include <algorithm>

#include "base/bugcheck.h"
#include "base/machine_threads.h"
#include "base/scheduler.h"
#include "base/symbolizer.h"
#include "base/text.h"
#include "base/thread_context.h"
#include "kernel/current_kernel.h"
#include "kernel/device_objects.h"
#include "kernel/io_entry.h"
#include "kernel/irp_tracker.h"
#include "kernel/pool.h"
#include "kernel/registry.h"

namespace nrv {

namespace {

// Requests a bus driver must see: a function driver that completes them
// itself leaves the bus (and the device) behind.
bool mustReachBus(UCHAR minor, NTSTATUS status) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      return true;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      return NT_SUCCESS(status);
    default:
      return false;
  }
}

const char* minorName(UCHAR minor) {
  static const char* const names[] = {"IRP_MN_START_DEVICE",
                                      "IRP_MN_QUERY_REMOVE_DEVICE",
                                      "IRP_MN_REMOVE_DEVICE",
                                      "IRP_MN_CANCEL_REMOVE_DEVICE",
                                      "IRP_MN_STOP_DEVICE",
                                      "IRP_MN_QUERY_STOP_DEVICE",
                                      "IRP_MN_CANCEL_STOP_DEVICE",
                                      "IRP_MN_QUERY_DEVICE_RELATIONS",
                                      "IRP_MN_QUERY_INTERFACE",
                                      "IRP_MN_QUERY_CAPABILITIES",
                                      "IRP_MN_QUERY_RESOURCES",
                                      "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                      "IRP_MN_QUERY_DEVICE_TEXT",
                                      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                      "0x0E",
                                      "IRP_MN_READ_CONFIG",
                                      "IRP_MN_WRITE_CONFIG",
                                      "IRP_MN_EJECT",
                                      "IRP_MN_SET_LOCK",
                                      "IRP_MN_QUERY_ID",
                                      "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                      "IRP_MN_QUERY_BUS_INFORMATION",
                                      "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                      "IRP_MN_SURPRISE_REMOVAL"};
  return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "an unknown minor function";
}

// Takes a string list the driver handed over (one string, or several ending in
// an empty one) and frees its pool.
std::vector<std::u16string> takeStrings(ULONG_PTR information) {
  std::vector<std::u16string> strings;
  auto* text = reinterpret_cast<const char16_t*>(information);
  if (text == nullptr) return strings;
  while (*text != 0) {
    strings.emplace_back(text);
    text += strings.back().size() + 1;
  }
  freePool(reinterpret_cast<void*>(information), nullptr, "the Plug and Play manager");
  return strings;
}

// Children before their parent: the order of removal.
void postOrder(DeviceNode& node, std::vector<DeviceNode*>& order) {
  for (auto& child : node.children) postOrder(*child, order);
  order.push_back(&node);
}

bool hasStack(const DeviceNode& node) {
  return node.state != DeviceNodeState::Enumerated && node.state != DeviceNodeState::Removed;
}

}  // namespace

const char* deviceNodeStateName(DeviceNodeState state) {
  switch (state) {
    case DeviceNodeState::Enumerated:
      return "enumerated";
    case DeviceNodeState::Added:
      return "added";
    case DeviceNodeState::Started:
      return "started";
    case DeviceNodeState::Stopped:
      return "stopped";
    case DeviceNodeState::SurpriseRemoved:
      return "surprise-removed";
    case DeviceNodeState::Removed:
      return "removed";
  }
  return "?";
}

PnpManager::PnpManager(OsProfile profile, Scheduler& scheduler, MachineThreads& threads,
                       DeviceObjects& devices, IrpTracker& irps, IoEntry& io, Registry& registry)
    : profile_(profile),
      scheduler_(scheduler),
      threads_(threads),
      devices_(devices),
      irps_(irps),
      io_(io),
      registry_(registry) {}

NTSTATUS PnpManager::send(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                          ULONG_PTR* information, ULONG detail) {
  Operation operation(*this);
  requireIrqlAtMost(PASSIVE_LEVEL, "the Plug and Play manager");
  PDEVICE_OBJECT top = devices_.top(device);
  PIRP irp = irps_.allocate(top->StackSize, IrpOrigin::IoEntry, nullptr, nullptr);
  if (irp == nullptr) bugCheck("NO_MEMORY", "the host has no memory for a Plug and Play request");
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  irp->UserEvent = &done;
  irp->UserIosb = &result;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = minor;
  if (setup) setup(next);

  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const std::vector<PDEVICE_OBJECT>& reached = irps_.lookup(irp, "the Plug and Play manager").reached;
  bool reachedBus = std::find(reached.begin(), reached.end(), device) != reached.end();
  irps_.release(irp, "the Plug and Play manager", nullptr);
  if (mustReachBus(minor, result.Status) && !reachedBus) {
    bugCheck("PNP_IRP_NOT_PASSED_DOWN",
             format("%s to device %p was completed with 0x%08X without reaching the bus driver of physical device %p",
                    minorName(minor), static_cast<void*>(top), static_cast<unsigned>(result.Status),
                    static_cast<void*>(device)));
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    requests_.push_back(PnpRequestRecord{device, minor, detail, result.Status});
  }
  if (information != nullptr) *information = result.Information;
  return result.Status;
}

DeviceNode& PnpManager::deviceArrived(PDEVICE_OBJECT pdo, const std::u16string& instancePath,
                                      std::function<void()> release) {
  Operation operation(*this);
  auto created = std::make_unique<DeviceNode>();
  created->pdo = pdo;
  created->instancePath = instancePath;
  created->release = std::move(release);
  DeviceNode& node = *created;
  requireUniqueInstance(node);
  {
    std::lock_guard<std::mutex> guard(lock_);
    roots_.push_back(std::move(created));
  }
  node.addStatus = addDevice(node);
  if (NT_SUCCESS(node.addStatus)) start(node);
  return node;
}

NTSTATUS PnpManager::addDevice(DeviceNode& node) {
  PDRIVER_OBJECT driver = functionDriver_;
  if (driver == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  if (addDevice == nullptr) return STATUS_NOT_SUPPORTED;
  if (functionDriverInf_) registry_.installDriver(profile_, node.instancePath, *functionDriverInf_);
  NTSTATUS status = callDriverRoutine("AddDevice routine", reinterpret_cast<const void*>(addDevice), [&] {
    DriverCallScope scope(driver);
    return addDevice(driver, node.pdo);
  });
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT top = devices_.top(node.pdo);
  if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) {
    bugCheck("DEVICE_STILL_INITIALIZING",
             format("AddDevice %s returned success but device %p still has DO_DEVICE_INITIALIZING set",
                    describeCodeAddress(reinterpret_cast<const void*>(addDevice)).c_str(), static_cast<void*>(top)));
  }
  node.driver = driver;
  node.state = DeviceNodeState::Added;
  return status;
}

NTSTATUS PnpManager::start(DeviceNode& node) {
  Operation operation(*this);
  NTSTATUS status = send(node.pdo, IRP_MN_START_DEVICE, nullptr);
  node.startStatus = status;
  if (!NT_SUCCESS(status)) {
    // A stack that failed to start is torn down; the node keeps the failure.
    if (node.driver != nullptr) {
      send(node.pdo, IRP_MN_REMOVE_DEVICE, nullptr);
      node.driver = nullptr;
    }
    node.state = DeviceNodeState::Enumerated;
    return status;
  }
  node.state = DeviceNodeState::Started;
  queryCapabilities(node);
  send(node.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr);
  enumerate(node);
  return status;
}

void PnpManager::enumerate(DeviceNode& node) {
  Operation operation(*this);
  if (node.state != DeviceNodeState::Started) return;
  ULONG_PTR information = 0;
  NTSTATUS status = send(
      node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }, &information,
      BusRelations);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  if (NT_SUCCESS(status) && relations != nullptr) adoptChildren(node, relations);
  if (relations != nullptr) freePool(relations, nullptr, "the Plug and Play manager");
}

// New children get a node; known ones give back the reference the answer
// took; children no longer reported are removed.
void PnpManager::adoptChildren(DeviceNode& parent, PDEVICE_RELATIONS relations) {
  std::vector<PDEVICE_OBJECT> reported(relations->Objects, relations->Objects + relations->Count);
  for (auto child = parent.children.begin(); child != parent.children.end();) {
    if (std::find(reported.begin(), reported.end(), (*child)->pdo) == reported.end()) {
      removeSubtree(**child);
      child = parent.children.erase(child);
    } else {
      ++child;
    }
  }
  for (PDEVICE_OBJECT pdo : reported) {
    devices_.lookup(pdo, "the bus relations answer");
    auto known = std::find_if(parent.children.begin(), parent.children.end(),
                              [pdo](const std::unique_ptr<DeviceNode>& child) { return child->pdo == pdo; });
    if (known != parent.children.end()) {
      ObDereferenceObject(pdo);
      continue;
    }
    // The reference the answer took is the node's for as long as it lives.
    auto created = std::make_unique<DeviceNode>();
    created->pdo = pdo;
    created->parent = &parent;
    DeviceNode& child = *created;
    parent.children.push_back(std::move(created));
    identify(child);
  }
}

// The record starts as the documented one does: its size and version, no address or number.
void PnpManager::queryCapabilities(DeviceNode& node) {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(capabilities);
  capabilities.Version = 1;
  capabilities.Address = capabilities.UINumber = 0xFFFFFFFF;
  if (NT_SUCCESS(send(node.pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      }))) {
    node.capabilities = capabilities;
  }
}

std::u16string PnpManager::queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string>* list) {
  ULONG_PTR information = 0;
  NTSTATUS status = send(
      pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; },
      &information, type);
  std::vector<std::u16string> strings = takeStrings(information);
  if (!NT_SUCCESS(status)) strings.clear();
  if (list != nullptr) *list = strings;
  return strings.empty() ? std::u16string() : strings.front();
}

std::u16string PnpManager::queryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type) {
  ULONG_PTR information = 0;
  NTSTATUS status = send(
      pdo, IRP_MN_QUERY_DEVICE_TEXT,
      [type](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceText.DeviceTextType = type;
        stack->Parameters.QueryDeviceText.LocaleId = 0x0409;
      },
      &information, type);
  std::vector<std::u16string> strings = takeStrings(information);
  return NT_SUCCESS(status) && !strings.empty() ? strings.front() : std::u16string();
}

namespace {

// Characters an ID may not hold in a registry path (spaces, commas, controls,
// non-ASCII) become underscores, as the Plug and Play manager stores them.
std::u16string storableId(std::u16string id, bool allowBackslash) {
  for (char16_t& c : id) {
    if (c <= u' ' || c > 0x7F || c == u',' || (c == u'\\' && !allowBackslash)) c = u'_';
  }
  return id;
}

// Instance paths compare without regard to case, as registry key names do.
bool sameInstancePath(const std::u16string& first, const std::u16string& second) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  return first.size() == second.size() &&
         std::equal(first.begin(), first.end(), second.begin(),
                    [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
}

// An instance ID that is not unique on the machine is made unique by its parent.
std::u16string uniqueInstance(const DeviceNode& child) {
  std::u16string instance = storableId(child.instanceId, false);
  if (child.capabilities.UniqueID) return instance;
  return toUtf16(format("%zu&%08x&0&", child.parent->children.size(),
                        static_cast<unsigned>(std::hash<std::u16string>{}(child.parent->instancePath)))) +
         instance;
}

}  // namespace

// Asks a new child who it is, in the order Windows 2000 asks, gives it a
// device node in the registry, and starts it when it may run without a driver.
void PnpManager::identify(DeviceNode& child) {
  child.deviceId = queryId(child.pdo, BusQueryDeviceID, nullptr);
  queryCapabilities(child);
  child.instanceId = queryId(child.pdo, BusQueryInstanceID, nullptr);
  bool identified = !child.deviceId.empty() && !child.instanceId.empty();
  if (identified) {
    // The device node exists from here on: the child's driver may open its keys.
    child.instancePath = storableId(child.deviceId, true) + u"\\" + uniqueInstance(child);
    requireUniqueInstance(child);
    devices_.setDeviceNode(child.pdo, child.instancePath);
  }
  child.description = queryText(child.pdo, DeviceTextDescription);
  child.location = queryText(child.pdo, DeviceTextLocationInformation);
  if (identified) registry_.createDeviceNode(profile_, child.instancePath, child.description);
  queryId(child.pdo, BusQueryHardwareIDs, &child.hardwareIds);
  queryId(child.pdo, BusQueryCompatibleIDs, &child.compatibleIds);
  if (!identified) return;
  registry_.setDeviceIds(profile_, child.instancePath, child.hardwareIds, child.compatibleIds);
  if (child.capabilities.RawDeviceOK && NT_SUCCESS(send(child.pdo, IRP_MN_START_DEVICE, nullptr))) {
    child.state = DeviceNodeState::Started;
  }
  if (childIdentified_) childIdentified_(child);
}

// Two device nodes with one instance path would share their registry keys and
// interfaces: Windows stops rather than go on with them.
void PnpManager::requireUniqueInstance(const DeviceNode& node) {
  for (const DeviceNode* other : nodes()) {
    if (other != &node && other->state != DeviceNodeState::Removed && !other->instancePath.empty() &&
        sameInstancePath(other->instancePath, node.instancePath)) {
      bugCheck("PNP_DETECTED_FATAL_ERROR",
               format("device %p was reported with instance path %s, which device %p already has",
                      static_cast<void*>(node.pdo), toUtf8(node.instancePath).c_str(),
                      static_cast<void*>(other->pdo)));
    }
  }
}

NTSTATUS PnpManager::rebalance(DeviceNode& node) {
  Operation operation(*this);
  if (node.state != DeviceNodeState::Started) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = send(node.pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) {
    send(node.pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
    return status;
  }
  status = send(node.pdo, IRP_MN_STOP_DEVICE, nullptr);
  if (!NT_SUCCESS(status)) return status;
  node.state = DeviceNodeState::Stopped;
  return start(node);
}

NTSTATUS PnpManager::removeOrderly(DeviceNode& node, AfterRemoval after) {
  Operation operation(*this);
  std::vector<DeviceNode*> order;
  postOrder(node, order);
  // A device a program still has open is not taken away under it.
  for (DeviceNode* member : order) {
    if (member->pdo != nullptr && io_.openFilesOn(member->pdo) != 0) return STATUS_DEVICE_BUSY;
  }
  std::vector<DeviceNode*> queried;
  for (DeviceNode* member : order) {
    if (!hasStack(*member)) continue;
    NTSTATUS status = send(member->pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
    if (!NT_SUCCESS(status)) {
      // A veto: everyone asked so far is told the removal is off.
      send(member->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
      for (auto asked = queried.rbegin(); asked != queried.rend(); ++asked) {
        send((*asked)->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
      }
      return status;
    }
    queried.push_back(member);
  }
  removeSubtree(node);
  forget(node, after);
  return STATUS_SUCCESS;
}

void PnpManager::deviceGone(DeviceNode& node) {
  Operation operation(*this);
  std::vector<DeviceNode*> order;
  postOrder(node, order);
  for (DeviceNode* member : order) {
    if (!hasStack(*member)) continue;
    send(member->pdo, IRP_MN_SURPRISE_REMOVAL, nullptr);
    member->state = DeviceNodeState::SurpriseRemoved;
  }
  node.gone = true;
  fileClosed(node.pdo);
}

void PnpManager::fileClosed(PDEVICE_OBJECT device) {
  Operation operation(*this);
  DeviceNode* node = find(device);
  if (node == nullptr || !node->gone || io_.openFilesOn(device) != 0) return;
  removeSubtree(*node);
  forget(*node);
}

// Removes children first; a child's node gives back its reference on the PDO.
void PnpManager::removeSubtree(DeviceNode& node) {
  for (auto& child : node.children) removeSubtree(*child);
  sendRemove(node);
}

void PnpManager::sendRemove(DeviceNode& node) {
  if (hasStack(node)) send(node.pdo, IRP_MN_REMOVE_DEVICE, nullptr);
  node.state = DeviceNodeState::Removed;
  if (node.parent != nullptr && node.pdo != nullptr) {
    ObDereferenceObject(node.pdo);
    node.pdo = nullptr;
  }
}

// A child leaves its parent's list; its parent may report it again at the next enumeration.
void PnpManager::forget(DeviceNode& node, AfterRemoval after) {
  std::function<void()> release = std::move(node.release);
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto isNode = [&node](const std::unique_ptr<DeviceNode>& entry) { return entry.get() == &node; };
    if (node.parent != nullptr) {
      node.parent->children.remove_if(isNode);
    } else {
      roots_.remove_if(isNode);
    }
  }
  if (release && after == AfterRemoval::ReleaseDevice) release();
}

PDEVICE_OBJECT PnpManager::queryTargetDevice(DeviceNode& node) {
  Operation operation(*this);
  ULONG_PTR information = 0;
  NTSTATUS status = send(
      node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; },
      &information, TargetDeviceRelation);
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  PDEVICE_OBJECT target = nullptr;
  if (relations != nullptr) {
    if (NT_SUCCESS(status) && relations->Count == 1) target = relations->Objects[0];
    for (ULONG index = 0; index < relations->Count; index++) ObDereferenceObject(relations->Objects[index]);
    freePool(relations, nullptr, "the Plug and Play manager");
  }
  return target;
}

void PnpManager::removeAll() {
  Operation operation(*this);
  for (;;) {
    DeviceNode* node;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (roots_.empty()) return;
      node = roots_.back().get();
    }
    removeSubtree(*node);
    forget(*node);
  }
}

// ---- operations, one at a time ------------------------------------------------

PnpManager::Operation::Operation(PnpManager& manager) : manager_(manager) { manager_.beginOperation(); }

PnpManager::Operation::~Operation() { manager_.endOperation(); }

void PnpManager::beginOperation() {
  ThreadRecord* self = &currentThread("the Plug and Play manager");
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  scheduler_.block(
      held, [this, self] { return operationOwner_ == nullptr || operationOwner_ == self; },
      Scheduler::kNoDeadline,
      [] { return std::string("the end of another thread's Plug and Play operation"); });
  operationOwner_ = self;
  operationDepth_++;
}

// Invalidations are looked at under the same lock that releases the operation,
// so none that arrives meanwhile is left behind.
void PnpManager::endOperation() {
  std::unique_lock<std::mutex> held(scheduler_.dispatcherLock());
  while (operationDepth_ == 1 && !invalidated_.empty()) {
    PDEVICE_OBJECT pdo = invalidated_.front();
    invalidated_.pop_front();
    held.unlock();
    if (DeviceNode* node = find(pdo)) enumerate(*node);
    held.lock();
  }
  if (--operationDepth_ == 0) {
    operationOwner_ = nullptr;
    scheduler_.stateChanged();
  }
}

void PnpManager::invalidateBusRelations(PDEVICE_OBJECT pdo) {
  bool idle;
  {
    std::lock_guard<std::mutex> held(scheduler_.dispatcherLock());
    invalidated_.push_back(pdo);
    idle = operationOwner_ == nullptr;
  }
  if (idle) threads_.start("Plug and Play", [this] { Operation operation(*this); });
}

DeviceNode* PnpManager::find(PDEVICE_OBJECT pdo) {
  for (DeviceNode* node : nodes()) {
    if (node->pdo == pdo) return node;
  }
  return nullptr;
}

std::vector<DeviceNode*> PnpManager::nodes() {
  std::vector<DeviceNode*> all;
  std::function<void(DeviceNode&)> visit = [&](DeviceNode& node) {
    all.push_back(&node);
    for (auto& child : node.children) visit(*child);
  };
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& root : roots_) visit(*root);
  return all;
}

std::vector<PnpRequestRecord> PnpManager::requests() {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

}  // namespace nrv

extern "C" VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  nrv::requireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
  nrv::KernelParts& kernel = nrv::currentKernel();
  kernel.devices.lookup(DeviceObject, "IoInvalidateDeviceRelations");
  if (Type != BusRelations) {
    nrv::bugCheck("NOT_IMPLEMENTED",
                  nrv::format("IoInvalidateDeviceRelations for relation type %d: this machine re-enumerates bus "
                              "relations only",
                              static_cast<int>(Type)));
  }
  kernel.pnp.invalidateBusRelations(DeviceObject);
}
