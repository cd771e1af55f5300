// The sandbox's TDS request handling. The first input byte picks the case:
//  - raw bytes as an RPC, SQL batch, pre-login or login message to a logged-in connection whose
//    backend echoes every decoded parameter back: the connection never throws, and every answer
//    is a well-formed token stream;
//  - raw bytes as a packet stream through the reader: no message larger than the limit;
//  - a batch or an RPC built from the input: it decodes to exactly what was sent.
#include <cstring>
#include <memory>
#include <span>

#include "fake_backend.h"
#include "fuzz_util.h"
#include "tds/connection.h"
#include "tds/packet.h"
#include "tds/request_decoder.h"
#include "tds_test_util.h"

namespace {

using namespace sandbox;
using namespace sandbox::tds;
using testing::Bytes;

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

// A fresh one per input: the fake records every call it sees.
void install_echo(testing::FakeBackend& b) {
  b.on_rpc = [](const std::u16string&, const std::vector<RpcParam>& params) {
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

void connection_case(std::uint8_t kind, const Bytes& payload) {
  testing::FakeBackend backend;
  install_echo(backend);
  auto session = backend.open_session();
  Connection conn(*session);
  conn.handle({packet_type::kLogin7, testing::login7(testing::LoginFields{})});
  static const std::uint8_t types[] = {packet_type::kRpc, packet_type::kSqlBatch,
                                       packet_type::kPrelogin, packet_type::kLogin7,
                                       packet_type::kAttention};
  const std::uint8_t type = types[kind % std::size(types)];
  Connection fresh(*session);
  Connection& target =
      (type == packet_type::kPrelogin || type == packet_type::kLogin7) ? fresh : conn;
  Reply r;
  try {
    r = target.handle({type, payload});
  } catch (...) {
    FUZZ_CHECK(!"the connection let an exception out");
  }
  if (!r.payload.empty() && type != packet_type::kPrelogin) {
    std::vector<testing::Token> tokens;
    FUZZ_CHECK(testing::walk_tokens(r.payload, tokens));
  }
}

void reader_case(const Bytes& stream) {
  VectorSource src(stream);
  MessageReader reader(src, 4096);
  Message m;
  for (int k = 0; k < 100 && reader.read(m) == ReadResult::kMessage; ++k) {
    FUZZ_CHECK(m.payload.size() <= 4096u);
  }
}

void round_trip_case(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = fuzz::utf16_of(data, size);
  FUZZ_CHECK(decode_sql_batch(testing::sql_batch(text)) == text);

  // An RPC by name with one NVARCHAR(max) parameter holding the text, sent as PLP in one chunk.
  std::u16string name = u"p" + text.substr(0, 100);
  testing::RpcBuilder b;
  WireWriter v;
  v.u8(0xE7);
  v.u16le(0xFFFF);
  v.bytes(testing::kColl);
  v.u64le(2 * text.size());
  if (!text.empty()) {
    v.u32le(static_cast<std::uint32_t>(2 * text.size()));
    v.ucs2(text);
  }
  v.u32le(0);
  b.call(name).param(u"@t", 0, v.take());
  const auto calls = decode_rpc(b.bytes());
  FUZZ_CHECK(calls.size() == 1 && calls[0].name == name && calls[0].params.size() == 1);
  FUZZ_CHECK(!calls[0].params[0].value.is_null && calls[0].params[0].value.s == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const Bytes rest(data + 1, data + size);
  switch (mode % 4) {
    case 0:
    case 1:
      connection_case(static_cast<std::uint8_t>(mode >> 2), rest);
      break;
    case 2:
      reader_case(rest);
      break;
    default:
      round_trip_case(rest.data(), rest.size());
      break;
  }
  return 0;
}
