// Byte-level reading and writing of TDS fields: little-endian integers (the token stream),
// big-endian ones (packet headers, PRELOGIN), and UCS-2 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace sandbox::tds {

// A request that cannot be decoded. The text and number are sent to the client in an ERROR token
// (4002: the stream is malformed; 8009 and friends: a parameter it cannot take).
class ProtocolError : public std::runtime_error {
 public:
  explicit ProtocolError(const std::string& what, std::int32_t number = 4002)
      : std::runtime_error(what), number_(number) {}
  std::int32_t number() const { return number_; }

 private:
  std::int32_t number_;
};

// Bounds-checked cursor over a received message. Every read past the end throws ProtocolError,
// so decoders never index outside the buffer whatever the length fields claim.
class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }
  std::span<const std::uint8_t> data() const { return data_; }

  std::uint8_t u8();
  std::uint8_t peek_u8() const;
  std::uint16_t u16le();
  std::uint16_t u16be();
  std::uint32_t u32le();
  std::uint32_t u32be();
  std::uint64_t u64le();
  std::span<const std::uint8_t> bytes(std::size_t n);
  void skip(std::size_t n) { (void)bytes(n); }
  void seek(std::size_t pos);
  // `chars` UCS-2 code units.
  std::u16string ucs2(std::size_t chars);
  std::u16string b_varchar() { return ucs2(u8()); }
  std::u16string us_varchar() { return ucs2(u16le()); }

 private:
  void need(std::size_t n) const;
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

// Appends fields to a growing buffer; patch_* rewrite earlier fields (lengths known only later).
class WireWriter {
 public:
  std::vector<std::uint8_t>& buffer() { return buf_; }
  const std::vector<std::uint8_t>& buffer() const { return buf_; }
  std::size_t size() const { return buf_.size(); }
  std::vector<std::uint8_t> take() {
    std::vector<std::uint8_t> out;
    out.swap(buf_);
    return out;
  }

  void u8(std::uint8_t v) { buf_.push_back(v); }
  void u16le(std::uint16_t v);
  void u16be(std::uint16_t v);
  void u32le(std::uint32_t v);
  void u32be(std::uint32_t v);
  void u64le(std::uint64_t v);
  void bytes(std::span<const std::uint8_t> b) { buf_.insert(buf_.end(), b.begin(), b.end()); }
  void ucs2(std::u16string_view s);
  // Length-prefixed UCS-2 (the length counts characters); longer text is cut at the limit.
  void b_varchar(std::u16string_view s);
  void us_varchar(std::u16string_view s);
  void patch_u16le(std::size_t at, std::uint16_t v);
  void patch_u16be(std::size_t at, std::uint16_t v);

 private:
  std::vector<std::uint8_t> buf_;
};

std::u16string ascii_to_u16(std::string_view s);
// Lossy (non-ASCII becomes '?'); for log and error texts only.
std::string u16_to_ascii(std::u16string_view s);

}  // namespace sandbox::tds
