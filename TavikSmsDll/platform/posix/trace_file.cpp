// The trace file on POSIX: TAVIKSMS_TRACE from the environment, opened for appending and written
// without waiting: a pipe or terminal that takes no more, or whose reader has gone, costs the
// host the trace, never a wait, a stop (SIGTTOU) or its life (SIGPIPE).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "base/error.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

namespace {

// SIGPIPE and SIGTTOU blocked on the calling thread for as long as it lives; a SIGPIPE that the
// write raises is taken off the thread's pending set before the mask is put back, so it is never
// delivered. (A SIGPIPE already pending before is left alone.)
class QuietSignals {
 public:
  QuietSignals() {
    sigemptyset(&quiet_);
    sigaddset(&quiet_, SIGPIPE);
    sigaddset(&quiet_, SIGTTOU);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    pipe_was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &quiet_, &old_);
  }
  ~QuietSignals() {
    if (!pipe_was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        const timespec now{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  QuietSignals(const QuietSignals&) = delete;
  QuietSignals& operator=(const QuietSignals&) = delete;

 private:
  sigset_t quiet_{}, old_{};
  bool pipe_was_pending_ = false;
};

class TraceFile final : public OutputFile {
 public:
  explicit TraceFile(int fd) : fd_(fd) {}
  ~TraceFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void write(std::string_view bytes) override {
    if (fd_ < 0) core::raise_file_error(52);
    const QuietSignals quiet;
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        throw core::Error(core::err::runtime(57), u"TavikSmsDll",
                          u"it takes no more without waiting (a pipe or terminal nobody reads)");
      }
      if (n < 0 && errno == EPIPE) {
        throw core::Error(core::err::runtime(57), u"TavikSmsDll",
                          u"nobody reads it any more (the reader of the pipe has gone)");
      }
      if (n <= 0) core::raise_file_error(57);
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

UserSetting PosixPlatform::trace_setting() const {
  const char* v = std::getenv("TAVIKSMS_TRACE");
  if (!v) return {};
  return {v, "TAVIKSMS_TRACE", {}};
}

std::unique_ptr<OutputFile> PosixPlatform::open_trace_file(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return nullptr;
  // Not blocking, from the open on: a FIFO without a reader fails at once (ENXIO), and each write
  // takes only what the file can take at that moment.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  return std::make_unique<TraceFile>(fd);
}

unsigned long PosixPlatform::process_id() const {
  return static_cast<unsigned long>(::getpid());
}

}  // namespace taviksms::platform::posix
