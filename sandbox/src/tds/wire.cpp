#include "tds/wire.h"

namespace sandbox::tds {

void WireReader::need(std::size_t n) const {
  if (n > remaining()) throw ProtocolError("message truncated");
}

std::uint8_t WireReader::u8() {
  need(1);
  return data_[pos_++];
}

std::uint8_t WireReader::peek_u8() const {
  need(1);
  return data_[pos_];
}

std::uint16_t WireReader::u16le() {
  need(2);
  std::uint16_t v = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
  pos_ += 2;
  return v;
}

std::uint16_t WireReader::u16be() {
  need(2);
  std::uint16_t v = static_cast<std::uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
  pos_ += 2;
  return v;
}

std::uint32_t WireReader::u32le() {
  need(4);
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + static_cast<std::size_t>(i)];
  pos_ += 4;
  return v;
}

std::uint32_t WireReader::u32be() {
  need(4);
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | data_[pos_ + i];
  pos_ += 4;
  return v;
}

std::uint64_t WireReader::u64le() {
  std::uint64_t lo = u32le();
  std::uint64_t hi = u32le();
  return lo | (hi << 32);
}

std::span<const std::uint8_t> WireReader::bytes(std::size_t n) {
  need(n);
  auto s = data_.subspan(pos_, n);
  pos_ += n;
  return s;
}

void WireReader::seek(std::size_t pos) {
  if (pos > data_.size()) throw ProtocolError("offset outside the message");
  pos_ = pos;
}

std::u16string WireReader::ucs2(std::size_t chars) {
  if (chars > remaining() / 2) throw ProtocolError("message truncated");
  std::u16string s(chars, u'\0');
  for (std::size_t i = 0; i < chars; ++i) {
    s[i] = static_cast<char16_t>(data_[pos_ + 2 * i] | (data_[pos_ + 2 * i + 1] << 8));
  }
  pos_ += 2 * chars;
  return s;
}

void WireWriter::u16le(std::uint16_t v) {
  buf_.push_back(static_cast<std::uint8_t>(v));
  buf_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void WireWriter::u16be(std::uint16_t v) {
  buf_.push_back(static_cast<std::uint8_t>(v >> 8));
  buf_.push_back(static_cast<std::uint8_t>(v));
}

void WireWriter::u32le(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void WireWriter::u32be(std::uint32_t v) {
  for (int i = 3; i >= 0; --i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void WireWriter::u64le(std::uint64_t v) {
  u32le(static_cast<std::uint32_t>(v));
  u32le(static_cast<std::uint32_t>(v >> 32));
}

void WireWriter::ucs2(std::u16string_view s) {
  for (char16_t c : s) u16le(static_cast<std::uint16_t>(c));
}

void WireWriter::b_varchar(std::u16string_view s) {
  if (s.size() > 0xFF) s = s.substr(0, 0xFF);
  u8(static_cast<std::uint8_t>(s.size()));
  ucs2(s);
}

void WireWriter::us_varchar(std::u16string_view s) {
  if (s.size() > 0xFFFF) s = s.substr(0, 0xFFFF);
  u16le(static_cast<std::uint16_t>(s.size()));
  ucs2(s);
}

void WireWriter::patch_u16le(std::size_t at, std::uint16_t v) {
  buf_.at(at) = static_cast<std::uint8_t>(v);
  buf_.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}

void WireWriter::patch_u16be(std::size_t at, std::uint16_t v) {
  buf_.at(at) = static_cast<std::uint8_t>(v >> 8);
  buf_.at(at + 1) = static_cast<std::uint8_t>(v);
}

std::u16string ascii_to_u16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char c : s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::string u16_to_ascii(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace sandbox::tds
