#include "sftp/sftp_server.h"

// libssh only declares its SFTP server functions when WITH_SERVER is defined. Its message-based
// server API (the only one that hands out the password) is marked deprecated in 0.10.
#define WITH_SERVER
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include "platform/net.h"
// The platform's socket headers come before libssh's.
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <libssh/sftp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "sftp/upload_names.h"
#include "utf8_path.h"

namespace sandbox {

namespace fs = std::filesystem;

std::optional<SftpMode> parse_sftp_mode(std::string_view text) {
  if (text == "up") return SftpMode::Up;
  if (text == "refuse-writes") return SftpMode::RefuseWrites;
  if (text == "mute") return SftpMode::Mute;
  if (text == "drop") return SftpMode::Drop;
  if (text == "stall") return SftpMode::Stall;
  return std::nullopt;
}

std::string_view sftp_mode_name(SftpMode mode) {
  switch (mode) {
    case SftpMode::Up:
      return "up";
    case SftpMode::RefuseWrites:
      return "refuse-writes";
    case SftpMode::Mute:
      return "mute";
    case SftpMode::Drop:
      return "drop";
    case SftpMode::Stall:
      return "stall";
  }
  return "up";
}

namespace {

constexpr int kAuthAttempts = 10;
constexpr int kSetupMessages = 64;  // channel-open/env/subsystem messages before giving up
constexpr std::uint64_t kMaxFileSize = 256ull * 1024 * 1024;
constexpr std::size_t kNamesPerReaddir = 100;
constexpr std::size_t kMaxMutedConnections = 256;

struct MessageFree {
  void operator()(ssh_message m) const { ssh_message_free(m); }
};
using MessagePtr = std::unique_ptr<std::remove_pointer_t<ssh_message>, MessageFree>;

// The file is read and written here rather than by libssh, whose file functions take a narrow
// name (the ANSI code page on Windows, where a profile folder may hold any character).
std::string load_or_create_key(const fs::path& path, ssh_keytypes_e type, ssh_key* out) {
  if (fs::exists(path)) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in ||
        ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, out) != SSH_OK) {
      return "cannot read host key " + path_text(path);
    }
    return {};
  }
  const int bits = type == SSH_KEYTYPE_ECDSA_P256 ? 256 : 0;
  if (ssh_pki_generate(type, bits, out) != SSH_OK) return "cannot generate host key";
  char* text = nullptr;
  const bool written =
      ssh_pki_export_privkey_base64(*out, nullptr, nullptr, nullptr, &text) == SSH_OK &&
      files::write_private_file(path, text);
  ssh_string_free_char(text);
  if (!written) {
    ssh_key_free(*out);
    *out = nullptr;
    return "cannot write host key " + path_text(path);
  }
  return {};
}

void fill_attributes(const files::FileFacts& f, sftp_attributes_struct& a) {
  a = sftp_attributes_struct{};
  a.flags = SSH_FILEXFER_ATTR_SIZE | SSH_FILEXFER_ATTR_PERMISSIONS | SSH_FILEXFER_ATTR_ACMODTIME |
            SSH_FILEXFER_ATTR_UIDGID;
  a.type = f.directory ? SSH_FILEXFER_TYPE_DIRECTORY : SSH_FILEXFER_TYPE_REGULAR;
  a.size = f.size;
  a.uid = 1000;
  a.gid = 1000;
  a.permissions = f.mode;
  a.atime = static_cast<std::uint32_t>(f.atime);
  a.mtime = static_cast<std::uint32_t>(f.mtime);
}

int status_of(files::Failure failure) {
  switch (failure) {
    case files::Failure::kNoSuchFile:
      return SSH_FX_NO_SUCH_FILE;
    case files::Failure::kPermissionDenied:
      return SSH_FX_PERMISSION_DENIED;
    case files::Failure::kOther:
      break;
  }
  return SSH_FX_FAILURE;
}

// One open SFTP handle. libssh's handle table keeps a raw pointer; the session owns these.
struct Handle {
  bool is_dir = false;
  std::unique_ptr<files::WriteFile> file;
  std::string name;
  std::vector<std::string> listing;  // directory: names still to send
  bool listed = false;
};

// Carries one client's connection to its session over a socket pair, holding back what the
// session sends for the latency in force, so the client feels a network's round trip. Ends when
// either side does; closes both of its descriptors.
void relay_with_latency(net::Socket client, net::Socket session_end,
                        const std::atomic<std::int64_t>& latency_ms,
                        const std::atomic<bool>& stopping) {
  using Clock = std::chrono::steady_clock;
  struct Held {
    Clock::time_point due;
    std::vector<char> bytes;
    std::size_t sent = 0;
  };
  std::deque<Held> held;
  bool session_open = true;
  std::vector<char> buf(64 * 1024);
  auto send_to_session = [&](const char* data, std::size_t len) {
    return net::send_all(session_end, data, len);
  };
  for (;;) {
    while (!held.empty() && (held.front().due <= Clock::now() || stopping)) {
      Held& h = held.front();
      const long long n = net::send_some(client, h.bytes.data() + h.sent, h.bytes.size() - h.sent);
      if (n < 0 && net::interrupted(net::last_error())) continue;
      if (n <= 0) {
        held.clear();
        session_open = false;
        break;
      }
      h.sent += static_cast<std::size_t>(n);
      if (h.sent == h.bytes.size()) held.pop_front();
    }
    if (!session_open && held.empty()) break;
    int timeout = 250;
    if (!held.empty()) {
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(held.front().due - Clock::now());
      timeout = static_cast<int>(std::clamp<std::int64_t>(wait.count() + 1, 0, 250));
    }
    // What is held stays bounded: past 256 pieces the session is not read until some are due.
    net::PollFd fds[2] = {
        {client, POLLIN, 0},
        {session_end, static_cast<short>(session_open && held.size() < 256 ? POLLIN : 0), 0}};
    if (net::poll(fds, 2, timeout) < 0 && !net::interrupted(net::last_error())) break;
    if (fds[0].revents != 0) {
      const long long n = net::receive_some(client, buf.data(), buf.size());
      if (n < 0 && net::interrupted(net::last_error())) continue;
      if (n <= 0 || !send_to_session(buf.data(), static_cast<std::size_t>(n))) break;
    }
    if (fds[1].revents != 0) {
      const long long n = net::receive_some(session_end, buf.data(), buf.size());
      if (n < 0 && net::interrupted(net::last_error())) continue;
      if (n <= 0) {
        session_open = false;
        continue;
      }
      held.push_back({Clock::now() + std::chrono::milliseconds(latency_ms.load()),
                      std::vector<char>(buf.begin(), buf.begin() + n)});
    }
  }
  net::shutdown_both(session_end);
  net::close(session_end);
  net::close(client);
}

}  // namespace

class SftpServer::Impl {
 public:
  explicit Impl(SftpConfig config) : config_(std::move(config)) {}
  ~Impl() { stop(); }

  void start();
  void stop();

  SftpConfig config_;
  fs::path uploads_;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<SftpMode> mode_{SftpMode::Up};
  std::atomic<std::uint64_t> fault_offset_{0};
  std::atomic<std::uint64_t> mode_generation_{0};  // bumped on every mode change: ends a stall
  std::atomic<std::uint64_t> total_sessions_{0};
  std::atomic<std::uint64_t> refused_sessions_{0};
  std::atomic<std::int64_t> latency_ms_{0};

  ssh_bind bind_ = nullptr;
  net::Socket listen_fd_ = net::kNoSocket;
  std::unique_ptr<net::Wakeup> wake_;  // wakes the accept loop for stop()
  std::thread accept_thread_;
  std::atomic<bool> stopping_{false};
  bool started_ = false;

  struct Active {
    net::Socket fd = net::kNoSocket;  // none once the session thread has released its socket
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> authenticated{false};
    std::chrono::steady_clock::time_point auth_deadline;
    std::thread relay;  // set when the connection goes through relay_with_latency
    std::atomic<bool> relay_done{false};
  };
  mutable std::mutex sessions_mu_;
  std::list<Active> sessions_;

 private:
  void accept_loop();
  void reap_finished(bool all);
  void serve(Active* active, ssh_session session);
  bool authenticate(ssh_session session);
  ssh_channel open_sftp_channel(ssh_session session);
  void run_sftp(sftp_session sftp);
  // False when the session must end at once, without an answer (the Drop and Stall faults).
  bool handle_message(sftp_session sftp, sftp_client_message msg,
                      std::list<std::unique_ptr<Handle>>& handles);
  bool write_fault(sftp_session sftp, Handle& h, const char* data, std::size_t len,
                   std::uint64_t offset);
};

void SftpServer::Impl::start() {
  if (started_) return;
  std::error_code ec;
  uploads_ = config_.data_dir / "uploads";
  fs::create_directories(uploads_, ec);
  if (ec) throw std::runtime_error("cannot create " + path_text(uploads_) + ": " + ec.message());

  ssh_init();
  // Two host keys, both quick to make: ed25519 for OpenSSH and libssh2 on OpenSSL, ECDSA P-256
  // for libssh2 on mbedTLS (the Windows component's client), which has no ed25519.
  ssh_key ed25519 = nullptr;
  std::string error =
      load_or_create_key(config_.data_dir / "ssh_host_ed25519_key", SSH_KEYTYPE_ED25519, &ed25519);
  if (!error.empty()) throw std::runtime_error(error);
  ssh_key ecdsa = nullptr;
  error =
      load_or_create_key(config_.data_dir / "ssh_host_ecdsa_key", SSH_KEYTYPE_ECDSA_P256, &ecdsa);
  if (!error.empty()) {
    ssh_key_free(ed25519);
    throw std::runtime_error(error);
  }

  bind_ = ssh_bind_new();
  if (bind_ == nullptr) {
    ssh_key_free(ed25519);
    ssh_key_free(ecdsa);
    throw std::runtime_error("cannot create SSH listener");
  }
  // Never read /etc/ssh/libssh_server_config: the sandbox must behave the same everywhere.
  bool process_config = false;
  ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_PROCESS_CONFIG, &process_config);
  int verbosity = SSH_LOG_NOLOG;
  ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_LOG_VERBOSITY, &verbosity);
  // IMPORT_KEY takes ownership of the key.
  if (ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_IMPORT_KEY, ed25519) != SSH_OK) {
    ssh_key_free(ed25519);
    ssh_key_free(ecdsa);
    throw std::runtime_error("cannot use the host key");
  }
  if (ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_IMPORT_KEY, ecdsa) != SSH_OK) {
    ssh_key_free(ecdsa);
    throw std::runtime_error("cannot use the ECDSA host key");
  }
  fs::path rsa_path = config_.data_dir / "ssh_host_rsa_key";
  if (fs::exists(rsa_path)) {
    ssh_key rsa = nullptr;
    if (load_or_create_key(rsa_path, SSH_KEYTYPE_RSA, &rsa).empty() &&
        ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_IMPORT_KEY, rsa) != SSH_OK) {
      ssh_key_free(rsa);
    }
  }

  // Our own listening socket: port 0 works and stop() can wake the accept loop.
  const net::Listener listener = net::listen_on(config_.host, config_.port, 64);
  listen_fd_ = listener.socket;
  port_ = listener.port;
  wake_ = std::make_unique<net::Wakeup>();

  stopping_ = false;
  started_ = true;
  accept_thread_ = std::thread([this] { accept_loop(); });
}

void SftpServer::Impl::stop() {
  if (!started_) {
    net::close(listen_fd_);
    listen_fd_ = net::kNoSocket;
    if (bind_ != nullptr) ssh_bind_free(bind_);
    bind_ = nullptr;
    return;
  }
  stopping_ = true;
  wake_->signal();
  if (accept_thread_.joinable()) accept_thread_.join();
  {
    // Shutting the sockets down makes every blocking libssh call in the sessions fail at once.
    std::lock_guard lock(sessions_mu_);
    for (auto& s : sessions_) {
      if (s.fd != net::kNoSocket) net::shutdown_both(s.fd);
    }
  }
  reap_finished(true);
  net::close(listen_fd_);
  listen_fd_ = net::kNoSocket;
  wake_.reset();
  ssh_bind_free(bind_);
  bind_ = nullptr;
  started_ = false;
}

void SftpServer::Impl::reap_finished(bool all) {
  std::list<Active> finished;
  {
    std::lock_guard lock(sessions_mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (all || (it->done && (!it->relay.joinable() || it->relay_done))) {
        auto next = std::next(it);
        finished.splice(finished.end(), sessions_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  for (auto& s : finished) {
    if (s.thread.joinable()) s.thread.join();
    if (s.relay.joinable()) s.relay.join();
  }
}

void SftpServer::Impl::accept_loop() {
  std::vector<net::Socket> muted;
  while (!stopping_) {
    std::vector<net::PollFd> fds;
    fds.push_back({listen_fd_, POLLIN, 0});
    fds.push_back({wake_->socket(), POLLIN, 0});
    for (const net::Socket m : muted) fds.push_back({m, POLLIN, 0});
    int n = net::poll(fds.data(), fds.size(), 250);
    reap_finished(false);
    {
      // Past its login deadline a connection is cut under libssh: its blocking read fails and
      // the session thread ends, giving the slot back.
      const auto now = std::chrono::steady_clock::now();
      std::lock_guard lock(sessions_mu_);
      for (auto& s : sessions_) {
        if (!s.authenticated && s.fd != net::kNoSocket && now >= s.auth_deadline) {
          net::shutdown_both(s.fd);
          s.auth_deadline = std::chrono::steady_clock::time_point::max();
        }
      }
    }
    if (n < 0) {
      if (net::interrupted(net::last_error())) continue;
      break;
    }
    if (stopping_) break;
    // Muted connections: drain and drop what the client sends; close when it hangs up.
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      char sink[4096];
      const long long got = net::receive_some(fds[i].fd, sink, sizeof sink, true);
      if (got == 0 || (got < 0 && !net::would_block(net::last_error()) &&
                       !net::interrupted(net::last_error()))) {
        net::close(fds[i].fd);
        muted.erase(std::find(muted.begin(), muted.end(), fds[i].fd));
      }
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    net::Socket fd = net::accept(listen_fd_);
    if (fd == net::kNoSocket) continue;
    if (mode_ == SftpMode::Mute) {
      if (muted.size() >= kMaxMutedConnections) {
        net::close(muted.front());
        muted.erase(muted.begin());
      }
      muted.push_back(fd);
      continue;
    }
    // SFTP is request/response in small packets: without this, Nagle's algorithm and the
    // client's delayed acknowledgements hold each answer for ~40 ms.
    net::set_nodelay(fd);
    std::lock_guard lock(sessions_mu_);
    if (sessions_.size() >= config_.max_sessions) {
      // The oldest connection still logging in makes room; with every slot logged in, the new
      // one is refused.
      auto victim = std::find_if(sessions_.begin(), sessions_.end(), [](const Active& s) {
        return !s.authenticated && s.fd != net::kNoSocket &&
               s.auth_deadline != std::chrono::steady_clock::time_point::max();
      });
      if (victim == sessions_.end()) {
        ++refused_sessions_;
        net::close(fd);
        continue;
      }
      net::shutdown_both(victim->fd);
      victim->auth_deadline = std::chrono::steady_clock::time_point::max();
    }
    // With a latency set, the session talks to a relay that holds its answers back.
    net::Socket client_fd = net::kNoSocket;
    net::Socket relay_end = net::kNoSocket;
    if (latency_ms_.load() > 0) {
      net::Socket pair[2];
      if (!net::socket_pair(pair)) {
        net::close(fd);
        continue;
      }
      // A client that stops reading cannot hold the relay for ever.
      net::set_send_timeout(fd, std::chrono::seconds(10));
      client_fd = fd;
      fd = pair[0];
      relay_end = pair[1];
    }
    ssh_session session = ssh_new();
    if (session == nullptr) {
      net::close(fd);
      net::close(client_fd);
      net::close(relay_end);
      continue;
    }
    if (ssh_bind_accept_fd(bind_, session, fd) != SSH_OK) {
      ssh_free(session);  // owns fd now
      net::close(client_fd);
      net::close(relay_end);
      continue;
    }
    ++total_sessions_;
    Active& active = sessions_.emplace_back();
    if (client_fd != net::kNoSocket) {
      active.relay = std::thread([this, &active, client_fd, relay_end] {
        relay_with_latency(client_fd, relay_end, latency_ms_, stopping_);
        active.relay_done = true;
      });
    }
    active.fd = fd;
    active.auth_deadline = std::chrono::steady_clock::now() + config_.auth_timeout;
    active.thread = std::thread([this, &active, session] { serve(&active, session); });
  }
  for (const net::Socket m : muted) net::close(m);
}

void SftpServer::Impl::serve(Active* active, ssh_session session) {
  try {
    long timeout = static_cast<long>(config_.session_timeout.count());
    ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeout);
    ssh_set_auth_methods(session, SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE);
    if (!stopping_ && ssh_handle_key_exchange(session) == SSH_OK && authenticate(session)) {
      active->authenticated = true;
      ssh_channel channel = open_sftp_channel(session);
      if (channel != nullptr) {
        sftp_session sftp = sftp_server_new(session, channel);
        if (sftp == nullptr) {
          ssh_channel_free(channel);
        } else {
          if (sftp_server_init(sftp) == 0) run_sftp(sftp);
          sftp_free(sftp);  // closes and frees the channel too
        }
      }
    }
    ssh_disconnect(session);
  } catch (...) {
    // Nothing may escape a session thread; the session simply ends.
  }
  {
    // stop() must never shut down a socket number that ssh_free has already given back.
    std::lock_guard lock(sessions_mu_);
    active->fd = net::kNoSocket;
  }
  ssh_free(session);
  active->done = true;
}

bool SftpServer::Impl::authenticate(ssh_session session) {
  std::string kbdint_user;
  int attempts = 0;
  for (int messages = 0; messages < 4 * kAuthAttempts && attempts < kAuthAttempts; ++messages) {
    MessagePtr m(ssh_message_get(session));
    if (!m) return false;
    if (ssh_message_type(m.get()) != SSH_REQUEST_AUTH) {
      ssh_message_reply_default(m.get());
      continue;
    }
    bool accepted = false;
    switch (ssh_message_subtype(m.get())) {
      case SSH_AUTH_METHOD_PASSWORD: {
        ++attempts;
        const char* user = ssh_message_auth_user(m.get());
        const char* password = ssh_message_auth_password(m.get());
        accepted = user != nullptr && password != nullptr && config_.user == user &&
                   config_.password == password;
        break;
      }
      case SSH_AUTH_METHOD_INTERACTIVE: {
        if (ssh_message_auth_kbdint_is_response(m.get()) == 0) {
          const char* user = ssh_message_auth_user(m.get());
          kbdint_user = user != nullptr ? user : "";
          const char* prompts[] = {"Password: "};
          char echo[] = {0};
          ssh_message_auth_interactive_request(m.get(), "", "", 1, prompts, echo);
          continue;
        }
        ++attempts;
        if (ssh_userauth_kbdint_getnanswers(session) == 1) {
          const char* answer = ssh_userauth_kbdint_getanswer(session, 0);
          accepted = answer != nullptr && kbdint_user == config_.user && config_.password == answer;
        }
        break;
      }
      default:
        break;  // "none" and public keys: list what we take
    }
    if (accepted) {
      ssh_message_auth_reply_success(m.get(), 0);
      return true;
    }
    ssh_message_auth_set_methods(m.get(), SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE);
    ssh_message_reply_default(m.get());
  }
  return false;
}

ssh_channel SftpServer::Impl::open_sftp_channel(ssh_session session) {
  ssh_channel channel = nullptr;
  for (int i = 0; i < kSetupMessages; ++i) {
    MessagePtr m(ssh_message_get(session));
    if (!m) break;
    int type = ssh_message_type(m.get());
    int subtype = ssh_message_subtype(m.get());
    if (type == SSH_REQUEST_CHANNEL_OPEN && subtype == SSH_CHANNEL_SESSION && channel == nullptr) {
      channel = ssh_message_channel_request_open_reply_accept(m.get());
      continue;
    }
    if (type == SSH_REQUEST_CHANNEL && subtype == SSH_CHANNEL_REQUEST_SUBSYSTEM &&
        channel != nullptr) {
      const char* name = ssh_message_channel_request_subsystem(m.get());
      if (name != nullptr && std::strcmp(name, "sftp") == 0) {
        ssh_message_channel_request_reply_success(m.get());
        return channel;
      }
    }
    ssh_message_reply_default(m.get());  // shells, exec, env, pty, forwarding: refused
  }
  if (channel != nullptr) ssh_channel_free(channel);
  return nullptr;
}

void SftpServer::Impl::run_sftp(sftp_session sftp) {
  std::list<std::unique_ptr<Handle>> handles;
  while (!stopping_) {
    sftp_client_message msg = sftp_get_client_message(sftp);
    if (msg == nullptr) break;
    const bool go_on = handle_message(sftp, msg, handles);
    sftp_client_message_free(msg);
    if (!go_on) {
      // Cut the TCP connection under libssh: the client sees a dropped link, not a goodbye.
      net::shutdown_both(ssh_get_fd(sftp->session));
      break;
    }
  }
  for (auto& h : handles) sftp_handle_remove(sftp, h.get());
}

bool SftpServer::Impl::write_fault(sftp_session, Handle& h, const char* data, std::size_t len,
                                   std::uint64_t offset) {
  const SftpMode mode = mode_;
  const std::uint64_t at = fault_offset_;
  if ((mode != SftpMode::Drop && mode != SftpMode::Stall) || offset + len <= at) return false;
  // The bytes before the fault offset reach the file, as they would before a real failure.
  const std::size_t keep = offset < at ? static_cast<std::size_t>(at - offset) : 0;
  files::Failure ignored{};
  h.file->write_at(offset, data, keep, ignored);
  if (mode == SftpMode::Stall) {
    const std::uint64_t generation = mode_generation_;
    while (!stopping_ && mode_generation_ == generation) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return true;
}

bool SftpServer::Impl::handle_message(sftp_session sftp, sftp_client_message msg,
                                      std::list<std::unique_ptr<Handle>>& handles) {
  auto find_handle = [&]() -> Handle* {
    if (msg->handle == nullptr) return nullptr;
    void* info = sftp_handle(sftp, msg->handle);
    for (auto& h : handles) {
      if (h.get() == info) return h.get();
    }
    return nullptr;
  };
  auto reply_new_handle = [&](std::unique_ptr<Handle> h) {
    ssh_string id = sftp_handle_alloc(sftp, h.get());
    if (id == nullptr) {
      sftp_reply_status(msg, SSH_FX_FAILURE, "too many open handles");
      return;
    }
    handles.push_back(std::move(h));
    sftp_reply_handle(msg, id);
    ssh_string_free(id);
  };
  const char* filename = msg->filename != nullptr ? msg->filename : "";

  switch (msg->type) {
    case SSH_FXP_REALPATH: {
      sftp_attributes_struct attr{};
      if (is_root_path(filename)) {
        sftp_reply_name(msg, "/", &attr);
      } else if (auto name = upload_name(filename)) {
        std::string full = "/" + *name;
        sftp_reply_name(msg, full.c_str(), &attr);
      } else {
        sftp_reply_status(msg, SSH_FX_NO_SUCH_FILE, "no such file");
      }
      return true;
    }
    case SSH_FXP_STAT:
    case SSH_FXP_LSTAT: {
      fs::path target;
      if (is_root_path(filename)) {
        target = uploads_;
      } else if (auto name = upload_name(filename)) {
        target = uploads_ / path_of(*name);
      } else {
        sftp_reply_status(msg, SSH_FX_NO_SUCH_FILE, "no such file");
        return true;
      }
      files::Failure failure{};
      const auto facts = files::stat_path(target, failure);
      if (!facts) {
        sftp_reply_status(msg, status_of(failure), "no such file");
        return true;
      }
      sftp_attributes_struct attr{};
      fill_attributes(*facts, attr);
      sftp_reply_attr(msg, &attr);
      return true;
    }
    case SSH_FXP_FSTAT: {
      Handle* h = find_handle();
      if (h == nullptr) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "invalid handle");
        return true;
      }
      files::Failure failure{};
      const auto facts = h->is_dir ? files::stat_path(uploads_, failure) : h->file->facts(failure);
      if (!facts) {
        sftp_reply_status(msg, status_of(failure), "stat failed");
        return true;
      }
      sftp_attributes_struct attr{};
      fill_attributes(*facts, attr);
      sftp_reply_attr(msg, &attr);
      return true;
    }
    case SSH_FXP_OPEN: {
      std::uint32_t flags = msg->flags;
      auto name = upload_name(filename);
      if (!name || (flags & SSH_FXF_WRITE) == 0 || (flags & SSH_FXF_READ) != 0) {
        sftp_reply_status(msg, SSH_FX_PERMISSION_DENIED, "only uploads are allowed");
        return true;
      }
      if (mode_ == SftpMode::RefuseWrites) {
        sftp_reply_status(msg, SSH_FX_PERMISSION_DENIED, "writes are refused");
        return true;
      }
      files::OpenFlags open_flags;
      open_flags.create = (flags & SSH_FXF_CREAT) != 0;
      open_flags.truncate = (flags & SSH_FXF_TRUNC) != 0;
      open_flags.exclusive = (flags & SSH_FXF_EXCL) != 0;
      open_flags.append = (flags & SSH_FXF_APPEND) != 0;
      files::Failure failure{};
      std::string why;
      auto file = files::WriteFile::open(uploads_ / path_of(*name), open_flags, failure, why);
      if (!file) {
        sftp_reply_status(msg, status_of(failure), why.c_str());
        return true;
      }
      auto h = std::make_unique<Handle>();
      h->file = std::move(file);
      h->name = *name;
      reply_new_handle(std::move(h));
      return true;
    }
    case SSH_FXP_WRITE: {
      Handle* h = find_handle();
      if (h == nullptr || h->is_dir || msg->data == nullptr) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "invalid handle");
        return true;
      }
      const char* data = static_cast<const char*>(ssh_string_data(msg->data));
      std::size_t len = ssh_string_len(msg->data);
      if (msg->offset > kMaxFileSize || len > kMaxFileSize - msg->offset) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "file too large");
        return true;
      }
      if (write_fault(sftp, *h, data, len, msg->offset)) return false;
      files::Failure failure{};
      if (!h->file->write_at(msg->offset, data, len, failure)) {
        sftp_reply_status(msg, status_of(failure), "write failed");
        return true;
      }
      sftp_reply_status(msg, SSH_FX_OK, nullptr);
      return true;
    }
    case SSH_FXP_CLOSE: {
      Handle* h = find_handle();
      if (h == nullptr) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "invalid handle");
        return true;
      }
      const bool closed = h->file == nullptr || h->file->close();
      sftp_handle_remove(sftp, h);
      handles.remove_if([h](const std::unique_ptr<Handle>& p) { return p.get() == h; });
      if (!closed) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "close failed");
      } else {
        sftp_reply_status(msg, SSH_FX_OK, nullptr);
      }
      return true;
    }
    case SSH_FXP_OPENDIR: {
      if (!is_root_path(filename)) {
        sftp_reply_status(msg, SSH_FX_PERMISSION_DENIED, "only the upload folder can be listed");
        return true;
      }
      auto h = std::make_unique<Handle>();
      h->is_dir = true;
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(uploads_, ec)) {
        if (entry.is_regular_file(ec)) h->listing.push_back(path_text(entry.path().filename()));
      }
      std::sort(h->listing.begin(), h->listing.end());
      reply_new_handle(std::move(h));
      return true;
    }
    case SSH_FXP_READDIR: {
      Handle* h = find_handle();
      if (h == nullptr || !h->is_dir) {
        sftp_reply_status(msg, SSH_FX_FAILURE, "invalid handle");
        return true;
      }
      if (h->listed && h->listing.empty()) {
        sftp_reply_status(msg, SSH_FX_EOF, nullptr);
        return true;
      }
      if (!h->listed) {
        files::Failure failure{};
        if (const auto facts = files::stat_path(uploads_, failure)) {
          sftp_attributes_struct attr{};
          fill_attributes(*facts, attr);
          sftp_reply_names_add(msg, ".", "drwxr-xr-x 2 sftp sftp 0 Jan  1 00:00 .", &attr);
        }
        h->listed = true;
      }
      std::size_t count = 0;
      while (!h->listing.empty() && count < kNamesPerReaddir) {
        std::string name = h->listing.back();
        h->listing.pop_back();
        files::Failure failure{};
        const auto facts = files::stat_path(uploads_ / path_of(name), failure);
        if (!facts) continue;
        sftp_attributes_struct attr{};
        fill_attributes(*facts, attr);
        std::string longname =
            "-rw-r--r-- 1 sftp sftp " + std::to_string(facts->size) + " Jan  1 00:00 " + name;
        sftp_reply_names_add(msg, name.c_str(), longname.c_str(), &attr);
        ++count;
      }
      sftp_reply_names(msg);
      return true;
    }
    case SSH_FXP_SETSTAT:
    case SSH_FXP_FSETSTAT:
      // Clients preserving times or modes are told it worked; the sandbox keeps its own.
      sftp_reply_status(msg, SSH_FX_OK, nullptr);
      return true;
    case SSH_FXP_EXTENDED:
      sftp_reply_status(msg, SSH_FX_OP_UNSUPPORTED, "unsupported");
      return true;
    default:
      sftp_reply_status(msg, SSH_FX_PERMISSION_DENIED, "only uploads are allowed");
      return true;
  }
}

SftpServer::SftpServer(SftpConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}
SftpServer::~SftpServer() = default;
void SftpServer::start() {
  impl_->start();
}
void SftpServer::stop() {
  impl_->stop();
}
std::uint16_t SftpServer::port() const {
  return impl_->port_;
}
std::filesystem::path SftpServer::uploads_dir() const {
  return impl_->config_.data_dir / "uploads";
}
void SftpServer::set_mode(SftpMode mode, std::uint64_t fault_offset) {
  impl_->fault_offset_ = fault_offset;
  impl_->mode_ = mode;
  ++impl_->mode_generation_;
}
std::uint64_t SftpServer::fault_offset() const {
  return impl_->fault_offset_;
}
SftpMode SftpServer::mode() const {
  return impl_->mode_;
}
std::uint64_t SftpServer::total_sessions() const {
  return impl_->total_sessions_;
}

std::uint64_t SftpServer::refused_sessions() const {
  return impl_->refused_sessions_;
}
void SftpServer::set_latency(std::chrono::milliseconds latency) {
  impl_->latency_ms_ = latency.count();
}
std::chrono::milliseconds SftpServer::latency() const {
  return std::chrono::milliseconds(impl_->latency_ms_.load());
}
std::size_t SftpServer::open_sessions() const {
  std::lock_guard lock(impl_->sessions_mu_);
  std::size_t open = 0;
  for (const auto& s : impl_->sessions_) {
    if (!s.done) ++open;
  }
  return open;
}

}  // namespace sandbox
