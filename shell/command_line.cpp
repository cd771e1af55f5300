#include "command_line.h"

#include <taviksms_common/utf8.h>

namespace taviksms::shell {

namespace {

// UTF-8 bytes appended as UTF-16; invalid bytes become U+FFFD.
void append_utf8(std::u16string& out, std::string_view bytes) {
  out += taviksms::utf::utf8_to_utf16(bytes);
}

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool same_ascii_letters(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

constexpr std::u16string_view kPasswordMethods[] = {u"login", u"addmember"};

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ParsedLine parse_line(std::string_view line, std::size_t max_words) {
  ParsedLine out;
  const auto keep = [&](std::u16string&& word) {
    if (out.words.size() < max_words) out.words.push_back(std::move(word));
    ++out.word_count;
  };
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
      if (out.words.size() < max_words) append_utf8(word, line.substr(start, i - start));
      keep(std::move(word));
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
    keep(std::move(word));
  }
  return out;
}

bool holds_password(std::string_view line) {
  const ParsedLine parsed = parse_line(line, 1);
  if (parsed.error.empty()) {
    if (parsed.words.empty()) return false;
    for (auto name : kPasswordMethods) {
      if (same_ascii_letters(parsed.words[0], name)) return true;
    }
    return false;
  }
  const std::u16string text = taviksms::utf::utf8_to_utf16(line);
  for (auto name : kPasswordMethods) {
    for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
      if (same_ascii_letters(std::u16string_view(text).substr(at, name.size()), name)) return true;
    }
  }
  return false;
}

}  // namespace taviksms::shell
