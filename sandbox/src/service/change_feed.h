// A counter of changes to the service's state that watchers (the console's event stream) can
// wait on, so the page is told of a change instead of asking twice a second. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace sandbox {

class ChangeFeed {
 public:
  // Something changed: wakes every waiter.
  void bump();
  std::int64_t version() const;
  // Waits until the version differs from `seen` or `timeout` passes; returns the version.
  std::int64_t wait(std::int64_t seen, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::int64_t version_ = 0;
};

}  // namespace sandbox
