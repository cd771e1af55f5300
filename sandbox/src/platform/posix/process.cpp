// The process on POSIX: SIGINT and SIGTERM stop it, waited for with sigwait.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>

#include "platform/process.h"

namespace sandbox::host {
namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Every listener's cap together can exceed the usual soft limit of 1024 descriptors; the caps,
// not that limit, are what should refuse clients.
void raise_descriptor_limit() {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
  const rlim_t wanted = r.rlim_max == RLIM_INFINITY ? 8192 : std::min<rlim_t>(r.rlim_max, 8192);
  if (r.rlim_cur < wanted) {
    r.rlim_cur = wanted;
    ::setrlimit(RLIMIT_NOFILE, &r);
  }
}

}  // namespace

void prepare_process() {
  // Large buffers (requests, answers and texts of megabytes) go back to the system when freed.
  // Left to itself, glibc raises its mmap threshold after the first such buffer is freed and
  // then serves the next ones from each thread's arena, which keeps them resident: a burst of
  // large calls would leave hundreds of megabytes behind.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  // Every thread inherits this mask, so the signals wait for sigwait in wait_for_stop.
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
}

std::vector<std::string> arguments(int argc, char** argv) {
  return {argv + 1, argv + argc};
}

std::optional<std::filesystem::path> default_data_dir() {
  return std::nullopt;
}

std::string usage_note() {
  return {};
}

void announce_ready(std::uint16_t, const std::filesystem::path&) {}

void wait_for_stop() {
  const sigset_t set = stop_signals();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
}

void stopped() {}

void start_failed() {}

}  // namespace sandbox::host
