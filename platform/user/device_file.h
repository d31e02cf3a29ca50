// A file handle on a device: the I/O entry's file object, the requests sent
// on it that may still run, and the file's own event, which an overlapped
// request without an event of its own signals.
//
// Closing the handle sends the driver its cleanup and then cancels every
// request still running on the file, as CancelIo would; on Windows the
// driver's cleanup and the end of the thread that sent them see to that.
// The close itself reaches the driver once the last call using the file and
// the last request on it have ended, as the file object's last reference
// goes: CloseHandle does not wait for that. A request that never ends keeps
// a thread of the machine waiting for it, which a deadlock report names.
#pragma once

#include <wdm.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "user/waitable.h"

namespace nrv {

class IoEntry;
class MachineThreads;
class PendingRequest;

class DeviceFile : public WaitableObject {
 public:
  DeviceFile(IoEntry& io, MachineThreads& threads, PFILE_OBJECT file, const std::string& path,
             bool overlapped);
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  const char* kind() const override { return kind_.c_str(); }
  std::shared_ptr<Signal> signal() override { return event_; }
  PFILE_OBJECT file() const { return file_; }
  bool overlapped() const { return overlapped_; }

  // A call that sends a request brackets it with these; false once the handle is closed.
  bool beginCall();
  void endCall();
  // Keeps a request until it has ended; one sent after the close is cancelled at once.
  void track(std::shared_ptr<PendingRequest> request);
  void close() override;

 private:
  // Sends the close once nothing uses the file any more.
  void finishWhenIdle();

  IoEntry& io_;
  MachineThreads& threads_;
  PFILE_OBJECT file_;
  std::string kind_;
  bool overlapped_;
  std::shared_ptr<Signal> event_;

  std::mutex lock_;
  bool closed_ = false;
  bool finishing_ = false;
  unsigned calls_ = 0;
  std::list<std::shared_ptr<PendingRequest>> requests_;
};

}  // namespace nrv
