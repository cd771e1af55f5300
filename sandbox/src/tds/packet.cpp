#include "tds/packet.h"

#include <algorithm>
#include <array>

namespace sandbox::tds {

PacketHeader parse_header(std::span<const std::uint8_t, kHeaderSize> b) {
  PacketHeader h;
  h.type = b[0];
  h.status = b[1];
  h.length = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
  h.spid = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
  h.packet_id = b[6];
  h.window = b[7];
  return h;
}

std::vector<std::uint8_t> frame_message(std::uint8_t type, std::span<const std::uint8_t> payload,
                                        std::size_t packet_size, std::uint16_t spid,
                                        std::uint8_t& packet_id, bool end_of_message) {
  packet_size = std::clamp(packet_size, kMinPacketSize, kMaxPacketSize);
  const std::size_t chunk = packet_size - kHeaderSize;
  const std::size_t packets = payload.empty() ? 1 : (payload.size() + chunk - 1) / chunk;
  std::vector<std::uint8_t> out;
  out.reserve(payload.size() + packets * kHeaderSize);
  std::size_t pos = 0;
  for (std::size_t i = 0; i < packets; ++i) {
    const std::size_t n = std::min(chunk, payload.size() - pos);
    const bool last = end_of_message && i + 1 == packets;
    const std::size_t length = n + kHeaderSize;
    out.push_back(type);
    out.push_back(last ? kStatusEom : 0);
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.push_back(static_cast<std::uint8_t>(spid >> 8));
    out.push_back(static_cast<std::uint8_t>(spid));
    out.push_back(packet_id++);
    out.push_back(0);
    out.insert(out.end(), payload.begin() + static_cast<std::ptrdiff_t>(pos),
               payload.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
  }
  return out;
}

bool is_client_packet_type(std::uint8_t type) {
  switch (type) {
    case packet_type::kSqlBatch:
    case packet_type::kPreTds7Login:
    case packet_type::kRpc:
    case packet_type::kAttention:
    case packet_type::kBulkLoad:
    case packet_type::kTransactionManager:
    case packet_type::kLogin7:
    case packet_type::kSspi:
    case packet_type::kPrelogin:
      return true;
    default:
      return false;
  }
}

ReadResult MessageReader::read(Message& out) {
  out.type = 0;
  out.payload.clear();
  bool started = false;
  for (;;) {
    std::array<std::uint8_t, kHeaderSize> raw{};
    if (!source_.read_exact(raw)) return started ? ReadResult::kTruncated : ReadResult::kClosed;
    const PacketHeader h = parse_header(raw);
    // Checked before waiting for the body, so garbage is refused at once rather than after
    // whatever length its second and third bytes happen to claim.
    if (h.length < kHeaderSize || !is_client_packet_type(h.type)) return ReadResult::kBadPacket;
    const std::size_t body = h.length - kHeaderSize;

    if (h.type == packet_type::kAttention) {
      // Attention carries no data; whatever it carries is skipped, never interpreted.
      std::vector<std::uint8_t> skip(body);
      if (!source_.read_exact(skip)) return ReadResult::kTruncated;
      out.type = packet_type::kAttention;
      out.payload.clear();
      return ReadResult::kMessage;
    }
    if (started && h.type != out.type) return ReadResult::kBadPacket;
    if (out.payload.size() + body > max_message_bytes_) return ReadResult::kTooLarge;
    if (admit_large_ && out.payload.size() <= large_bytes_ &&
        out.payload.size() + body > large_bytes_ && !admit_large_()) {
      return ReadResult::kNoRoom;
    }
    out.type = h.type;
    started = true;
    const std::size_t old = out.payload.size();
    out.payload.resize(old + body);
    if (!source_.read_exact(std::span(out.payload).subspan(old))) return ReadResult::kTruncated;
    if (h.status & kStatusEom) return ReadResult::kMessage;
  }
}

}  // namespace sandbox::tds
