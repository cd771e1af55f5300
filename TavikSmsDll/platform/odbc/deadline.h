// The overall deadlines of the database session's work. The driver's own limits apply to each read
// from the server, so a server that sends a byte now and then would otherwise hold a call for as
// long as it likes: a command is watched by one process-wide watchdog thread, and a connect runs
// on a thread of its own that is waited for at most the open's limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace taviksms::platform::odbc {

// A deadline armed for the life of one call: `action` runs on the watchdog's thread once `limit`
// has passed, unless the deadline is gone by then. passed() says whether it ran (and disarms it).
class Deadline {
 public:
  Deadline(std::chrono::milliseconds limit, std::function<void()> action);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  bool passed();

 private:
  std::uint64_t id_;
  bool ran_ = false;
};

// Runs `work` on a detached thread of the platform (here, when none can be started) and waits at
// most `limit` for it. True when it finished in time. Otherwise `given_up` runs on the calling
// thread (to hurry the work to its end), the work goes on alone and, once it has finished,
// `abandoned` runs on its thread to release what it made.
bool run_within(std::chrono::milliseconds limit, std::function<void()> work,
                std::function<void()> abandoned, std::function<void()> given_up = {});

// Runs `action` once on the watchdog's thread after `delay`; nobody waits for it.
void run_later(std::chrono::milliseconds delay, std::function<void()> action);

}  // namespace taviksms::platform::odbc
