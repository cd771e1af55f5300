// The shell's line parser. Properties: any line either parses or names its error; every parsed
// line, written out again with quotes and escapes, parses to the same words; a line of plain
// words splits at blanks and nowhere else.
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz_util.h"
#include "taviksms_common/utf8.h"

using taviksms::shell::parse_line;

namespace {

// The inverse of the parser for one word: every code unit that is not printable ASCII as \uXXXX.
std::string quote(const std::u16string& w) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char16_t c : w) {
    if (c == u'"' || c == u'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += digits[(c >> shift) & 0xF];
    }
  }
  return out + "\"";
}

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  // Arbitrary UTF-16, lone surrogates and NUL included, survives quoting and parsing.
  const std::u16string raw = fuzz::utf16_of(data, size);
  const auto one = parse_line(quote(raw));
  FUZZ_CHECK(one.error.empty() && one.words.size() == 1 && one.words[0] == raw);

  const auto parsed = parse_line(line);
  if (!parsed.error.empty()) return 0;

  std::string again;
  for (const auto& w : parsed.words) again += quote(w) + " ";
  const auto reparsed = parse_line(again);
  FUZZ_CHECK(reparsed.error.empty());
  FUZZ_CHECK(reparsed.words == parsed.words);

  // Without quotes, the words are the blank-separated runs (a leading '#' makes a comment).
  if (line.find('"') == std::string::npos) {
    std::vector<std::u16string> runs;
    std::size_t i = 0;
    while (i < line.size() && blank(line[i])) ++i;
    if (i < line.size() && line[i] == '#') {
      FUZZ_CHECK(parsed.words.empty());
      return 0;
    }
    while (i < line.size()) {
      std::size_t start = i;
      while (i < line.size() && !blank(line[i])) ++i;
      if (i > start) runs.push_back(taviksms::utf::utf8_to_utf16(line.substr(start, i - start)));
      while (i < line.size() && blank(line[i])) ++i;
    }
    FUZZ_CHECK(parsed.words == runs);
  }
  return 0;
}
