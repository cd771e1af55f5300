// The code page and locale on POSIX: the locale's code set as the ANSI code page (UTF-8 with
// undecodable bytes kept as U+DC00 + byte; any other code set through iconv), LC_NUMERIC's
// radix, and the C library's Unicode case table.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <taviksms_common/ascii.h>
#include "base/text.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

namespace {

bool is_utf8(const std::string& cs) {
  return cs == "UTF-8" || cs == "utf-8";
}

// iconv between the code set and UTF-16LE; unconvertible input is replaced by '?' / U+FFFD.
std::string iconv_all(const char* to, const char* from, std::string_view in,
                      std::string_view repl) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out;
  std::string buf(4096, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  while (left > 0) {
    char* dst = buf.data();
    std::size_t room = buf.size();
    std::size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf.data(), buf.size() - room);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // Skip one input unit (a byte, or a UTF-16 code unit) and put a replacement in its place.
      std::size_t unit = std::string_view(from) == "UTF-16LE" ? 2 : 1;
      unit = std::min(unit, left);
      src += unit;
      left -= unit;
      out.append(repl);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return out;
}

// The length of the valid UTF-8 sequence starting at `i`; 0 when none starts there.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  std::uint32_t cp = c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

// The code set of the environment's locale, without touching the process's global locale.
// Plain ASCII ("ANSI_X3.4-1968", the C locale) is widened to UTF-8.
std::string locale_codeset() {
  std::string cs = "UTF-8";
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const char* name = nl_langinfo_l(CODESET, loc);
    if (name && *name) cs = name;
    freelocale(loc);
  }
  if (cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs == "US-ASCII" || cs == "utf8") cs = "UTF-8";
  return cs;
}

// True when `bytes` ends inside a character of `codeset`: a lead byte without all its trail bytes.
// An invalid byte elsewhere counts as a character of its own.
bool ends_mid_character(const char* codeset, std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-16LE", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(bytes.data());
  std::size_t left = bytes.size();
  bool partial = false;
  char buf[256];
  while (left > 0) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    if (iconv(cd, &src, &left, &dst, &room) != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EINVAL) {
      partial = true;
      break;
    }
    ++src;
    --left;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return partial;
}

std::u16string PosixPlatform::decimal_separator() {
  std::u16string sep = u".";
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc != static_cast<locale_t>(nullptr)) {
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    if (radix && *radix) {
      std::string_view r(radix);
      // The radix is in the numeric locale's own code set; ASCII needs no conversion.
      bool ascii = true;
      for (char c : r) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
      sep = ascii ? std::u16string(r.begin(), r.end()) : from_ansi(r);
    }
    freelocale(loc);
  }
  return sep.empty() ? u"." : sep;
}

std::string PosixPlatform::to_ansi(std::u16string_view text) {
  if (is_utf8(codeset_)) {
    // A lone U+DC80..U+DCFF stands for the byte that from_ansi could not decode, so a file or
    // folder whose name is not valid UTF-8 keeps its name through the UTF-16 core.
    std::string out;
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char16_t c = text[i];
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        ++i;  // a pair: an ordinary character
      } else if (c >= 0xDC80 && c <= 0xDCFF) {
        out += core::utf16_to_utf8(text.substr(run, i - run));
        out += static_cast<char>(c - 0xDC00);
        run = i + 1;
      }
    }
    if (run == 0) return core::utf16_to_utf8(text);  // the usual case: no copy of the result
    return out + core::utf16_to_utf8(text.substr(run));
  }
  std::string_view bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return iconv_all(codeset_.c_str(), "UTF-16LE", bytes, "?");
}

std::u16string PosixPlatform::from_ansi(std::string_view bytes) {
  if (is_utf8(codeset_)) {
    // Each byte that starts no valid sequence becomes U+DC00 + byte (undone by to_ansi).
    std::u16string out;
    std::size_t run = 0;
    for (std::size_t i = 0; i < bytes.size();) {
      const std::size_t len = utf8_sequence_length(bytes, i);
      if (len > 0) {
        i += len;
        continue;
      }
      out += core::utf8_to_utf16(bytes.substr(run, i - run));
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
      run = ++i;
    }
    return out + core::utf8_to_utf16(bytes.substr(run));
  }
  std::string wide = iconv_all("UTF-16LE", codeset_.c_str(), bytes, std::string("\xFD\xFF", 2));
  std::u16string out(wide.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                   (static_cast<unsigned char>(wide[2 * i + 1]) << 8));
  }
  return out;
}

std::u16string PosixPlatform::lower_case(std::u16string_view text) {
  // The C library's Unicode tables, independent of the process's own locale.
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string out(text);
  for (char16_t& c : out) {
    if (c < 0x80) {
      c = ascii::lower(c);
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF) && loc != static_cast<locale_t>(nullptr)) {
      wint_t lower = towlower_l(static_cast<wint_t>(c), loc);
      if (lower <= 0xFFFF && (lower < 0xD800 || lower > 0xDFFF)) c = static_cast<char16_t>(lower);
    }
  }
  return out;
}

}  // namespace taviksms::platform::posix
