#include "service/change_feed.h"

namespace sandbox {

void ChangeFeed::bump() {
  {
    std::lock_guard lock(mutex_);
    ++version_;
  }
  changed_.notify_all();
}

std::int64_t ChangeFeed::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

std::int64_t ChangeFeed::wait(std::int64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return version_ != seen; });
  return version_;
}

}  // namespace sandbox
