// TDS packet framing: the 8-byte header, splitting a message into packets and reassembling the
// packets of a client's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace sandbox::tds {

namespace packet_type {
inline constexpr std::uint8_t kSqlBatch = 0x01;
inline constexpr std::uint8_t kPreTds7Login = 0x02;
inline constexpr std::uint8_t kRpc = 0x03;
inline constexpr std::uint8_t kTabularResult = 0x04;
inline constexpr std::uint8_t kAttention = 0x06;
inline constexpr std::uint8_t kBulkLoad = 0x07;
inline constexpr std::uint8_t kTransactionManager = 0x0E;
inline constexpr std::uint8_t kLogin7 = 0x10;
inline constexpr std::uint8_t kSspi = 0x11;
inline constexpr std::uint8_t kPrelogin = 0x12;
}  // namespace packet_type

inline constexpr std::uint8_t kStatusEom = 0x01;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kDefaultPacketSize = 4096;
inline constexpr std::size_t kMinPacketSize = 512;
inline constexpr std::size_t kMaxPacketSize = 32767;
inline constexpr std::size_t kDefaultMaxMessageBytes = std::size_t{8} << 20;

struct PacketHeader {
  std::uint8_t type = 0;
  std::uint8_t status = 0;
  std::uint16_t length = 0;  // header included
  std::uint16_t spid = 0;
  std::uint8_t packet_id = 0;
  std::uint8_t window = 0;
};

PacketHeader parse_header(std::span<const std::uint8_t, kHeaderSize> bytes);

// The message types a client may send.
bool is_client_packet_type(std::uint8_t type);

// Frames `payload` as packets of at most `packet_size` bytes (header included), the last one
// flagged end-of-message unless `end_of_message` is false (more of the message follows).
// `packet_id` is the connection's running counter (wraps at 256). An empty payload still makes
// one packet.
std::vector<std::uint8_t> frame_message(std::uint8_t type, std::span<const std::uint8_t> payload,
                                        std::size_t packet_size, std::uint16_t spid,
                                        std::uint8_t& packet_id, bool end_of_message = true);

// Where packets come from: a socket, or a buffer in tests.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills `out` completely; false when the peer closed or the read failed first.
  virtual bool read_exact(std::span<std::uint8_t> out) = 0;
};

struct Message {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;
};

enum class ReadResult {
  kMessage,    // `out` holds a complete message
  kClosed,     // clean end of stream between messages
  kTruncated,  // the stream ended inside a packet or message
  kBadPacket,  // impossible header (length < 8, not a client type, type changes mid-message)
  kTooLarge,   // the message exceeds the size bound
  kNoRoom,     // the message grew large and no room for it came free in time
};

// Reassembles multi-packet messages. An ATTENTION packet arriving inside a partly received
// message abandons that message and is returned on its own, as a client cancelling a long
// request expects.
class MessageReader {
 public:
  MessageReader(ByteSource& source, std::size_t max_message_bytes = kDefaultMaxMessageBytes)
      : source_(source), max_message_bytes_(max_message_bytes) {}
  ReadResult read(Message& out);
  // Called once per message as it grows past `bytes`; the message is read on only when `admit`
  // returns true.
  void set_large_gate(std::size_t bytes, std::function<bool()> admit) {
    large_bytes_ = bytes;
    admit_large_ = std::move(admit);
  }

 private:
  ByteSource& source_;
  std::size_t max_message_bytes_;
  std::size_t large_bytes_ = 0;
  std::function<bool()> admit_large_;
};

}  // namespace sandbox::tds
