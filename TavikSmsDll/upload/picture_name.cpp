#include "upload/picture_name.h"

#include <locale.h>
#include <wctype.h>

#include "db/db_open.h"
#include "platform/platform.h"

namespace taviksms::upload {

namespace {

// The C library's Unicode tables, independent of the process's own locale.
locale_t unicode_locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return loc;
}

}  // namespace

std::u16string lower_case(std::u16string_view s) {
  std::u16string out(s);
  locale_t loc = unicode_locale();
  for (char16_t& c : out) {
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 32);
    } else if (c >= 0x80 && (c < 0xD800 || c > 0xDFFF) && loc != static_cast<locale_t>(nullptr)) {
      wint_t lower = towlower_l(static_cast<wint_t>(c), loc);
      if (lower <= 0xFFFF && (lower < 0xD800 || lower > 0xDFFF)) c = static_cast<char16_t>(lower);
    }
  }
  return out;
}

std::u16string picture_base_name(std::u16string_view path) {
  return lower_case(core::base_file_name(path, platform::current().path_separator()));
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
