// UTF-8 <-> UTF-16 conversion, shared by the component, its shell and the sandbox: text is UTF-16
// inside, UTF-8 at the edges (argv, HTTP, JSON, SQLite, libssh2).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace taviksms::utf {

namespace detail {

// The sequence that starts at s[i]: its code point, or none when it is not valid UTF-8
// (truncated, overlong, an encoded surrogate, beyond U+10FFFF), and how many bytes it takes (an
// invalid one: its lead byte and the continuation bytes that follow it).
struct Utf8Sequence {
  std::optional<std::uint32_t> code_point;
  std::size_t length;
};
inline Utf8Sequence decode_utf8_at(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return {c, 1};
  std::uint32_t cp = 0, min = 0;
  std::size_t len = 0;
  if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F, len = 2, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F, len = 3, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07, len = 4, min = 0x10000;
  } else {
    return {std::nullopt, 1};
  }
  std::size_t k = 1;
  for (; k < len && i + k < s.size() && (byte(i + k) & 0xC0) == 0x80; ++k) {
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (k < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {std::nullopt, k};
  }
  return {cp, len};
}

}  // namespace detail

// Invalid or truncated sequences, overlong forms and encoded surrogates become U+FFFD.
inline std::u16string utf8_to_utf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {  // most text: no decoding
      out.push_back(static_cast<char16_t>(s[i++]));
      continue;
    }
    const detail::Utf8Sequence seq = detail::decode_utf8_at(s, i);
    i += seq.length;
    std::uint32_t cp = seq.code_point.value_or(0xFFFD);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// The offset of the first byte that does not begin a valid UTF-8 sequence (truncated, overlong,
// an encoded surrogate, beyond U+10FFFF); nothing when all of `s` is valid.
inline std::optional<std::size_t> first_invalid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const detail::Utf8Sequence seq = detail::decode_utf8_at(s, i);
    if (!seq.code_point) return i;
    i += seq.length;
  }
  return std::nullopt;
}

// Lone surrogates become U+FFFD (encoded EF BF BD).
inline std::string utf16_to_utf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace taviksms::utf
