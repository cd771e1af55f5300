#include "upload/picture_name.h"

#include <taviksms_common/ascii.h>

#include "base/platform/platform.h"

namespace taviksms::upload {

std::u16string lower_case(std::u16string_view s) {
  std::u16string out(s);
  bool all_ascii = true;
  for (char16_t& c : out) {
    c = ascii::lower(c);
    all_ascii = all_ascii && c < 0x80;
  }
  // Picture names are nearly always ASCII; the rest needs the system's Unicode case table.
  return all_ascii ? out : platform::current().lower_case(s);
}

std::u16string base_file_name(std::u16string_view path, char16_t platform_separator) {
  std::size_t pos = path.find_last_of(std::u16string{u'\\', platform_separator});
  return std::u16string(pos == std::u16string_view::npos ? path : path.substr(pos + 1));
}

std::u16string picture_base_name(std::u16string_view path) {
  return lower_case(base_file_name(path, platform::current().path_separator()));
}

bool has_undecodable_character(std::u16string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      ++i;  // a pair: one character
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

std::u16string picture_server_name(std::u16string_view user_id, std::u16string_view path) {
  std::u16string base = picture_base_name(path);
  if (base.empty()) return {};
  std::u16string out(user_id);
  out += u'_';
  out += base;
  return out;
}

}  // namespace taviksms::upload
