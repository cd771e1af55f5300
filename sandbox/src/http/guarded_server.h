// The sandbox's HTTP servers (mirrors and control port): listening-socket options, and a server
// that no slow, idle or greedy client can exhaust.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace sandbox {

// A port in use makes the start fail (net::set_listen_options). cpp-httplib's default also sets
// SO_REUSEPORT (on Windows SO_REUSEADDR), which would let a second sandbox bind a port that is
// in use instead of failing to start.
void exclusive_listen_options(socket_t sock);

struct HttpLimits {
  // From a request's first byte to the end of its head; then to the end of its body.
  std::chrono::milliseconds head_timeout{10000};
  std::chrono::milliseconds body_timeout{30000};
  // A connection with no request begun (new, or kept alive after an answer) closes after this.
  std::chrono::milliseconds idle_timeout{5000};
  // Open connections at once. At the cap, the connection that has waited longest for its
  // request to arrive makes room for the new one; with every connection in a handler, the new
  // one is answered 503 and closed.
  std::size_t max_connections = 128;
  // Bodies above this are answered 413: a declared length before any of the body is read, a
  // chunked body as soon as its chunks pass it.
  std::size_t max_body_bytes = 1 << 20;
  std::size_t max_head_bytes = 16 * 1024;
  // Threads that run handlers (requests reach them only once complete).
  std::size_t workers = 8;
};

// A request's head as the polling thread read it, for the admission check.
class RequestHead {
 public:
  explicit RequestHead(std::string_view head) : head_(head) {}
  std::string_view method() const;
  // The request target's path, without its query.
  std::string_view path() const;
  // Every value of the header `name` (any case), in order, blanks trimmed.
  std::vector<std::string_view> values(std::string_view name) const;

 private:
  std::string_view head_;
};

// Empty: the request may go on to its handler; else why it is refused (403).
using AdmissionCheck = std::function<std::optional<std::string>(const RequestHead&)>;

// A cpp-httplib server whose connections wait for their requests on one polling thread rather
// than on the worker threads: a client dripping a request a byte at a time, or opening
// connections and saying nothing, costs a descriptor and a buffer until its deadline, never a
// thread, so the handlers keep serving everyone else. A handler gets a request only once its
// head and its whole body are in, whatever the transfer encoding (a chunked body is gathered
// chunk by chunk; "Expect: 100-continue" is answered here), and reads exactly that request:
// the bytes after it are the next request, and a request whose body the handler left unread
// ends its connection, so no byte of a body is ever taken for a request of its own.
class GuardedHttpServer : public httplib::Server {
 public:
  explicit GuardedHttpServer(HttpLimits limits);
  ~GuardedHttpServer() override;
  GuardedHttpServer(const GuardedHttpServer&) = delete;
  GuardedHttpServer& operator=(const GuardedHttpServer&) = delete;

  // Runs on each request's head before any of its body is read; a refused request is answered
  // 403 with {"error": why} and its connection closed. Set before the server starts.
  void set_admission_check(AdmissionCheck check) { admission_ = std::move(check); }

  // Stops accepting (httplib::Server::stop), then closes every connection and joins the
  // threads. Idempotent; the destructor calls it.
  void stop();

  std::size_t open_connections() const { return open_.load(); }
  std::uint64_t refused_connections() const { return refused_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  // Where a chunked body's parse stands.
  struct Chunking {
    enum class At { kSizeLine, kData, kTrailer } at = At::kSizeLine;
    std::size_t scan = 0;     // offset in buf of what is not parsed yet
    std::size_t left = 0;     // kData: bytes of the chunk (and its CRLF) still to come
    std::size_t decoded = 0;  // the body's size so far
  };
  struct Conn {
    net::Socket fd = net::kNoSocket;
    std::string buf;  // received, not yet handed to a handler
    // kClosing: answered and being closed; what still arrives is read and dropped, so that the
    // answer is not lost to a reset, and is never parsed.
    enum class Phase { kIdle, kHead, kBody, kClosing } phase = Phase::kIdle;
    Clock::time_point deadline;
    Clock::time_point since;           // when it began waiting
    std::size_t need = 0;              // kBody: bytes of buf the request takes (once known)
    std::optional<Chunking> chunking;  // kBody of a chunked request, until its end is found
    bool body_for_handler = false;     // the handler reads a body of this method
  };

  // Called by httplib's accept loop for every new connection (on that thread: see the inline
  // task queue): registers it with the polling thread, or refuses it over the cap.
  bool process_and_close_socket(socket_t sock) override;

  void poll_loop();
  void evict_longest_waiting();
  enum class Step { kKeep, kClose, kLinger, kDispatched };
  // Moves a connection on after new bytes: keep waiting, close it, close it after the refusal
  // it was sent, or it went to the workers.
  Step advance(Conn& c, Clock::time_point now);
  Step start_body(Conn& c, std::size_t head_len, Clock::time_point now);
  // Moves a chunked body's parse on; false when it is malformed or too large (answered).
  bool scan_chunks(Conn& c);
  void dispatch(Conn c);
  void worker_loop();
  void close_conn(net::Socket fd);
  void begin_closing(Conn& c, Clock::time_point now);
  void hand_back(Conn c);

  const HttpLimits limits_;
  AdmissionCheck admission_;
  std::unique_ptr<net::Wakeup> wake_;  // wakes the polling thread
  std::atomic<bool> stopping_{false};
  bool stopped_ = false;
  std::atomic<std::size_t> open_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::size_t> waiting_count_{0};      // connections the polling thread holds
  std::atomic<std::size_t> pending_evictions_{0};  // asked of the polling thread

  std::mutex mu_;
  std::condition_variable work_cv_;
  std::vector<Conn> incoming_;         // for the polling thread
  std::deque<Conn> work_;              // for the workers
  std::set<net::Socket> in_handlers_;  // descriptors a worker holds (stop() shuts them down)

  std::map<net::Socket, Conn> waiting_;  // polling thread only
  std::thread poller_;
  std::vector<std::thread> workers_;
};

}  // namespace sandbox
