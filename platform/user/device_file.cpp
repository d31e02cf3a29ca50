#include "user/device_file.h"

#include "base/machine_threads.h"
#include "base/text.h"
#include "kernel/io_entry.h"

namespace nrv {

namespace {

using Requests = std::list<std::shared_ptr<PendingRequest>>;

void dropEnded(Requests& requests) {
  requests.remove_if([](const std::shared_ptr<PendingRequest>& request) { return request->completed(); });
}

}  // namespace

DeviceFile::DeviceFile(IoEntry& io, MachineThreads& threads, PFILE_OBJECT file, const std::string& path,
                       bool overlapped)
    : io_(io),
      threads_(threads),
      file_(file),
      kind_("a device file, " + path),
      overlapped_(overlapped),
      event_(std::make_shared<Signal>()) {}

bool DeviceFile::beginCall() {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return false;
  calls_++;
  return true;
}

void DeviceFile::endCall() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    calls_--;
  }
  finishWhenIdle();
}

void DeviceFile::track(std::shared_ptr<PendingRequest> request) {
  bool lateForClose;
  {
    std::lock_guard<std::mutex> guard(lock_);
    dropEnded(requests_);
    requests_.push_back(request);
    lateForClose = closed_;
  }
  if (lateForClose && !request->completed()) request->cancel();
}

void DeviceFile::close() {
  {
    Requests running;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (closed_) return;
      closed_ = true;
      running = requests_;
    }
    io_.cleanup(file_);
    for (const auto& request : running) {
      if (!request->completed()) request->cancel();
    }
  }
  finishWhenIdle();
}

void DeviceFile::finishWhenIdle() {
  Requests running;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!closed_ || calls_ != 0 || finishing_) return;
    finishing_ = true;
    running.swap(requests_);
  }
  dropEnded(running);
  if (running.empty()) {
    io_.closeAfterCleanup(file_);
    return;
  }
  // The close follows the last request's end. The requests are let go only
  // once ended: another thread that still holds one (the closing call itself)
  // must never be left the last to let one go, and wait for its end there.
  auto left = std::make_shared<Requests>(std::move(running));
  IoEntry& io = io_;
  PFILE_OBJECT file = file_;
  threads_.start(format("close of %s once its %zu request(s) end", kind_.c_str(), left->size()),
                 [&io, file, left] {
                   for (const auto& request : *left) request->wait();
                   left->clear();
                   io.closeAfterCleanup(file);
                 });
}

}  // namespace nrv
