#include "platform/odbc/deadline.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "base/platform/platform.h"

namespace taviksms::platform::odbc {

namespace {

// One thread for the whole process that runs an action when its deadline passes (it cancels a
// statement). The driver's own limits apply to each read from the server, so a server that sends
// a byte now and then would otherwise hold a call for as long as it likes. The thread ends once
// nothing has been armed for a second and starts again on demand.
class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;

  static Watchdog& instance() {
    static Watchdog* w = new Watchdog;  // never destroyed: its thread may outlive static objects
    return *w;
  }

  // 0 when no thread can watch (the deadline then goes unwatched). A `detached` entry is nobody's
  // to disarm: it is forgotten once its action has run.
  std::uint64_t arm(Clock::time_point when, std::function<void()> action, bool detached = false) {
    std::lock_guard lock(mu_);
    if (!running_) {
      running_ = platform::default_platform().run_detached([this] { loop(); });
      if (!running_) return 0;
    }
    const std::uint64_t id = ++next_id_;
    entries_.emplace(id, Entry{when, std::move(action), Entry::kArmed, detached});
    // Calls arm one deadline after another, each later than the one the thread sleeps towards:
    // it finds them when it wakes, and the call pays no wake-up.
    if (when < sleeping_until_) wake_.notify_one();
    return id;
  }

  // Removes `id`; true when its action has run. An action under way is waited for, so nothing
  // touches the statement once this has returned.
  bool disarm(std::uint64_t id) {
    std::unique_lock lock(mu_);
    auto it = entries_.find(id);
    while (it != entries_.end() && it->second.state == Entry::kFiring) {
      fired_.wait(lock);
      it = entries_.find(id);
    }
    if (it == entries_.end()) return false;
    const bool ran = it->second.state == Entry::kFired;
    entries_.erase(it);
    return ran;
  }

 private:
  struct Entry {
    enum State { kArmed, kFiring, kFired };
    Clock::time_point when;
    std::function<void()> action;
    State state = kArmed;
    bool detached = false;
  };

  void loop() {
    std::unique_lock lock(mu_);
    for (;;) {
      auto next = entries_.end();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.state == Entry::kArmed &&
            (next == entries_.end() || it->second.when < next->second.when)) {
          next = it;
        }
      }
      if (next == entries_.end()) {
        const bool idle = entries_.empty();
        sleeping_until_ = Clock::now() + kIdle;
        const bool woken = wake_.wait_until(lock, sleeping_until_) == std::cv_status::no_timeout;
        sleeping_until_ = Clock::time_point::min();
        if (idle && !woken && entries_.empty()) {
          running_ = false;
          return;
        }
        continue;
      }
      if (Clock::now() < next->second.when) {
        sleeping_until_ = next->second.when;
        wake_.wait_until(lock, sleeping_until_);
        sleeping_until_ = Clock::time_point::min();
        continue;
      }
      const std::uint64_t id = next->first;
      next->second.state = Entry::kFiring;
      std::function<void()> action = next->second.action;
      lock.unlock();
      try {
        action();
      } catch (...) {
      }
      lock.lock();
      if (auto it = entries_.find(id); it != entries_.end()) {
        if (it->second.detached) {
          entries_.erase(it);
        } else {
          it->second.state = Entry::kFired;
        }
      }
      fired_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable fired_;
  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t next_id_ = 0;
  bool running_ = false;
  // When the thread wakes by itself next; min() while it is awake (or not running).
  Clock::time_point sleeping_until_ = Clock::time_point::min();
  static constexpr std::chrono::seconds kIdle{1};
};

}  // namespace

Deadline::Deadline(std::chrono::milliseconds limit, std::function<void()> action)
    : id_(Watchdog::instance().arm(Watchdog::Clock::now() + limit, std::move(action))) {}

Deadline::~Deadline() {
  if (id_) Watchdog::instance().disarm(id_);
}

bool Deadline::passed() {
  if (id_) {
    ran_ = Watchdog::instance().disarm(id_);
    id_ = 0;
  }
  return ran_;
}

void run_later(std::chrono::milliseconds delay, std::function<void()> action) {
  Watchdog::instance().arm(Watchdog::Clock::now() + delay, std::move(action), true);
}

bool run_within(std::chrono::milliseconds limit, std::function<void()> work,
                std::function<void()> abandoned, std::function<void()> given_up) {
  struct Job {
    std::mutex mu;
    std::condition_variable cv;
    std::function<void()> work, abandoned;
    bool done = false;
    bool given_up = false;
  };
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  job->abandoned = std::move(abandoned);
  auto run = [job] {
    job->work();
    std::lock_guard lock(job->mu);
    if (job->given_up) job->abandoned();
    job->done = true;
    job->cv.notify_all();
  };
  if (!platform::default_platform().run_detached(run)) run();
  std::unique_lock lock(job->mu);
  if (job->cv.wait_for(lock, limit, [&] { return job->done; })) return true;
  job->given_up = true;  // the working thread releases what it made
  lock.unlock();
  if (given_up) given_up();
  return false;
}

}  // namespace taviksms::platform::odbc
