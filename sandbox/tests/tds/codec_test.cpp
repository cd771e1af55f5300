// The TDS codec without sockets: framing, PRELOGIN/LOGIN7, request decoding, response encoding
// and the per-connection protocol flow, against a fake Session.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include <cstring>

#include "fake_backend.h"
#include "tds/connection.h"
#include "tds/cp949.h"
#include "tds/datetime.h"
#include "tds/login.h"
#include "tds/packet.h"
#include "tds/request_decoder.h"
#include "tds/response_encoder.h"
#include "tds_test_util.h"

namespace sandbox::tds {
namespace {

using testing::Bytes;
using testing::cat;
using testing::FakeBackend;
using testing::hex;
using testing::RpcBuilder;
using testing::Token;
using testing::ucs2_bytes;

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(Bytes b) : data_(std::move(b)) {}
  bool read_exact(std::span<std::uint8_t> out) override {
    if (data_.size() - pos_ < out.size()) return false;
    if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
    pos_ += out.size();
    return true;
  }

 private:
  Bytes data_;
  std::size_t pos_ = 0;
};

std::vector<Token> tokens(const Bytes& payload) {
  std::vector<Token> t;
  EXPECT_TRUE(testing::walk_tokens(payload, t));
  return t;
}

std::vector<std::uint8_t> types_of(const std::vector<Token>& t) {
  std::vector<std::uint8_t> out;
  for (const Token& x : t) out.push_back(x.type);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Packets

TEST(TdsPackets, SplitsAtPacketSizeAndReassembles) {
  Bytes payload(10000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t id = 250;
  const Bytes stream = frame_message(packet_type::kRpc, payload, 512, 55, id);
  std::vector<testing::Framed> framed;
  ASSERT_TRUE(testing::unframe(stream, framed));
  ASSERT_EQ(framed.size(), 1u);
  EXPECT_EQ(framed[0].payload, payload);
  EXPECT_EQ(framed[0].packets, (10000 + 503) / 504);
  EXPECT_LE(framed[0].largest_packet, 512u);
  EXPECT_EQ(id, static_cast<std::uint8_t>(250 + framed[0].packets));  // wraps past 255
  EXPECT_EQ(stream[5], 55);                                           // SPID low byte
  EXPECT_EQ(stream[1], 0);                                            // not the last packet

  MemorySource src(stream);
  MessageReader reader(src);
  Message m;
  ASSERT_EQ(reader.read(m), ReadResult::kMessage);
  EXPECT_EQ(m.type, packet_type::kRpc);
  EXPECT_EQ(m.payload, payload);
  EXPECT_EQ(reader.read(m), ReadResult::kClosed);

  std::uint8_t id2 = 1;
  const Bytes empty = frame_message(packet_type::kTabularResult, {}, 4096, 1, id2);
  EXPECT_EQ(empty, hex({4, 1, 0, 8, 0, 1, 1, 0}));
}

TEST(TdsPackets, ReaderRejectsBadStreams) {
  auto read = [](Bytes stream, std::size_t max = kDefaultMaxMessageBytes) {
    MemorySource src(std::move(stream));
    MessageReader reader(src, max);
    Message m;
    return reader.read(m);
  };
  EXPECT_EQ(read(hex({1, 1, 0, 7, 0, 0, 1, 0})), ReadResult::kBadPacket);  // length < header
  EXPECT_EQ(read(hex({1, 1, 0, 20, 0, 0, 1, 0, 'a'})), ReadResult::kTruncated);
  // Second packet of a message with another type.
  EXPECT_EQ(read(hex({1, 0, 0, 9, 0, 0, 1, 0, 'a', 3, 1, 0, 9, 0, 0, 2, 0, 'b'})),
            ReadResult::kBadPacket);
  Bytes big(300, 'x');
  std::uint8_t id = 0;
  EXPECT_EQ(read(frame_message(1, big, 512, 1, id), 300), ReadResult::kMessage);
  EXPECT_EQ(read(frame_message(1, big, 512, 1, id), 299), ReadResult::kTooLarge);
  // Three packets of 100 bytes against a bound of 250: refused at the third.
  Bytes small_packets;
  for (int i = 0; i < 3; ++i) {
    Bytes p = hex({1, i == 2 ? 1 : 0, 0, 108, 0, 0, i, 0});
    p.resize(108, 'x');
    small_packets.insert(small_packets.end(), p.begin(), p.end());
  }
  EXPECT_EQ(read(small_packets, 250), ReadResult::kTooLarge);
}

TEST(TdsPackets, AttentionInsideAMessageAbandonsIt) {
  Bytes stream = hex({1, 0, 0, 10, 0, 0, 1, 0, 'a', 0});  // first packet, no EOM
  const Bytes attn = hex({6, 1, 0, 8, 0, 0, 1, 0});
  stream.insert(stream.end(), attn.begin(), attn.end());
  const Bytes next = hex({1, 1, 0, 10, 0, 0, 1, 0, 'b', 0});
  stream.insert(stream.end(), next.begin(), next.end());
  MemorySource src(stream);
  MessageReader reader(src);
  Message m;
  ASSERT_EQ(reader.read(m), ReadResult::kMessage);
  EXPECT_EQ(m.type, packet_type::kAttention);
  ASSERT_EQ(reader.read(m), ReadResult::kMessage);
  EXPECT_EQ(m.payload, hex({'b', 0}));
}

// ---------------------------------------------------------------------------------------------
// PRELOGIN and LOGIN7

TEST(TdsLogin, PreloginReplyOptions) {
  const Bytes reply = build_prelogin_reply();
  WireReader r(reply);
  std::map<int, Bytes> options;
  for (;;) {
    const std::uint8_t tok = r.u8();
    if (tok == 0xFF) break;
    const std::uint16_t off = r.u16be();
    const std::uint16_t len = r.u16be();
    ASSERT_LE(off + len, reply.size());
    options[tok] = Bytes(reply.begin() + off, reply.begin() + off + len);
  }
  ASSERT_EQ(options.size(), 5u);
  EXPECT_EQ(options[0].size(), 6u);
  EXPECT_GE(options[0][0], 7);         // major version
  EXPECT_EQ(options[1], hex({0x02}));  // encryption not supported
  EXPECT_EQ(options[2], hex({0x00}));  // INSTOPT
  EXPECT_TRUE(options[3].empty());     // THREADID
  EXPECT_EQ(options[4], hex({0x00}));  // MARS off

  EXPECT_EQ(parse_prelogin(testing::prelogin(0x01)).encryption, 0x01);
  EXPECT_THROW(parse_prelogin(hex({0x01, 0x00, 0x40, 0x00, 0x01, 0xFF})), ProtocolError);
  EXPECT_THROW(parse_prelogin(hex({0x01, 0x00, 0x06})), ProtocolError);
}

TEST(TdsLogin, ParsesLogin7AndUnscramblesThePassword) {
  testing::LoginFields f;
  f.user = u"sms_app";
  f.password = u"t\u00E4vik\uD55C2024!";
  f.database = u"sms";
  f.app = u"TavikApp";
  f.packet_size = 8192;
  const Login7 l = parse_login7(testing::login7(f));
  EXPECT_EQ(l.tds_version, 0x74000004u);
  EXPECT_EQ(l.packet_size, 8192u);
  EXPECT_EQ(l.request.user, u"sms_app");
  EXPECT_EQ(l.request.password, f.password);
  EXPECT_EQ(l.request.database, u"sms");
  EXPECT_EQ(l.request.app_name, u"TavikApp");
  EXPECT_EQ(l.request.host_name, u"client-host");

  // The documented example: 'a' (0x61 0x00) scrambles to 0xB3 0xA5.
  EXPECT_EQ(unscramble_password(hex({0xB3, 0xA5})), u"a");

  Bytes bad = testing::login7(f);
  bad[40] = 0xF0;  // user name offset far outside the message
  bad[41] = 0xFF;
  EXPECT_THROW(parse_login7(bad), ProtocolError);
  EXPECT_THROW(parse_login7(Bytes(bad.begin(), bad.begin() + 50)), ProtocolError);
}

Reply login_through(Connection& c, const testing::LoginFields& f) {
  Reply pre = c.handle({packet_type::kPrelogin, testing::prelogin(0x02)});
  EXPECT_FALSE(pre.close);
  return c.handle({packet_type::kLogin7, testing::login7(f)});
}

TEST(TdsLogin, SuccessfulLoginReply) {
  FakeBackend backend;
  auto session = backend.open_session();
  Connection c(*session);
  testing::LoginFields f;
  f.packet_size = 8192;
  const Reply r = login_through(c, f);
  ASSERT_FALSE(r.close);
  EXPECT_TRUE(c.logged_in());
  EXPECT_EQ(c.packet_size(), 8192u);
  const auto t = tokens(r.payload);
  ASSERT_EQ(types_of(t), hex({0xE3, 0xAB, 0xE3, 0xE3, 0xAB, 0xAD, 0xE3, 0xFD}));
  EXPECT_EQ(t[0].env_type, 1);
  EXPECT_EQ(t[0].text, u"sms");
  EXPECT_EQ(t[1].number, 5701);
  EXPECT_EQ(t[1].text, u"Changed database context to 'sms'.");
  EXPECT_EQ(t[2].env_type, 7);
  EXPECT_EQ(t[2].body, hex({0x08, 0x00, 0x07, 0x05, 0x12, 0x04, 0xD0, 0x00, 0x00, 0x00}));
  EXPECT_EQ(t[3].text, u"us_english");
  EXPECT_EQ(t[4].number, 5703);
  // LOGINACK: interface 1, TDS 7.4, then the program name.
  EXPECT_EQ(Bytes(t[5].body.begin() + 2, t[5].body.begin() + 7), hex({1, 0x74, 0, 0, 4}));
  EXPECT_EQ(t[6].env_type, 4);
  EXPECT_EQ(t[6].text, u"8192");
  EXPECT_EQ(t[7].status, 0);

  // A second LOGIN7 on a logged-in connection is a protocol violation.
  EXPECT_TRUE(c.handle({packet_type::kLogin7, testing::login7(f)}).close);
}

TEST(TdsLogin, RefusedLoginAndRequestsBeforeLogin) {
  FakeBackend backend;
  {
    auto session = backend.open_session();
    Connection c(*session);
    testing::LoginFields f;
    f.user = u"x";
    const Reply r = login_through(c, f);
    EXPECT_TRUE(r.close);
    const auto t = tokens(r.payload);
    ASSERT_EQ(types_of(t), hex({0xAA, 0xFD}));
    EXPECT_EQ(t[0].number, 18456);
    EXPECT_EQ(t[0].text, u"Login failed for user 'x'.");
    EXPECT_EQ(t[1].status, done::kError);
  }
  {
    auto session = backend.open_session();
    Connection c(*session);
    const Reply r = c.handle({packet_type::kSqlBatch, testing::sql_batch(u"select 1")});
    EXPECT_TRUE(r.close);
    EXPECT_TRUE(r.payload.empty());
    EXPECT_TRUE(backend.calls().empty());
  }
  {
    auto session = backend.open_session();
    Connection c(*session);
    const Reply r = c.handle({packet_type::kPrelogin, testing::prelogin(encryption::kRequired)});
    EXPECT_TRUE(r.close);
  }
}

// ---------------------------------------------------------------------------------------------
// Requests

const Bytes kColl = testing::kColl;

std::vector<RpcParam> decode_params(const Bytes& payload) {
  const auto calls = decode_rpc(payload);
  EXPECT_EQ(calls.size(), 1u);
  return calls.empty() ? std::vector<RpcParam>{} : calls[0].params;
}

TEST(TdsRequests, DecodesIntegerBitMoneyAndDecimalParameters) {
  RpcBuilder b;
  b.call(u"dbo.p")
      .param(u"@a", 0, hex({0x26, 4, 4, 0xD6, 0xFF, 0xFF, 0xFF}))           // intn -42
      .param(u"@b", 1, hex({0x26, 8, 8, 0, 0x1A, 0x71, 0x18, 2, 0, 0, 0}))  // intn 9e9, output
      .p(hex({0x26, 1, 1, 200}))                                            // tinyint 200
      .p(hex({0x26, 2, 2, 0xFE, 0xFF}))                                     // smallint -2
      .p(hex({0x26, 4, 0}))                                                 // null int
      .p(hex({0x30, 7}))
      .p(hex({0x34, 0x00, 0x80}))  // int2 -32768
      .p(hex({0x38, 1, 0, 0, 0}))
      .p(hex({0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))  // int8 -1
      .p(hex({0x32, 1}))
      .p(hex({0x68, 1, 1, 0}))
      .p(hex({0x68, 1, 0}))
      .p(hex({0x6E, 8, 8, 0, 0, 0, 0, 0x40, 0xE2, 1, 0}))                    // money 12.3456
      .p(hex({0x6E, 8, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}))  // money -0.0001
      .p(hex({0x6E, 4, 4, 0x10, 0x27, 0, 0}))                                // smallmoney 1
      .p(hex({0x6A, 9, 10, 2, 9, 0, 0x39, 0x30, 0, 0, 0, 0, 0, 0}))          // -123.45
      .p(hex({0x6C, 17, 33, 2, 15, 1, 0x45, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))     // 3.25
      .p(hex({0x6A, 17, 38, 0, 17, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}))  // 2^64
      ;
  // The last decimal does not fit 64 bits: the whole request is refused.
  try {
    decode_rpc(b.bytes());
    FAIL() << "expected overflow";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.number(), 8115);
  }
  Bytes ok = b.bytes();
  ok.resize(ok.size() - 24);  // drop the overflowing parameter
  const auto p = decode_params(ok);
  ASSERT_EQ(p.size(), 17u);
  EXPECT_EQ(p[0].name, u"@a");
  EXPECT_FALSE(p[0].output);
  EXPECT_EQ(p[0].value.type, SqlType::Int);
  EXPECT_EQ(p[0].value.i, -42);
  EXPECT_TRUE(p[1].output);
  EXPECT_EQ(p[1].value.type, SqlType::BigInt);
  EXPECT_EQ(p[1].value.i, 9000000000LL);
  EXPECT_EQ(p[2].value.i, 200);
  EXPECT_EQ(p[3].value.i, -2);
  EXPECT_TRUE(p[4].value.is_null);
  EXPECT_EQ(p[4].value.type, SqlType::Int);
  EXPECT_EQ(p[5].value.i, 7);
  EXPECT_EQ(p[6].value.i, -32768);
  EXPECT_EQ(p[7].value.i, 1);
  EXPECT_EQ(p[8].value.type, SqlType::BigInt);
  EXPECT_EQ(p[8].value.i, -1);
  EXPECT_EQ(p[9].value.type, SqlType::Bit);
  EXPECT_EQ(p[9].value.i, 1);
  EXPECT_EQ(p[10].value.i, 0);
  EXPECT_FALSE(p[10].value.is_null);
  EXPECT_TRUE(p[11].value.is_null);
  EXPECT_EQ(p[12].value.type, SqlType::Money);
  EXPECT_EQ(p[12].value.i, 123456);
  EXPECT_EQ(p[13].value.i, -1);
  EXPECT_EQ(p[14].value.i, 10000);
  EXPECT_EQ(p[15].value.type, SqlType::Decimal);
  EXPECT_EQ(p[15].value.i, -12345);
  EXPECT_EQ(p[15].value.precision, 10);
  EXPECT_EQ(p[15].value.scale, 2);
  EXPECT_EQ(p[16].value.i, 325);
  EXPECT_EQ(p[16].value.scale, 2);
}

TEST(TdsRequests, DecodesFloatAndDateTimeParameters) {
  double d = -1.25;
  std::uint64_t bits;
  std::memcpy(&bits, &d, 8);
  Bytes fl = hex({0x6D, 8, 8});
  for (int i = 0; i < 8; ++i) fl.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  RpcBuilder b;
  b.call(u"p")
      .p(fl)
      .p(hex({0x6D, 8, 0}))
      // datetime 2024-02-29 13:45:30.123: day 45349, tick 14859037
      .p(hex({0x6F, 8, 8, 0x25, 0xB1, 0, 0, 0x1D, 0xBB, 0xE2, 0}))
      .p(hex({0x6F, 8, 0}))
      // smalldatetime 2024-02-29 13:45
      .p(hex({0x6F, 4, 4, 0x25, 0xB1, 0x39, 0x03}))
      // datetime2(7) 2024-02-29 13:45:30.1234567: 495301234567 units, day 738944
      .p(hex({0x2A, 7, 8, 0x87, 0x0F, 0x41, 0x52, 0x73, 0x80, 0x46, 0x0B}))
      // date 2024-02-29
      .p(hex({0x28, 3, 0x80, 0x46, 0x0B}));
  const auto p = decode_params(b.bytes());
  ASSERT_EQ(p.size(), 7u);
  EXPECT_EQ(p[0].value.type, SqlType::Decimal);
  EXPECT_EQ(p[0].value.i, -125);
  EXPECT_EQ(p[0].value.scale, 2);
  EXPECT_TRUE(p[1].value.is_null);
  const std::int64_t day = 1709164800000LL;  // 2024-02-29 00:00
  EXPECT_EQ(p[2].value.type, SqlType::DateTime);
  EXPECT_EQ(p[2].value.i, day + 49530123);
  EXPECT_TRUE(p[3].value.is_null);
  EXPECT_EQ(p[4].value.i, day + (13 * 60 + 45) * 60000LL);
  EXPECT_EQ(p[5].value.i, day + 49530123);
  EXPECT_EQ(p[6].value.i, day);
}

TEST(TdsRequests, DecodesTextParametersIncludingPlp) {
  const Bytes ga_na = hex({0xB0, 0xA1, 0xB3, 0xAA});  // "가나" in CP949
  const Bytes han = ucs2_bytes(u"\uD55C\uAE00 ok");
  RpcBuilder b;
  b.call(u"p")
      .p(cat({hex({0xA7, 50, 0}), kColl, hex({4, 0}), ga_na}))
      .p(cat({hex({0xAF, 4, 0}), kColl, hex({4, 0}), ga_na}))
      .p(cat({hex({0xA7, 50, 0}), kColl, hex({0xFF, 0xFF})}))  // NULL varchar
      .p(cat({hex({0xE7, 100, 0}), kColl, hex({static_cast<int>(han.size()), 0}), han}))
      .p(cat({hex({0xEF, 100, 0}), kColl, hex({0, 0})}))  // empty nchar
      .p(cat({hex({0xA5, 10, 0, 3, 0, 'a', 0xFF, 0})}))
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl,
              hex({static_cast<int>(han.size()), 0, 0, 0}), han}))
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({0xFF, 0xFF, 0xFF, 0xFF})}))
      .p(cat({hex({0x23, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({4, 0, 0, 0}), ga_na}))
      // nvarchar(max), unknown total length, two chunks.
      .p(cat({hex({0xE7, 0xFF, 0xFF}), kColl,
              hex({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0}), ucs2_bytes(u"ab"),
              hex({2, 0, 0, 0}), ucs2_bytes(u"c"), hex({0, 0, 0, 0})}))
      // varchar(max) with the total given, and NULL, and empty.
      .p(cat({hex({0xA7, 0xFF, 0xFF}), kColl, hex({4, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}), ga_na,
              hex({0, 0, 0, 0})}))
      .p(cat({hex({0xA7, 0xFF, 0xFF}), kColl, Bytes(8, 0xFF)}))
      .p(cat({hex({0xE7, 0xFF, 0xFF}), kColl, Bytes(12, 0)}))
      .p(hex({0x1F}));
  const auto p = decode_params(b.bytes());
  ASSERT_EQ(p.size(), 14u);
  EXPECT_EQ(p[0].value.type, SqlType::VarChar);
  EXPECT_EQ(p[0].value.s, u"\uAC00\uB098");
  EXPECT_EQ(p[1].value.s, u"\uAC00\uB098");
  EXPECT_TRUE(p[2].value.is_null);
  EXPECT_EQ(p[2].value.type, SqlType::VarChar);
  EXPECT_EQ(p[3].value.type, SqlType::NVarChar);
  EXPECT_EQ(p[3].value.s, u"\uD55C\uAE00 ok");
  EXPECT_FALSE(p[4].value.is_null);
  EXPECT_EQ(p[4].value.s, u"");
  EXPECT_EQ(p[5].value.s, std::u16string(u"a\u00FF\0", 3));
  EXPECT_EQ(p[6].value.s, u"\uD55C\uAE00 ok");
  EXPECT_TRUE(p[7].value.is_null);
  EXPECT_EQ(p[7].value.type, SqlType::NVarChar);
  EXPECT_EQ(p[8].value.s, u"\uAC00\uB098");
  EXPECT_EQ(p[9].value.s, u"abc");
  EXPECT_EQ(p[10].value.s, u"\uAC00\uB098");
  EXPECT_TRUE(p[11].value.is_null);
  EXPECT_FALSE(p[12].value.is_null);
  EXPECT_TRUE(p[12].value.s.empty());
  EXPECT_TRUE(p[13].value.is_null);

  // A PLP whose chunks disagree with its announced total is refused.
  RpcBuilder bad;
  bad.call(u"p").p(cat({hex({0xE7, 0xFF, 0xFF}), kColl, hex({8, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}),
                        ucs2_bytes(u"a"), hex({0, 0, 0, 0})}));
  EXPECT_THROW(decode_rpc(bad.bytes()), ProtocolError);
}

TEST(TdsRequests, RpcNamesProcIdsSeparatorsAndBadInput) {
  RpcBuilder b;
  b.call(u"[dbo].[sp_a]").p(hex({0x26, 4, 4, 1, 0, 0, 0}));
  b.call_id(10).p(
      cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl, hex({2, 0, 0, 0}), ucs2_bytes(u"x")}));
  b.call(u"sp_b");
  const auto calls = decode_rpc(b.bytes());
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].name, u"[dbo].[sp_a]");
  EXPECT_EQ(calls[0].params.size(), 1u);
  EXPECT_EQ(calls[1].proc_id, kProcIdExecuteSql);
  EXPECT_EQ(calls[1].params.at(0).value.s, u"x");
  EXPECT_EQ(calls[2].name, u"sp_b");
  EXPECT_TRUE(calls[2].params.empty());

  RpcBuilder unknown;
  unknown.call(u"p").p(hex({0x24, 16, 0}));  // uniqueidentifier
  try {
    decode_rpc(unknown.bytes());
    FAIL();
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.number(), 8009);
  }
  Bytes truncated = b.bytes();
  truncated.resize(truncated.size() - 9);
  EXPECT_THROW(decode_rpc(truncated), ProtocolError);
  EXPECT_THROW(decode_rpc(hex({0xFF, 0, 0, 0})), ProtocolError);          // ALL_HEADERS too long
  EXPECT_THROW(decode_sql_batch(hex({4, 0, 0, 0, 'a'})), ProtocolError);  // odd text
  EXPECT_EQ(decode_sql_batch(testing::sql_batch(u"SET NOCOUNT ON")), u"SET NOCOUNT ON");
}

// ---------------------------------------------------------------------------------------------
// Responses

TEST(TdsResponses, EncodesEveryColumnTypeAndNulls) {
  ResponseBuilder b;
  std::u16string db = u"sms";
  StatementResult st;
  st.result_sets.push_back(testing::every_type_result_set());
  b.batch_results({st}, db);
  const auto t = tokens(b.finish());
  ASSERT_EQ(types_of(t), hex({0x81, 0xD1, 0xD1, 0xFD}));
  EXPECT_EQ(t[0].wire_types, hex({0xA7, 0xE7, 0x26, 0x26, 0x6E, 0x6A, 0x6F, 0x68, 0xA7, 0xE7}));
  EXPECT_EQ(t[0].max_lengths,
            (std::vector<std::uint16_t>{40, 40, 4, 8, 8, 9, 8, 1, 0xFFFF, 0xFFFF}));
  const auto& v = t[1].values;
  ASSERT_EQ(v.size(), 10u);
  EXPECT_EQ(*v[0], cat({hex({0xB0, 0xA1, 0xB3, 0xAA}), Bytes{' ', 'a', 'b', 'c'}}));
  EXPECT_EQ(*v[1], ucs2_bytes(u"\uD55C\uAE00"));
  EXPECT_EQ(*v[2], hex({0xD6, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*v[3], hex({0x00, 0x1A, 0x71, 0x18, 0x02, 0, 0, 0}));
  EXPECT_EQ(*v[4], hex({0, 0, 0, 0, 0x40, 0xE2, 0x01, 0}));  // high half first
  EXPECT_EQ(*v[5], hex({0, 0x39, 0x30, 0, 0, 0, 0, 0, 0}));  // negative, 12345
  EXPECT_EQ(*v[6], hex({0x25, 0xB1, 0, 0, 0x1D, 0xBB, 0xE2, 0}));
  EXPECT_EQ(*v[7], hex({1}));
  EXPECT_EQ(*v[8], Bytes(30, 'x'));
  EXPECT_EQ(*v[9], ucs2_bytes(u"long \uD55C"));
  for (const auto& n : t[2].values) EXPECT_FALSE(n.has_value());
  EXPECT_EQ(t[3].status, done::kCount);
  EXPECT_EQ(t[3].rows, 2u);
}

TEST(TdsResponses, ValueConversionsAndLimits) {
  // Money from -0.0001 and a decimal rescaled to its column's scale.
  ResultSet rs;
  rs.columns = {{u"m", SqlType::Money, 0, 0, 0, true},
                {u"d", SqlType::Decimal, 0, 5, 1, true},
                {u"v", SqlType::VarChar, 3, 0, 0, true},
                {u"n", SqlType::NVarChar, 5000, 0, 0, true}};
  rs.rows = {{SqlValue::money(-1), SqlValue::decimal(1255, 18, 3),
              SqlValue::varchar(u"a\U0001F600\u0E01\uAC00\uAC00\uAC00"),
              SqlValue::nvarchar(std::u16string(5000, u'z'))}};
  StatementResult st;
  st.result_sets.push_back(rs);
  ResponseBuilder b;
  std::u16string db;
  b.batch_results({st}, db);
  const auto t = tokens(b.finish());
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].max_lengths, (std::vector<std::uint16_t>{8, 5, 6, 0xFFFF}));
  EXPECT_EQ(*t[1].values[0], Bytes(8, 0xFF));
  EXPECT_EQ(*t[1].values[1], hex({1, 13, 0, 0, 0}));  // 1.255 at scale 1: 1.3
  // Unmappable characters became '?', and the text was cut at 6 bytes on a character boundary.
  EXPECT_EQ(*t[1].values[2], hex({'a', '?', '?', 0xB0, 0xA1}));
  EXPECT_EQ(t[1].values[3]->size(), 10000u);

  EXPECT_EQ(rescale(SqlValue::decimal(-1255, 18, 3), 1), -13);
  EXPECT_EQ(rescale(SqlValue::decimal(1249, 18, 3), 1), 12);
  EXPECT_EQ(rescale(SqlValue::money(123456), 2), 1235);
  EXPECT_EQ(rescale(SqlValue::int32(7), 4), 70000);
}

TEST(TdsResponses, DateTimeRoundsToTicksLikeTheServer) {
  const std::int64_t day = 1709164800000LL;
  EXPECT_EQ(to_datetime(day).days, 45349);
  EXPECT_EQ(to_datetime(day + 1).ticks, 0u);               // .001 -> .000
  EXPECT_EQ(to_datetime(day + 2).ticks, 1u);               // .002 -> .003
  EXPECT_EQ(to_datetime(day + 5).ticks, 2u);               // .005 -> .007
  EXPECT_EQ(to_datetime(day + 998).ticks, 299u);           // .998 -> .997
  const DatetimeWire carry = to_datetime(day + 86399999);  // 23:59:59.999 -> next day
  EXPECT_EQ(carry.days, 45350);
  EXPECT_EQ(carry.ticks, 0u);
  const DatetimeWire before1900 = to_datetime(-2208988800001LL);  // 1899-12-31 23:59:59.999
  EXPECT_EQ(before1900.days, 0);
  EXPECT_EQ(before1900.ticks, 0u);
  EXPECT_EQ(from_datetime(45349, 1), day + 3);
  EXPECT_EQ(from_datetime(45349, 2), day + 7);
  EXPECT_EQ(from_datetime(-1, 0), day - 45350LL * 86400000);
}

ServerMessage msg(std::int32_t n, std::u16string text) {
  ServerMessage m;
  m.number = n;
  m.text = std::move(text);
  return m;
}

TEST(TdsResponses, DoneMoreOnEveryDoneButTheLast) {
  StatementResult select;
  ResultSet rs;
  rs.columns = {{u"", SqlType::Int, 0, 0, 0, false}};
  rs.rows = {{SqlValue::int32(1)}};
  select.result_sets = {rs};
  StatementResult update;
  update.rows_affected = 3;
  StatementResult use;
  use.new_database = u"other";
  use.infos.push_back(msg(5701, u"Changed database context to 'other'."));
  StatementResult failed;
  failed.error = msg(102, u"Incorrect syntax near 'x'.");
  StatementResult exec;
  exec.result_sets = {rs};
  exec.return_status = 0;

  ResponseBuilder b;
  std::u16string db = u"sms";
  b.batch_results({select, update, use, failed, exec}, db);
  const auto t = tokens(b.finish());
  EXPECT_EQ(types_of(t), hex({0x81, 0xD1, 0xFD, 0xFD, 0xE3, 0xAB, 0xFD, 0xAA, 0xFD, 0x81, 0xD1,
                              0xFF, 0x79, 0xFE}));
  EXPECT_EQ(db, u"other");
  std::vector<std::uint16_t> statuses;
  for (const Token& x : t) {
    if (x.type >= 0xFD) statuses.push_back(x.status);
  }
  EXPECT_EQ(statuses, (std::vector<std::uint16_t>{0x11, 0x11, 0x01, 0x03, 0x11, 0x00}));
  EXPECT_EQ(t[3].rows, 3u);

  ResponseBuilder empty;
  empty.batch_results({}, db);
  EXPECT_EQ(types_of(tokens(empty.finish())), hex({0xFD}));
}

// A long answer streamed while it is built is, part after part, the same answer: rows given
// now and rows read as they go (next_row), long texts in PLP chunks, DONE_MORE where due. A
// sink that fails stops the rows.
TEST(TdsResponses, StreamedAnswerIsTheSameAnswer) {
  auto build = [](std::size_t flush_at, bool lazy, int sink_fails_at) {
    const auto row = [](int i) {
      return Row{SqlValue::int32(i), SqlValue::nvarchar(std::u16string(i * 9000, u'가'))};
    };
    auto statement = [&](bool exec) {
      StatementResult st;
      ResultSet rs;
      rs.columns = {{u"id", SqlType::Int, 0, 0, 0, false},
                    {u"msg", SqlType::NVarChar, 0, 0, 0, true}};
      for (int i = 0; i < 3; ++i) rs.rows.push_back(row(i));
      if (lazy) {
        rs.next_row = [row, next = std::make_shared<int>(3)](Row& r) {
          if (*next >= 6) return false;
          r = row((*next)++);
          return true;
        };
      } else {
        for (int i = 3; i < 6; ++i) rs.rows.push_back(row(i));
      }
      st.result_sets = {rs};
      if (exec) st.return_status = 0;
      return st;
    };
    const StatementResult first = statement(false);
    const StatementResult second = statement(true);
    ResponseBuilder b;
    std::vector<std::uint8_t> out;
    int parts = 0;
    if (flush_at > 0) {
      b.stream_to(flush_at, [&](std::vector<std::uint8_t> part) {
        out.insert(out.end(), part.begin(), part.end());
        return ++parts != sink_fails_at;
      });
    }
    std::u16string db = u"sms";
    b.batch_results({first, second}, db);
    const auto rest = b.finish();
    out.insert(out.end(), rest.begin(), rest.end());
    return std::make_tuple(out, parts, b.stream_failed());
  };
  const auto [whole, no_parts, no_failure] = build(0, false, 0);
  EXPECT_EQ(no_parts, 0);
  for (const bool lazy : {false, true}) {
    const auto [streamed, parts, failed] = build(4096, lazy, 0);
    EXPECT_EQ(streamed, whole) << lazy;
    EXPECT_GT(parts, 10) << lazy;  // PLP chunks of 32 KiB flush inside a value
    EXPECT_FALSE(failed);
  }
  const auto [cut, parts, failed] = build(4096, true, 3);
  EXPECT_TRUE(failed);
  EXPECT_EQ(parts, 3);
}

// ---------------------------------------------------------------------------------------------
// The connection's request flow

class TdsConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = backend_.open_session();
    conn_ = std::make_unique<Connection>(*session_);
    ASSERT_FALSE(login_through(*conn_, testing::LoginFields{}).close);
  }
  std::vector<Token> rpc(const Bytes& payload) {
    const Reply r = conn_->handle({packet_type::kRpc, payload});
    EXPECT_FALSE(r.close);
    return tokens(r.payload);
  }
  FakeBackend backend_;
  std::unique_ptr<Session> session_;
  std::unique_ptr<Connection> conn_;
};

TEST_F(TdsConnection, ProcedureFunctionAndErrorSequences) {
  backend_.on_rpc = [](const std::u16string& name, const std::vector<RpcParam>&) {
    StatementResult r;
    if (name == u"proc") {
      ResultSet rs;
      rs.columns = {{u"id", SqlType::Int, 0, 0, 0, false}};
      rs.rows = {{SqlValue::int32(1)}, {SqlValue::int32(2)}};
      r.result_sets = {rs};
      r.return_status = 0;
    } else if (name == u"func") {
      r.return_status = 0;
      r.function_value = SqlValue::money(5000000);
    } else {
      r.error = msg(50000, u"refused");
      r.error->procedure = name;
      r.return_status = -6;
    }
    return r;
  };
  RpcBuilder p;
  p.call(u"proc");
  auto t = rpc(p.bytes());
  EXPECT_EQ(types_of(t), hex({0x81, 0xD1, 0xD1, 0xFF, 0x79, 0xFE}));
  EXPECT_EQ(t[3].status, done::kMore | done::kCount);
  EXPECT_EQ(t[3].rows, 2u);
  EXPECT_EQ(t[5].status, 0);

  RpcBuilder f;
  f.call(u"func");
  t = rpc(f.bytes());
  ASSERT_EQ(types_of(t), hex({0x79, 0xAC, 0xFE}));
  EXPECT_EQ(t[1].status, 0x02);
  EXPECT_EQ(t[1].wire_types, hex({0x6E}));
  EXPECT_EQ(*t[1].values[0], hex({0, 0, 0, 0, 0x40, 0x4B, 0x4C, 0}));

  RpcBuilder e;
  e.call(u"bad");
  t = rpc(e.bytes());
  ASSERT_EQ(types_of(t), hex({0xAA, 0x79, 0xFE}));
  EXPECT_EQ(t[1].number, -6);
  EXPECT_EQ(t[2].status, done::kError);

  // Three calls in one request: one answer each, DONE_MORE on all but the last DONEPROC.
  RpcBuilder many;
  many.call(u"func").call(u"bad").call(u"func");
  t = rpc(many.bytes());
  ASSERT_EQ(types_of(t), hex({0x79, 0xAC, 0xFE, 0xAA, 0x79, 0xFE, 0x79, 0xAC, 0xFE}));
  EXPECT_EQ(t[2].status, done::kMore);
  EXPECT_EQ(t[5].status, done::kMore | done::kError);
  EXPECT_EQ(t[8].status, 0);
}

TEST_F(TdsConnection, ExecuteSqlByProcIdAndName) {
  RpcBuilder b;
  const Bytes stmt = ucs2_bytes(u"SELECT dbo.f_x(@P1)");
  const Bytes decl = ucs2_bytes(u"@P1 VARCHAR(50)");
  b.call_id(10)
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl,
              hex({static_cast<int>(stmt.size()), 0, 0, 0}), stmt}))
      .p(cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl,
              hex({static_cast<int>(decl.size()), 0, 0, 0}), decl}))
      .p(cat({hex({0xA7, 50, 0}), kColl, hex({2, 0, 'h', 'i'})}));
  b.call(u"sp_executesql").p(cat({hex({0xE7, 100, 0}), kColl, hex({2, 0}), ucs2_bytes(u"s")}));
  b.call_id(2);
  const auto t = rpc(b.bytes());
  const auto calls = backend_.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].kind, "sql");
  EXPECT_EQ(calls[0].text, u"SELECT dbo.f_x(@P1)");
  EXPECT_EQ(calls[0].declaration, u"@P1 VARCHAR(50)");
  ASSERT_EQ(calls[0].params.size(), 1u);
  EXPECT_EQ(calls[0].params[0].value.s, u"hi");
  EXPECT_EQ(calls[1].text, u"s");
  EXPECT_TRUE(calls[1].declaration.empty());
  // The third call (sp_cursoropen) is not supported.
  ASSERT_EQ(types_of(t), hex({0xFE, 0xFE, 0xAA, 0xFE}));
  EXPECT_EQ(t[2].number, 2812);
  EXPECT_EQ(t[2].text, u"Could not find stored procedure 'sp_cursoropen'.");
}

// ODBC drivers run every parameterised statement as sp_prepexec, then sp_execute on the handle.
TEST_F(TdsConnection, PreparedStatementsRunThroughExecuteSql) {
  const Bytes stmt = ucs2_bytes(u"SELECT dbo.f_x(@P1)");
  const Bytes decl = ucs2_bytes(u"@P1 NVARCHAR(10)");
  auto ntext = [](const Bytes& text) {
    return cat({hex({0x63, 0xFF, 0xFF, 0xFF, 0x7F}), kColl,
                hex({static_cast<int>(text.size()), 0, 0, 0}), text});
  };
  auto int4 = [](int v) { return hex({0x26, 4, 4, v, 0, 0, 0}); };
  const Bytes null_int = hex({0x26, 4, 0});
  const Bytes value = cat({hex({0xE7, 20, 0}), kColl, hex({4, 0}), ucs2_bytes(u"ab")});

  RpcBuilder prep;
  prep.call_id(13).param(u"@handle", 0x01, null_int).p(ntext(decl)).p(ntext(stmt)).p(value);
  auto t = rpc(prep.bytes());
  ASSERT_EQ(types_of(t), hex({0x79, 0xAC, 0xFE}));
  ASSERT_EQ(t[1].values.size(), 1u);
  ASSERT_TRUE(t[1].values[0].has_value());
  const Bytes handle = *t[1].values[0];
  EXPECT_EQ(handle, hex({1, 0, 0, 0}));

  RpcBuilder again;
  again.call_id(12).p(int4(1)).p(value);
  again.call_id(15).p(int4(1));
  again.call_id(12).p(int4(1)).p(value);
  t = rpc(again.bytes());
  ASSERT_EQ(types_of(t), hex({0x79, 0xFE, 0x79, 0xFE, 0xAA, 0xFE}));
  EXPECT_EQ(t[4].number, 8179);
  EXPECT_EQ(t[4].text, u"Could not find prepared statement with handle 1.");

  const auto calls = backend_.calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& c : calls) {
    EXPECT_EQ(c.kind, "sql");
    EXPECT_EQ(c.text, u"SELECT dbo.f_x(@P1)");
    EXPECT_EQ(c.declaration, u"@P1 NVARCHAR(10)");
    ASSERT_EQ(c.params.size(), 1u);
    EXPECT_EQ(c.params[0].value.s, u"ab");
  }
}

TEST_F(TdsConnection, AttentionDropAndBadRequests) {
  Reply r = conn_->handle({packet_type::kAttention, {}});
  auto t = tokens(r.payload);
  ASSERT_EQ(types_of(t), hex({0xFD}));
  EXPECT_EQ(t[0].status, done::kAttention);

  // A request that cannot be decoded gets an ERROR; the connection stays usable.
  RpcBuilder unknown;
  unknown.call(u"p").p(hex({0xF1, 0}));
  t = rpc(unknown.bytes());
  ASSERT_EQ(types_of(t), hex({0xAA, 0xFD}));
  EXPECT_EQ(t[0].number, 8009);
  EXPECT_EQ(t[1].status, done::kError);

  backend_.on_batch = [](const std::u16string& sql) {
    StatementResult a;
    StatementResult b;
    b.drop_connection = sql == u"drop";
    if (sql == u"throw") throw std::runtime_error("boom");
    return std::vector<StatementResult>{a, b};
  };
  r = conn_->handle({packet_type::kSqlBatch, testing::sql_batch(u"drop")});
  EXPECT_TRUE(r.close);
  EXPECT_TRUE(r.payload.empty());
  r = conn_->handle({packet_type::kSqlBatch, testing::sql_batch(u"throw")});
  EXPECT_FALSE(r.close);
  EXPECT_EQ(types_of(tokens(r.payload)), hex({0xAA, 0xFD}));
  r = conn_->handle({packet_type::kSqlBatch, testing::sql_batch(u"ok")});
  EXPECT_EQ(types_of(tokens(r.payload)), hex({0xFD, 0xFD}));
  EXPECT_TRUE(conn_->handle({0x02, {}}).close);  // pre-TDS 7 login
}

TEST(TdsText, Cp949RoundTripAndReplacement) {
  EXPECT_EQ(utf16_to_cp949(u"\uD55C abc"), hex({0xC7, 0xD1, ' ', 'a', 'b', 'c'}));
  EXPECT_EQ(utf16_to_cp949(u"\U0001F600x\xD800"), hex({'?', 'x', '?'}));
  EXPECT_EQ(cp949_to_utf16(hex({0xC7, 0xD1, 'a'})), u"\uD55Ca");
  EXPECT_EQ(cp949_to_utf16(hex({'a', 0xFF, 'b', 0xC7})), u"a\uFFFDb\uFFFD");
}

}  // namespace
}  // namespace sandbox::tds
