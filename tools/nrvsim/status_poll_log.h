// The port status bytes a printer answered, each with the virtual time it was
// sent, so that a job's transcript can show every poll among its calls.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace nrvsim {

class StatusPollLog {
 public:
  struct Poll {
    uint64_t milliseconds = 0;
    uint8_t status = 0;
  };

  void add(Poll poll) {
    std::lock_guard<std::mutex> guard(lock_);
    polls_.push_back(poll);
  }
  size_t size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return polls_.size();
  }
  std::vector<Poll> since(size_t first) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (first >= polls_.size()) return {};
    return std::vector<Poll>(polls_.begin() + static_cast<std::ptrdiff_t>(first), polls_.end());
  }

 private:
  mutable std::mutex lock_;
  std::vector<Poll> polls_;
};

}  // namespace nrvsim
