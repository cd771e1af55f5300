// TdsServer over real sockets on 127.0.0.1 with the fake backend: login and requests, framing at
// the negotiated packet size, and clients that misbehave — none of which may disturb the others.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "fake_backend.h"
#include "tds/server.h"
#include "tds_test_util.h"

namespace sandbox::tds {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::FakeBackend;
using testing::Token;

constexpr auto kTimeout = 10s;

// A raw TDS client; every read is bounded by kTimeout.
class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  bool send_raw(const Bytes& b) {
    std::size_t sent = 0;
    while (sent < b.size()) {
      const ssize_t n = ::send(fd_, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool send(std::uint8_t type, const Bytes& payload, std::size_t packet_size = 4096) {
    std::uint8_t id = 1;
    return send_raw(frame_message(type, payload, packet_size, 1, id));
  }

  // Reads one whole server message; false on timeout or close.
  bool read_message(testing::Framed& out) {
    for (;;) {
      std::vector<testing::Framed> msgs;
      if (complete(msgs)) {
        out = std::move(msgs[0]);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        return true;
      }
      if (!fill()) return false;
    }
  }
  std::vector<Token> request(std::uint8_t type, const Bytes& payload) {
    std::vector<Token> t;
    testing::Framed f;
    if (!send(type, payload) || !read_message(f)) return t;
    EXPECT_EQ(f.type, 0x04);
    EXPECT_TRUE(testing::walk_tokens(f.payload, t));
    last_largest_packet = f.largest_packet;
    return t;
  }
  bool login(std::uint32_t packet_size = 4096) {
    testing::LoginFields lf;
    lf.packet_size = packet_size;
    testing::Framed f;
    if (!send(packet_type::kPrelogin, testing::prelogin(0)) || !read_message(f)) return false;
    const auto t = request(packet_type::kLogin7, testing::login7(lf));
    return !t.empty() && t.back().type == 0xFD && t.back().status == 0;
  }
  // True when the server closed the connection (EOF or reset) with no further data than what
  // is already buffered being a complete message.
  bool closed_by_server() {
    for (;;) {
      if (!fill()) return eof_;
    }
  }
  std::size_t buffered() const { return buffer_.size(); }
  std::size_t last_largest_packet = 0;

 private:
  bool fill() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kTimeout).count())) <= 0) {
      return false;
    }
    std::uint8_t buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.insert(buffer_.end(), buf, buf + n);
    return true;
  }
  // Whether buffer_ starts with one complete message; sets consumed_.
  bool complete(std::vector<testing::Framed>& out) {
    std::size_t pos = 0;
    while (pos + 8 <= buffer_.size()) {
      const std::size_t len = (buffer_[pos + 2] << 8) | buffer_[pos + 3];
      if (len < 8 || pos + len > buffer_.size()) return false;
      const bool eom = buffer_[pos + 1] & 1;
      pos += len;
      if (eom) {
        consumed_ = pos;
        return testing::unframe(
                   Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos)),
                   out) &&
               !out.empty();
      }
    }
    return false;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool eof_ = false;
  Bytes buffer_;
  std::size_t consumed_ = 0;
};

bool wait_for(const std::function<bool()>& cond) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return cond();
}

class TdsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_.on_batch = [](const std::u16string& sql) {
      StatementResult r;
      if (sql.rfind(u"rows ", 0) == 0) {
        ResultSet rs;
        rs.columns = {{u"id", SqlType::Int, 0, 0, 0, false},
                      {u"t", SqlType::NVarChar, 100, 0, 0, true}};
        const int n = std::stoi(std::string(sql.begin() + 5, sql.end()));
        for (int i = 0; i < n; ++i) {
          rs.rows.push_back(
              {SqlValue::int32(i), SqlValue::nvarchar(u"row text for padding .....")});
        }
        r.result_sets.push_back(std::move(rs));
      } else if (sql == u"drop") {
        r.drop_connection = true;
      }
      return std::vector<StatementResult>{r};
    };
    server_ = std::make_unique<TdsServer>(backend_, "127.0.0.1", 0);
    server_->set_max_message_bytes(64 * 1024);
    server_->start();
    ASSERT_NE(server_->port(), 0);
  }
  void TearDown() override { server_->stop(); }

  // A fresh client can log in and run a batch: the server is still healthy.
  void expect_serving() {
    Client c(server_->port());
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.login());
    const auto t = c.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 3"));
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t.back().rows, 3u);
  }

  FakeBackend backend_;
  std::unique_ptr<TdsServer> server_;
};

TEST_F(TdsServerTest, NegotiatedPacketSizeAndMultiPacketRequests) {
  Client c(server_->port());
  ASSERT_TRUE(c.login(512));
  const auto t = c.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 500"));
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back().rows, 500u);
  EXPECT_EQ(c.last_largest_packet, 512u);

  // A 20 000-character batch in 512-byte packets arrives whole.
  const std::u16string sql(20000, u'q');
  testing::Framed f;
  ASSERT_TRUE(c.send(packet_type::kSqlBatch, testing::sql_batch(sql), 512));
  ASSERT_TRUE(c.read_message(f));
  EXPECT_EQ(backend_.calls().back().text, sql);
  EXPECT_EQ(server_->open_connections(), 1u);
}

TEST_F(TdsServerTest, AttentionAfterACompleteResponseGetsOneAck) {
  Client c(server_->port());
  ASSERT_TRUE(c.login());
  ASSERT_FALSE(c.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 2")).empty());
  const auto ack = c.request(packet_type::kAttention, {});
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_EQ(ack[0].status, 0x20);
  // The next answer is the next request's, not a second acknowledgement.
  const auto t = c.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 1"));
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t.back().rows, 1u);
  EXPECT_EQ(c.buffered(), 0u);
}

TEST_F(TdsServerTest, MisbehavingClientsAreClosedAndOthersKeepWorking) {
  Client keeper(server_->port());
  ASSERT_TRUE(keeper.login());

  {  // garbage
    Client c(server_->port());
    std::mt19937 rng(7);
    Bytes junk(3000);
    for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
    junk[0] = 0x47;  // not a client packet type
    c.send_raw(junk);
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // truncated header, then the client goes away
    Client c(server_->port());
    c.send_raw({0x12, 0x01, 0x00});
    ::shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // length field shorter than a header
    Client c(server_->port());
    c.send_raw({0x12, 0x01, 0x00, 0x04, 0, 0, 1, 0});
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // length field promises more than is sent
    Client c(server_->port());
    c.send_raw({0x12, 0x01, 0x01, 0x00, 0, 0, 1, 0, 1, 2, 3});
    ::shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // a garbage PRELOGIN body
    Client c(server_->port());
    c.send(packet_type::kPrelogin, {0x01, 0x99, 0x99, 0x00, 0x01});
    testing::Framed f;
    ASSERT_TRUE(c.read_message(f));
    std::vector<Token> t;
    ASSERT_TRUE(testing::walk_tokens(f.payload, t));
    EXPECT_EQ(t.front().type, 0xAA);
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // a message over the bound (64 KiB here): ERROR, then closed
    Client c(server_->port());
    ASSERT_TRUE(c.login());
    Bytes big = testing::sql_batch(std::u16string(40000, u'x'));
    c.send(packet_type::kSqlBatch, big);
    testing::Framed f;
    ASSERT_TRUE(c.read_message(f));
    std::vector<Token> t;
    ASSERT_TRUE(testing::walk_tokens(f.payload, t));
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0].number, 4002);
    EXPECT_TRUE(c.closed_by_server());
  }
  {  // an undecodable RPC: ERROR, and the connection stays usable
    Client c(server_->port());
    ASSERT_TRUE(c.login());
    const auto t = c.request(packet_type::kRpc, {1, 2, 3});
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].type, 0xAA);
    EXPECT_EQ(c.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 1")).size(), 3u);
  }
  {  // fault injection: dropped without an answer
    Client c(server_->port());
    ASSERT_TRUE(c.login());
    c.send(packet_type::kSqlBatch, testing::sql_batch(u"drop"));
    EXPECT_TRUE(c.closed_by_server());
    EXPECT_EQ(c.buffered(), 0u);
  }
  EXPECT_EQ(keeper.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 4")).back().rows, 4u);
  expect_serving();
  EXPECT_TRUE(wait_for([&] { return server_->open_connections() == 1; }));
  EXPECT_GE(server_->total_connections(), 10u);
}

TEST_F(TdsServerTest, ClientVanishingMidResponseEndsOnlyItsConnection) {
  for (int i = 0; i < 3; ++i) {
    Client c(server_->port());
    ASSERT_TRUE(c.login());
    // About 10 MB of rows; read a little, then reset the connection.
    c.send(packet_type::kSqlBatch, testing::sql_batch(u"rows 150000"));
    std::uint8_t buf[1024];
    ASSERT_GT(::recv(c.fd(), buf, sizeof buf, 0), 0);
    linger l{1, 0};
    ::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  EXPECT_TRUE(wait_for([&] { return server_->open_connections() == 0; }));
  expect_serving();
}

TEST_F(TdsServerTest, ManyConcurrentClients) {
  constexpr int kClients = 16;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      Client c(server_->port());
      if (!c.login()) return;
      for (int k = 0; k < 20; ++k) {
        const auto t =
            c.request(packet_type::kSqlBatch,
                      testing::sql_batch(u"rows " + testing::ascii_u16(std::to_string(i + k))));
        if (t.empty() || t.back().rows != static_cast<std::uint64_t>(i + k)) return;
      }
      ++ok;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), kClients);
}

// Limits: a connection that never logs in, or idles after login, is closed by its deadline; at
// the cap a connection that has not logged in makes room, and with every slot logged in a new
// connection is closed at once. Logged-in clients are never disturbed by any of it.
TEST(TdsServerLimits, DeadlinesAndCapKeepSlotsForClientsThatLogIn) {
  FakeBackend backend;
  TdsServer server(backend, "127.0.0.1", 0);
  TdsLimits limits;
  limits.max_connections = 3;
  limits.login_timeout = 300ms;
  limits.idle_timeout = 400ms;
  limits.message_timeout = 300ms;
  server.set_limits(limits);
  server.start();

  {  // never speaks, then speaks half a packet: closed by the login deadline either way
    Client silent(server.port());
    Client half(server.port());
    ASSERT_TRUE(half.send_raw({0x12, 0x01, 0x00}));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.closed_by_server());
    EXPECT_TRUE(half.closed_by_server());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  }
  {  // logged in and idle past the idle deadline: closed; a busy one is not
    Client idle(server.port());
    Client busy(server.port());
    ASSERT_TRUE(idle.login());
    ASSERT_TRUE(busy.login());
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(100ms);
      ASSERT_EQ(busy.request(packet_type::kSqlBatch, testing::sql_batch(u"x")).size(), 1u);
    }
    EXPECT_TRUE(idle.closed_by_server());
  }
  ASSERT_TRUE(wait_for([&] { return server.open_connections() == 0; }));
  {  // at the cap: the connection not logged in gives way to a new one
    Client a(server.port());
    Client b(server.port());
    ASSERT_TRUE(a.login());
    ASSERT_TRUE(b.login());
    Client silent(server.port());
    ASSERT_TRUE(wait_for([&] { return server.open_connections() == 3; }));
    Client newcomer(server.port());
    ASSERT_TRUE(newcomer.login());
    EXPECT_TRUE(silent.closed_by_server());
    EXPECT_EQ(server.evicted_connections(), 1u);
    // Every slot logged in: the next one is closed at once, and nobody else is touched.
    Client refused(server.port());
    EXPECT_TRUE(refused.closed_by_server());
    EXPECT_EQ(server.refused_connections(), 1u);
    for (Client* c : {&a, &b, &newcomer}) {
      EXPECT_EQ(c->request(packet_type::kSqlBatch, testing::sql_batch(u"x")).size(), 1u);
    }
  }
}

// Whether the server sent nothing (and did not close) on `c` for `wait`.
bool silent_for(const Client& c, std::chrono::milliseconds wait) {
  pollfd p{c.fd(), POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(wait.count())) == 0;
}

// The controls tests of clients use: every connection closed at once (a restart as clients see
// it), a hung server (the black hole) and one that closes each new connection.
TEST_F(TdsServerTest, ClosingEveryConnectionTheBlackHoleAndClosingNewConnections) {
  {
    Client a(server_->port()), b(server_->port());
    ASSERT_TRUE(a.login());
    ASSERT_TRUE(b.login());
    EXPECT_EQ(server_->close_connections(), 2u);
    EXPECT_TRUE(a.closed_by_server());
    EXPECT_TRUE(b.closed_by_server());
    expect_serving();
  }
  {
    Client old(server_->port());
    ASSERT_TRUE(old.login());
    server_->set_mode(TdsMode::blackhole);
    ASSERT_TRUE(old.send(packet_type::kSqlBatch, testing::sql_batch(u"rows 1")));
    Client fresh(server_->port());
    ASSERT_TRUE(fresh.connected());
    ASSERT_TRUE(fresh.send(packet_type::kPrelogin, testing::prelogin(0)));
    EXPECT_TRUE(silent_for(old, 300ms));
    EXPECT_TRUE(silent_for(fresh, 300ms));
    EXPECT_EQ(server_->open_connections(), 2u) << "held open, not closed";
    server_->set_mode(TdsMode::up);
    EXPECT_TRUE(old.closed_by_server());
    EXPECT_TRUE(fresh.closed_by_server());
    expect_serving();
  }
  {
    Client old(server_->port());
    ASSERT_TRUE(old.login());
    server_->set_mode(TdsMode::close_new);
    const auto accepted = server_->total_connections();
    Client refused(server_->port());
    EXPECT_TRUE(refused.closed_by_server());
    EXPECT_EQ(server_->total_connections(), accepted + 1) << "counted as accepted";
    EXPECT_EQ(old.request(packet_type::kSqlBatch, testing::sql_batch(u"rows 1")).size(), 3u);
    server_->set_mode(TdsMode::up);
    expect_serving();
  }
  EXPECT_EQ(parse_tds_mode("close-new"), TdsMode::close_new);
  EXPECT_EQ(tds_mode_name(TdsMode::blackhole), "blackhole");
  EXPECT_FALSE(parse_tds_mode("down"));
}

TEST(TdsServerLifecycle, StopEndsIdleConnectionsAndPortZeroIsEphemeral) {
  FakeBackend backend;
  TdsServer a(backend, "127.0.0.1", 0);
  a.start();
  TdsServer b(backend, "127.0.0.1", 0);
  b.start();
  EXPECT_NE(a.port(), b.port());
  // The port is taken: a second server on it fails to start.
  TdsServer clash(backend, "127.0.0.1", a.port());
  EXPECT_THROW(clash.start(), std::runtime_error);

  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<Client>(a.port()));
    ASSERT_TRUE(clients.back()->login());
  }
  Client half(a.port());  // connected, never speaks
  ASSERT_TRUE(wait_for([&] { return a.open_connections() == 6; }));
  a.stop();
  EXPECT_EQ(a.open_connections(), 0u);
  for (auto& c : clients) EXPECT_TRUE(c->closed_by_server());
  Client late(a.port());
  EXPECT_FALSE(late.connected());
  a.stop();  // idempotent
}

}  // namespace
}  // namespace sandbox::tds
