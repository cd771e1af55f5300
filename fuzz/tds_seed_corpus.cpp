// Writes the seed corpus of tds_request_fuzz: valid requests of every kind the server handles,
// in the input layout the target reads (a mode byte, then the bytes). Run once when the request
// forms change: tds_seed_corpus fuzz/corpus/tds_request_fuzz
#include <fstream>
#include <string>
#include <vector>

#include "tds/packet.h"
#include "tds_test_util.h"

namespace {

using namespace sandbox::tds;
using testing::Bytes;
using testing::cat;
using testing::hex;
using testing::kColl;
using testing::ucs2_bytes;

std::vector<Bytes> rpc_requests() {
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

void write(const std::string& folder, const std::string& name, std::uint8_t mode,
           const Bytes& body) {
  std::ofstream f(folder + "/" + name, std::ios::binary);
  f.put(static_cast<char>(mode));
  f.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  // Mode byte: low two bits 0/1 = one message to a connection, its type chosen by the bits above
  // (0 RPC, 1 batch, 2 pre-login, 3 login, 4 attention); 2 = a packet stream; 3 = a round trip.
  const auto rpcs = rpc_requests();
  for (std::size_t i = 0; i < rpcs.size(); ++i) write(dir, "rpc" + std::to_string(i), 0, rpcs[i]);
  write(dir, "batch", 1 << 2 | 1, testing::sql_batch(u"SELECT 1"));
  write(dir, "batch_exec", 1 << 2,
        testing::sql_batch(u"USE sms; EXEC dbo.sp_sms_send @user_id = N'u', @typ = 1"));
  write(dir, "prelogin", 2 << 2, testing::prelogin(0));
  write(dir, "login", 3 << 2, testing::login7(testing::LoginFields{}));
  write(dir, "attention", 4 << 2, {});
  std::uint8_t id = 1;
  Bytes stream = frame_message(packet_type::kRpc, rpcs[0], 512, 1, id);
  const Bytes second = frame_message(packet_type::kAttention, {}, 512, 1, id);
  stream.insert(stream.end(), second.begin(), second.end());
  write(dir, "stream", 2, stream);
  write(dir, "round_trip", 3, ucs2_bytes(u"\xAC00\xB098 sms; \xD800 x"));
  return 0;
}
