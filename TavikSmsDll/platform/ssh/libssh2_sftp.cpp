#include "platform/ssh/libssh2_sftp.h"

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/trace.h"

namespace taviksms::platform::ssh {

namespace {

using Clock = std::chrono::steady_clock;

void init_library() {
  // libssh2_init is not thread-safe; once per process, never undone (other threads may use it).
  // Winsock likewise: started once, left running for the process's other users.
  static std::once_flag once;
  std::call_once(once, [] {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    libssh2_init(0);
  });
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// ---- the few socket calls that differ between Winsock and POSIX ----
#ifdef _WIN32
using NativeSocket = SOCKET;
const NativeSocket kNoSocket = INVALID_SOCKET;
void close_socket(NativeSocket s) {
  ::closesocket(s);
}
NativeSocket open_socket(const addrinfo& a) {
  NativeSocket s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
  // Not inherited by processes the host starts later.
  if (s != kNoSocket) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}
bool set_blocking(NativeSocket s, bool blocking) {
  u_long non_blocking = blocking ? 0 : 1;
  return ::ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}
bool connect_pending() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
// Waits until the pending connect finished; false on timeout. A refused connect shows in the
// exception set (Windows does not mark the socket writable then).
bool wait_connected(NativeSocket s, int timeout_ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return ::select(0, nullptr, &writable, &failed, &tv) > 0;
}
#else
using NativeSocket = int;
const NativeSocket kNoSocket = -1;
void close_socket(NativeSocket s) {
  ::close(s);
}
NativeSocket open_socket(const addrinfo& a) {
  return ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC, a.ai_protocol);
}
bool set_blocking(NativeSocket s, bool blocking) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  return fcntl(s, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
bool connect_pending() {
  return errno == EINPROGRESS;
}
bool wait_connected(NativeSocket s, int timeout_ms) {
  pollfd p{s, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&p, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}
#endif

// A socket closed on destruction.
class Socket {
 public:
  Socket() = default;
  explicit Socket(NativeSocket s) : s_(s) {}
  Socket(Socket&& o) noexcept : s_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept {
    reset(o.release());
    return *this;
  }
  ~Socket() { reset(); }
  NativeSocket get() const { return s_; }
  bool valid() const { return s_ != kNoSocket; }
  NativeSocket release() {
    NativeSocket s = s_;
    s_ = kNoSocket;
    return s;
  }
  void reset(NativeSocket s = kNoSocket) {
    if (s_ != kNoSocket) close_socket(s_);
    s_ = s;
  }

 private:
  NativeSocket s_ = kNoSocket;
};

// TCP connection to host:port within the deadline: non-blocking connect, wait, back to blocking
// (libssh2 then bounds its own waits by the session timeout).
Socket tcp_connect(const std::string& host, int port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) return Socket();
  Socket result;
  for (addrinfo* a = found; a && !result.valid(); a = a->ai_next) {
    Socket sock(open_socket(*a));
    if (!sock.valid() || !set_blocking(sock.get(), false)) continue;
    int rc = ::connect(sock.get(), a->ai_addr, static_cast<int>(a->ai_addrlen));
    if (rc != 0 && !connect_pending()) continue;
    if (rc != 0) {
      if (!wait_connected(sock.get(), remaining_ms(deadline))) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 ||
          err != 0) {
        continue;
      }
    }
    if (!set_blocking(sock.get(), true)) continue;
    int one = 1;
    setsockopt(sock.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
               sizeof one);
    result = std::move(sock);
  }
  freeaddrinfo(found);
  return result;
}

// The local picture, open for reading only when it is a regular file (a directory, device or
// pipe is refused without being read, so it can never block the upload).
class LocalFile {
 public:
#ifdef _WIN32
  explicit LocalFile(const std::string& ansi_path) {
    // A directory does not open without FILE_FLAG_BACKUP_SEMANTICS; devices are not disk files.
    h_ = CreateFileA(ansi_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h_ != INVALID_HANDLE_VALUE && GetFileType(h_) != FILE_TYPE_DISK) close();
  }
  ~LocalFile() {
    close();
  }
  bool is_open() const {
    return h_ != INVALID_HANDLE_VALUE;
  }
  // Bytes read into `buf`: 0 at the end of the file, -1 on an error.
  long long read(char* buf, std::size_t size) {
    DWORD got = 0;
    if (!ReadFile(h_, buf, static_cast<DWORD>(size), &got, nullptr)) return -1;
    return got;
  }

 private:
  void close() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }
  HANDLE h_ = INVALID_HANDLE_VALUE;
#else
  explicit LocalFile(const std::string& ansi_path) {
    fd_ = ::open(ansi_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st {};
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) close();
  }
  ~LocalFile() {
    close();
  }
  bool is_open() const {
    return fd_ >= 0;
  }
  long long read(char* buf, std::size_t size) {
    for (;;) {
      ssize_t got = ::read(fd_, buf, size);
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

 private:
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
#endif
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
};

bool method_offered(const char* list, const char* method) {
  if (!list) return false;
  std::string all = list;
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(',', start);
    if (end == std::string::npos) end = all.size();
    if (all.compare(start, end - start, method) == 0) return true;
    start = end + 1;
  }
  return false;
}

class Libssh2Sftp final : public SftpComponent {
  // The wait for closing a handle or the connection once the peer has failed.
  static constexpr int kAfterFailureMs = 1000;

 public:
  explicit Libssh2Sftp(SftpLimits limits) : limits_(limits) { init_library(); }
  ~Libssh2Sftp() override { disconnect(); }

  void set_host(const std::u16string& host) override { host_ = core::utf16_to_utf8(host); }
  void set_user_name(const std::u16string& user) override { user_ = core::utf16_to_utf8(user); }
  void set_password(const std::u16string& password) override {
    password_ = core::utf16_to_utf8(password);
  }
  void set_port(std::int32_t port) override { port_ = port; }
  void set_remote_path(const std::u16string& path) override {
    remote_path_ = core::utf16_to_utf8(path);
  }

  bool connect() override {
    if (sftp_) return true;
    if (!trace::enabled()) return connect_steps(nullptr);
    trace::Span span(
        "sftp", "connect " + host_ + ":" + std::to_string(port_) + " as " + trace::quote(user_));
    std::string step;
    const bool ok = connect_steps(&step);
    span.finish(ok ? "connected, authenticated" : "failed at " + step);
    return ok;
  }

  // `step` (when given) names the step that failed, with libssh2's message.
  bool connect_steps(std::string* step) {
    auto at = [&](const char* what) {
      if (step) {
        *step = what;
        char* msg = nullptr;
        if (session_ && libssh2_session_last_error(session_, &msg, nullptr, 0) != 0 && msg) {
          *step += std::string(": ") + msg;
        }
      }
      return fail();
    };
    disconnect();
    if (host_.empty() || host_.find('\0') != std::string::npos || port_ <= 0 || port_ > 65535) {
      if (step) *step = "configuration: no usable host or port";
      return false;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(limits_.connect_timeout_ms);
    sock_ = tcp_connect(host_, port_, deadline);
    if (!sock_.valid()) {
      if (step) *step = "TCP connect (refused, unreachable or timed out)";
      return false;
    }
    session_ = libssh2_session_init_ex(nullptr, nullptr, nullptr, this);
    if (!session_) return at("session");
    libssh2_session_set_blocking(session_, 1);
    if (!bounded(deadline) || libssh2_session_handshake(session_, sock_.get()) != 0) {
      return at("SSH handshake");
    }
    // Any host key is accepted (see the header): there is no fingerprint to compare with.
    if (!bounded(deadline) || !authenticate()) return at("authentication");
    if (!bounded(deadline)) return at("SFTP start");
    sftp_ = libssh2_sftp_init(session_);
    if (!sftp_) return at("SFTP start");
    libssh2_session_set_timeout(session_, limits_.io_timeout_ms);
    return true;
  }

  bool connected() const override { return sftp_ != nullptr; }

  bool put_file(const std::u16string& remote_name, const std::u16string& local_path) override {
    if (!trace::enabled()) return put_steps(remote_name, local_path);
    trace::Span span("sftp",
                     "put " + trace::quote(remote_name) + " <- " + trace::quote(local_path));
    const bool ok = put_steps(remote_name, local_path);
    span.finish(ok ? "stored" : "failed");
    return ok;
  }

  bool put_steps(const std::u16string& remote_name, const std::u16string& local_path) {
    if (!sftp_) return false;
    std::string local = platform::current().to_ansi(local_path);
    if (local.empty() || local.find('\0') != std::string::npos) return false;
    LocalFile in(local);
    if (!in.is_open()) return false;

    std::string remote = core::utf16_to_utf8(remote_name);
    if (!remote_path_.empty() && remote_path_ != ".") {
      remote = remote_path_ + (remote_path_.back() == '/' ? "" : "/") + remote;
    }
    quick_ack();
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_open_ex(
        sftp_, remote.data(), static_cast<unsigned>(remote.size()),
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC,
        LIBSSH2_SFTP_S_IRUSR | LIBSSH2_SFTP_S_IWUSR | LIBSSH2_SFTP_S_IRGRP | LIBSSH2_SFTP_S_IROTH,
        LIBSSH2_SFTP_OPENFILE);
    if (!h) return false;

    bool ok = true;
    std::vector<char> buf(32768);
    while (ok) {
      long long got = in.read(buf.data(), buf.size());
      if (got < 0) {
        ok = false;
        break;
      }
      if (got == 0) break;
      // libssh2 may take less than offered: write the rest until the chunk is gone.
      const char* p = buf.data();
      std::size_t left = static_cast<std::size_t>(got);
      while (left > 0) {
        quick_ack();
        ssize_t wrote = libssh2_sftp_write(h, p, left);
        if (wrote <= 0) {
          ok = false;
          break;
        }
        p += wrote;
        left -= static_cast<std::size_t>(wrote);
      }
    }
    // The server reports a failed write at the latest when the handle is closed. After a failed
    // write the peer is dropped or silent: closing gets a short wait, not another full one.
    quick_ack();
    if (!ok) libssh2_session_set_timeout(session_, kAfterFailureMs);
    if (libssh2_sftp_close_handle(h) != 0) ok = false;
    if (!ok) libssh2_session_set_timeout(session_, limits_.io_timeout_ms);
    return ok;
  }

 private:
  // Servers that leave Nagle's algorithm on hold back a small reply until the previous one is
  // acknowledged; with the receiver's delayed acknowledgement that costs ~40 ms per exchange.
  // Acknowledging at once (Linux resets the mode by itself, so it is set before every wait)
  // keeps a put at a few milliseconds.
  void quick_ack() {
#ifdef TCP_QUICKACK
    int one = 1;
    setsockopt(sock_.get(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#endif
  }

  // Sets the session's wait bound to what is left of the Connect's time; false when none is.
  bool bounded(Clock::time_point deadline) {
    int left = remaining_ms(deadline);
    if (left <= 0) return false;
    libssh2_session_set_timeout(session_, left);
    return true;
  }

  bool authenticate() {
    const char* methods =
        libssh2_userauth_list(session_, user_.data(), static_cast<unsigned>(user_.size()));
    if (!methods) return libssh2_userauth_authenticated(session_) != 0;
    if (method_offered(methods, "password") &&
        libssh2_userauth_password_ex(session_, user_.data(), static_cast<unsigned>(user_.size()),
                                     password_.data(), static_cast<unsigned>(password_.size()),
                                     nullptr) == 0) {
      return true;
    }
    if (method_offered(methods, "keyboard-interactive") &&
        libssh2_userauth_keyboard_interactive_ex(
            session_, user_.data(), static_cast<unsigned>(user_.size()), &answer_prompts) == 0) {
      return true;
    }
    return false;
  }

  // Every prompt is answered with the password. libssh2 frees the answers with free().
  static void answer_prompts(const char*, int, const char*, int, int num_prompts,
                             const LIBSSH2_USERAUTH_KBDINT_PROMPT*,
                             LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    auto* self = static_cast<Libssh2Sftp*>(*abstract);
    for (int i = 0; i < num_prompts; ++i) {
      responses[i].text = nullptr;
      responses[i].length = 0;
      auto* copy = static_cast<char*>(std::malloc(self->password_.size() + 1));
      if (!copy) continue;
      std::memcpy(copy, self->password_.data(), self->password_.size());
      copy[self->password_.size()] = '\0';
      responses[i].text = copy;
      responses[i].length = static_cast<unsigned>(self->password_.size());
    }
  }

  bool fail() {
    disconnect();
    return false;
  }

  void disconnect() {
    // Each goodbye step is bounded by a short wait: a dead or silent peer costs at most that.
    if (session_) libssh2_session_set_timeout(session_, kAfterFailureMs);
    if (sftp_) {
      libssh2_sftp_shutdown(sftp_);
      sftp_ = nullptr;
    }
    if (session_) {
      libssh2_session_disconnect(session_, "bye");
      libssh2_session_free(session_);
      session_ = nullptr;
    }
    sock_.reset();
  }

  SftpLimits limits_;
  std::string host_;
  std::string user_;
  std::string password_;
  std::string remote_path_ = ".";
  std::int32_t port_ = 22;
  Socket sock_;
  LIBSSH2_SESSION* session_ = nullptr;
  LIBSSH2_SFTP* sftp_ = nullptr;
};

}  // namespace

std::unique_ptr<SftpComponent> make_sftp_component(SftpLimits limits) {
  return std::make_unique<Libssh2Sftp>(limits);
}

}  // namespace taviksms::platform::ssh
