// The INI reader on POSIX: a reader of its own with the Windows profile reader's behaviour.
#include "platform/posix/ini.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include <taviksms_common/ascii.h>
#include "platform/posix/posix_platform.h"

namespace taviksms::platform::posix {

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string cut(std::string_view v, std::size_t buffer_size) {
  if (buffer_size == 0) return {};
  if (v.size() > buffer_size - 1) v = v.substr(0, buffer_size - 1);
  return std::string(v);
}

}  // namespace

std::string profile_lookup(std::string_view content, std::string_view section, std::string_view key,
                           std::string_view def, std::size_t buffer_size) {
  if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);

  bool in_section = false;
  bool section_seen = false;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t eol = content.find('\n', pos);
    if (eol == std::string_view::npos) eol = content.size();
    std::string_view line = trim(content.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (section_seen && in_section) break;  // only the first section of that name counts
      std::size_t close = line.rfind(']');
      std::string_view name =
          trim(close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1));
      in_section = ascii::iequals(name, section);
      section_seen = section_seen || in_section;
      continue;
    }
    if (!in_section) continue;
    std::size_t eq = line.find('=');
    std::string_view name = trim(eq == std::string_view::npos ? line : line.substr(0, eq));
    if (!ascii::iequals(name, key)) continue;
    std::string_view value =
        eq == std::string_view::npos ? std::string_view() : trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return cut(value, buffer_size);
  }
  return cut(def, buffer_size);
}

std::string PosixPlatform::read_profile_string(const std::string& section, const std::string& key,
                                               const std::string& def, std::size_t buffer_size,
                                               const std::string& path) {
  if (buffer_size == 0) return {};
  std::string content;
  if (std::ifstream f(path, std::ios::binary); f) {
    content.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::string value = profile_lookup(content, section, key, def, std::string::npos);
  // The Windows reader converts whole characters only, and the NUL-filled buffer then ends the
  // value before a character that did not fit: a multi-byte character is never cut in half.
  std::size_t keep = std::min(value.size(), buffer_size - 1);
  for (int back = 0; back < 3 && keep > 0 && keep < value.size() &&
                     ends_mid_character(codeset_.c_str(), std::string_view(value).substr(0, keep));
       ++back) {
    --keep;
  }
  value.resize(keep);
  return value;
}

}  // namespace taviksms::platform::posix
