// CP949 through iconv (glibc's "CP949" is the Unified Hangul Code).
#include <iconv.h>

#include <cerrno>
#include <stdexcept>

#include "platform/code_page.h"

namespace sandbox::code_page {
namespace {

// One conversion descriptor per direction and thread: iconv_t is not thread-safe, and opening
// one per call would cost more than most conversions.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts `in` into `out` (appending). On an unconvertible sequence, calls
  // `bad(out, in, left)` which must consume input and may append a replacement.
  template <typename OnBad>
  void run(const char* in, std::size_t left, std::vector<char>& out, OnBad bad) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char buf[4096];
    char* src = const_cast<char*>(in);
    while (left > 0) {
      char* dst = buf;
      std::size_t room = sizeof(buf);
      const std::size_t r = iconv(cd_, &src, &left, &dst, &room);
      out.insert(out.end(), buf, dst);
      if (r != static_cast<std::size_t>(-1)) continue;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (incomplete sequence at the end): replace and resynchronise.
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      bad(out, src, left);
    }
    char* dst = buf;
    std::size_t room = sizeof(buf);
    iconv(cd_, nullptr, nullptr, &dst, &room);
    out.insert(out.end(), buf, dst);
  }

 private:
  iconv_t cd_;
};

Converter& to_cp949() {
  thread_local Converter c("CP949", "UTF-16LE");
  return c;
}

Converter& from_cp949() {
  thread_local Converter c("UTF-16LE", "CP949");
  return c;
}

}  // namespace

std::vector<std::uint8_t> utf16_to_cp949(std::u16string_view text) {
  std::vector<char> le;
  le.reserve(text.size() * 2);
  for (char16_t c : text) {
    le.push_back(static_cast<char>(c & 0xFF));
    le.push_back(static_cast<char>(c >> 8));
  }
  std::vector<char> out;
  out.reserve(text.size() * 2);
  to_cp949().run(
      le.data(), le.size(), out, [](std::vector<char>& o, char*& src, std::size_t& left) {
        o.push_back('?');
        // Skip one UTF-16 unit, or a whole surrogate pair.
        std::size_t n = 2;
        if (left >= 4) {
          const auto hi = static_cast<std::uint16_t>(static_cast<unsigned char>(src[0]) |
                                                     (static_cast<unsigned char>(src[1]) << 8));
          const auto lo = static_cast<std::uint16_t>(static_cast<unsigned char>(src[2]) |
                                                     (static_cast<unsigned char>(src[3]) << 8));
          if (hi >= 0xD800 && hi < 0xDC00 && lo >= 0xDC00 && lo < 0xE000) n = 4;
        }
        if (n > left) n = left;
        src += n;
        left -= n;
      });
  return {out.begin(), out.end()};
}

std::u16string cp949_to_utf16(std::span<const std::uint8_t> bytes) {
  std::vector<char> out;
  out.reserve(bytes.size() * 2);
  from_cp949().run(reinterpret_cast<const char*>(bytes.data()), bytes.size(), out,
                   [](std::vector<char>& o, char*& src, std::size_t& left) {
                     o.push_back(static_cast<char>(0xFD));
                     o.push_back(static_cast<char>(0xFF));
                     ++src;
                     --left;
                   });
  std::u16string s(out.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) {
    s[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) |
                                 (static_cast<unsigned char>(out[2 * i + 1]) << 8));
  }
  return s;
}

}  // namespace sandbox::code_page
