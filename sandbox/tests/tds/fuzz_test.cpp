// Mutated valid messages, from a fixed seed, through the packet reader and the connection's
// request handling. Nothing may crash or throw, and every answer must be a well-formed token
// stream (the backend echoes decoded parameters back, so odd values reach the encoder too).
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fake_backend.h"
#include "tds/connection.h"
#include "tds/packet.h"
#include "tds_test_util.h"

namespace sandbox::tds {
namespace {

using testing::Bytes;
using testing::cat;
using testing::hex;
using testing::kColl;
using testing::ucs2_bytes;

constexpr int kIterations = 20000;

std::vector<Bytes> rpc_corpus() {
  std::vector<Bytes> out;
  testing::RpcBuilder a;
  a.call(u"dbo.sp_x")
      .param(u"@i", 0, hex({0x26, 4, 4, 1, 2, 3, 4}))
      .param(u"@m", 1, hex({0x6E, 8, 8, 0, 0, 0, 0, 0x40, 0xE2, 1, 0}))
      .p(hex({0x6A, 9, 10, 2, 9, 0, 0x39, 0x30, 0, 0, 0, 0, 0, 0}))
      .p(hex({0x6F, 8, 8, 0x25, 0xB1, 0, 0, 0x1D, 0xBB, 0xE2, 0}))
      .p(hex({0x2A, 7, 8, 0x87, 0x0F, 0x41, 0x52, 0x73, 0x80, 0x46, 0x0B}))
      .p(hex({0x6D, 8, 8, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}))
      .p(hex({0x68, 1, 1, 1}))
      .p(cat({hex({0xA7, 50, 0}), kColl, hex({4, 0, 0xB0, 0xA1, 0xB3, 0xAA})}))
      .p(cat({hex({0xE7, 50, 0}), kColl, hex({4, 0}), ucs2_bytes(u"hi")}));
  out.push_back(a.bytes());
  testing::RpcBuilder b;
  b.call_id(10)
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({6, 0, 0, 0}), ucs2_bytes(u"sel")}))
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({4, 0, 0, 0}), ucs2_bytes(u"@P")}))
      .p(cat({hex({0xE7, 0xFF, 0xFF}), kColl,
              hex({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0}), ucs2_bytes(u"ab"),
              hex({0, 0, 0, 0})}))
      .p(cat({hex({0x23, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({1, 0, 0, 0, 'z'})}));
  b.call(u"f").p(hex({0x7F, 1, 2, 3, 4, 5, 6, 7, 8})).p(hex({0xA5, 4, 0, 2, 0, 0xFF, 0x00}));
  out.push_back(b.bytes());
  return out;
}

void mutate(Bytes& m, std::mt19937& rng) {
  auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
  const int ops = 1 + static_cast<int>(rng() % 4);
  for (int k = 0; k < ops; ++k) {
    switch (rng() % 6) {
      case 0:
        if (!m.empty()) m[pick(m.size())] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        break;
      case 1: {
        static const std::uint8_t interesting[] = {0x00, 0xFF, 0x7F, 0x80, 0xFE, 0x01, 0x10};
        if (!m.empty()) m[pick(m.size())] = interesting[rng() % std::size(interesting)];
        break;
      }
      case 2: {
        const std::size_t at = pick(m.size() + 1);
        const std::size_t n = 1 + pick(8);
        for (std::size_t i = 0; i < n; ++i) {
          m.insert(m.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng()));
        }
        break;
      }
      case 3:
        if (!m.empty()) {
          const std::size_t at = pick(m.size());
          const std::size_t n = std::min(m.size() - at, 1 + pick(16));
          m.erase(m.begin() + static_cast<std::ptrdiff_t>(at),
                  m.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        break;
      case 4:
        m.resize(pick(m.size() + 1));
        break;
      default:
        if (m.size() >= 2) {
          const std::size_t at = pick(m.size() - 1);
          const std::uint16_t v = static_cast<std::uint16_t>(rng());
          m[at] = static_cast<std::uint8_t>(v);
          m[at + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        break;
    }
  }
}

void install_echo(testing::FakeBackend& backend) {
  // Echo the parameters as one row of (max) / typed columns, and the first as a function value.
  backend.on_rpc = [](const std::u16string&, const std::vector<RpcParam>& params) {
    StatementResult r;
    ResultSet rs;
    Row row;
    for (const RpcParam& p : params) {
      rs.columns.push_back({p.name, p.value.type, 0, p.value.precision, p.value.scale, true});
      row.push_back(p.value);
    }
    rs.rows.push_back(row);
    r.result_sets.push_back(rs);
    r.return_status = 0;
    if (!params.empty()) r.function_value = params[0].value;
    return r;
  };
}

class VectorSource : public ByteSource {
 public:
  explicit VectorSource(const Bytes& b) : data_(b) {}
  bool read_exact(std::span<std::uint8_t> out) override {
    if (data_.size() - pos_ < out.size()) return false;
    if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
    pos_ += out.size();
    return true;
  }

 private:
  const Bytes& data_;
  std::size_t pos_ = 0;
};

TEST(TdsFuzz, MutatedRequestsNeverBreakTheConnectionLogic) {
  testing::FakeBackend backend;
  install_echo(backend);
  const Bytes login = testing::login7(testing::LoginFields{});
  const std::vector<Bytes> rpcs = rpc_corpus();
  const Bytes batch = testing::sql_batch(u"SELECT 1");
  std::mt19937 rng(20240229);

  auto session = backend.open_session();
  auto fresh = [&] {
    auto c = std::make_unique<Connection>(*session);
    c->handle({packet_type::kLogin7, login});
    return c;
  };
  auto conn = fresh();
  int answered = 0;
  for (int i = 0; i < kIterations; ++i) {
    Message m;
    const int kind = static_cast<int>(rng() % 10);
    std::unique_ptr<Connection> pre;
    Connection* target = conn.get();
    if (kind == 0 || kind == 1) {
      pre = std::make_unique<Connection>(*session);
      target = pre.get();
      m.type = kind == 0 ? packet_type::kPrelogin : packet_type::kLogin7;
      m.payload = kind == 0 ? testing::prelogin(0) : login;
    } else if (kind == 2) {
      m = {packet_type::kSqlBatch, batch};
    } else {
      m = {packet_type::kRpc, rpcs[rng() % rpcs.size()]};
    }
    mutate(m.payload, rng);
    Reply r;
    ASSERT_NO_THROW(r = target->handle(m)) << "iteration " << i;
    if (!r.payload.empty()) {
      std::vector<testing::Token> t;
      ASSERT_TRUE(kind == 0 || testing::walk_tokens(r.payload, t)) << "iteration " << i;
      ++answered;
    }
    if (r.close && target == conn.get()) conn = fresh();
  }
  EXPECT_GT(answered, kIterations / 2);
}

TEST(TdsFuzz, MutatedPacketStreamsNeverBreakTheReader) {
  std::mt19937 rng(77);
  const std::vector<Bytes> rpcs = rpc_corpus();
  for (int i = 0; i < kIterations / 4; ++i) {
    std::uint8_t id = 1;
    Bytes stream = frame_message(packet_type::kRpc, rpcs[rng() % rpcs.size()], 512, 1, id);
    const Bytes second = frame_message(packet_type::kAttention, {}, 512, 1, id);
    stream.insert(stream.end(), second.begin(), second.end());
    mutate(stream, rng);
    VectorSource src(stream);
    MessageReader reader(src, 4096);
    Message m;
    for (int k = 0; k < 100; ++k) {
      const ReadResult r = reader.read(m);
      if (r != ReadResult::kMessage) break;
      ASSERT_LE(m.payload.size(), 4096u);
    }
  }
}

}  // namespace
}  // namespace sandbox::tds
