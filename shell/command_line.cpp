#include "command_line.h"

namespace taviksms::shell {

namespace {

// UTF-8 bytes [b, e) appended as UTF-16; invalid bytes become U+FFFD.
void append_utf8(std::u16string& out, std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t len = c < 0x80             ? 1
                      : (c & 0xE0) == 0xC0 ? 2
                      : (c & 0xF0) == 0xE0 ? 3
                      : (c & 0xF8) == 0xF0 ? 4
                                           : 0;
    if (len == 0 || i + len > bytes.size()) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = true;
    for (std::size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(bytes[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
}

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ParsedLine parse_line(std::string_view line) {
  ParsedLine out;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n && blank(line[i])) ++i;
  if (i < n && line[i] == '#') return out;
  while (i < n) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    std::u16string word;
    if (line[i] != '"') {
      std::size_t start = i;
      while (i < n && !blank(line[i])) {
        if (line[i] == '"') {
          out.error = "a quote inside an unquoted word at column " + std::to_string(i + 1);
          return out;
        }
        ++i;
      }
      append_utf8(word, line.substr(start, i - start));
      out.words.push_back(std::move(word));
      continue;
    }
    ++i;  // opening quote
    bool closed = false;
    std::size_t run = i;  // start of the pending unescaped bytes
    while (i < n) {
      char c = line[i];
      if (c == '"') {
        append_utf8(word, line.substr(run, i - run));
        ++i;
        closed = true;
        break;
      }
      if (c != '\\') {
        ++i;
        continue;
      }
      append_utf8(word, line.substr(run, i - run));
      if (i + 1 >= n) {
        out.error = "a backslash at the end of the line";
        return out;
      }
      char e = line[i + 1];
      i += 2;
      switch (e) {
        case 'n':
          word.push_back(u'\n');
          break;
        case 't':
          word.push_back(u'\t');
          break;
        case 'r':
          word.push_back(u'\r');
          break;
        case '0':
          word.push_back(u'\0');
          break;
        case '"':
          word.push_back(u'"');
          break;
        case '\\':
          word.push_back(u'\\');
          break;
        case 'u': {
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            int h = i + static_cast<std::size_t>(k) < n ? hex(line[i + static_cast<std::size_t>(k)])
                                                        : -1;
            if (h < 0) {
              out.error = "\\u needs four hexadecimal digits";
              return out;
            }
            v = v * 16 + static_cast<unsigned>(h);
          }
          i += 4;
          word.push_back(static_cast<char16_t>(v));
          break;
        }
        default:
          out.error = std::string("unknown escape \\") + e;
          return out;
      }
      run = i;
    }
    if (!closed) {
      out.error = "unterminated quoted word";
      return out;
    }
    if (i < n && !blank(line[i])) {
      out.error = "a quoted word must be followed by a blank";
      return out;
    }
    out.words.push_back(std::move(word));
  }
  return out;
}

}  // namespace taviksms::shell
