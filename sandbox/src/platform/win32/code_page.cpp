// CP949 through Windows' code page 949. The whole text is converted in one call when it can be;
// otherwise character by character, replacing what does not convert as iconv's callers do on
// POSIX.
#include <windows.h>

#include "platform/code_page.h"

namespace sandbox::code_page {
namespace {

constexpr UINT kCp949 = 949;

bool high_surrogate(char16_t c) {
  return c >= 0xD800 && c < 0xDC00;
}
bool low_surrogate(char16_t c) {
  return c >= 0xDC00 && c < 0xE000;
}

// `text` in code page 949, or false when some character has no form there.
bool encode(std::u16string_view text, std::vector<std::uint8_t>& out) {
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  BOOL defaulted = FALSE;
  const int n = ::WideCharToMultiByte(kCp949, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0,
                                      nullptr, &defaulted);
  if (n <= 0 || defaulted) return false;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n));
  ::WideCharToMultiByte(kCp949, WC_NO_BEST_FIT_CHARS, wide, length,
                        reinterpret_cast<char*>(out.data() + at), n, nullptr, &defaulted);
  return !defaulted;
}

// The bytes as UTF-16, or false when any of them is not valid code page 949.
bool decode(std::span<const std::uint8_t> bytes, std::u16string& out) {
  const auto* narrow = reinterpret_cast<const char*>(bytes.data());
  const int length = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(kCp949, MB_ERR_INVALID_CHARS, narrow, length, nullptr, 0);
  if (n <= 0) return false;
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n));
  return ::MultiByteToWideChar(kCp949, MB_ERR_INVALID_CHARS, narrow, length,
                               reinterpret_cast<wchar_t*>(out.data() + at), n) == n;
}

}  // namespace

std::vector<std::uint8_t> utf16_to_cp949(std::u16string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 2);
  if (text.empty() || encode(text, out)) return out;
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    // One character: a unit, or a whole surrogate pair.
    const std::size_t units =
        high_surrogate(text[i]) && i + 1 < text.size() && low_surrogate(text[i + 1]) ? 2 : 1;
    const std::u16string_view one = text.substr(i, units);
    const bool lone = high_surrogate(one[0]) || low_surrogate(one[0]);
    if (lone || !encode(one, out)) out.push_back('?');
    i += units;
  }
  return out;
}

std::u16string cp949_to_utf16(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  if (bytes.empty() || decode(bytes, out)) return out;
  out.clear();
  for (std::size_t i = 0; i < bytes.size();) {
    if (i + 1 < bytes.size() && ::IsDBCSLeadByteEx(kCp949, bytes[i]) &&
        decode(bytes.subspan(i, 2), out)) {
      i += 2;
    } else {
      if (!decode(bytes.subspan(i, 1), out)) out.push_back(u'\uFFFD');
      ++i;
    }
  }
  return out;
}

}  // namespace sandbox::code_page
