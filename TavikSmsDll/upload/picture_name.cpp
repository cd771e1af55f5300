#include "upload/picture_name.h"

#include "base/platform/platform.h"
#include "session/db_open.h"

namespace taviksms::upload {

std::u16string lower_case(std::u16string_view s) {
  std::u16string out(s);
  bool ascii = true;
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 32);
    } else if (c >= 0x80) {
      ascii = false;
    }
  }
  // Picture names are nearly always ASCII; the rest needs the system's Unicode case table.
  return ascii ? out : platform::current().lower_case(s);
}

std::u16string picture_base_name(std::u16string_view path) {
  return lower_case(core::base_file_name(path, platform::current().path_separator()));
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
