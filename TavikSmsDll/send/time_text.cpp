#include "send/time_text.h"

namespace taviksms::send {

std::u16string window_time_text(std::u16string_view t) {
  std::u16string text;
  if (t.size() >= 2 && t[0] == u'2' && t[1] == u'0') {
    text = t;
  } else {
    text = u"20";
    text += t.substr(0, 10);
  }
  std::u16string out = u"@@@@-@@-@@ @@:@@";
  std::size_t src = text.size();
  for (std::size_t pos = out.size(); pos-- > 0;) {
    if (out[pos] != u'@') continue;
    out[pos] = src > 0 ? text[--src] : u' ';
  }
  return out;
}

std::u16string expand_time_text(std::u16string_view t) {
  std::size_t first = t.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return {};
  std::size_t last = t.find_last_not_of(u' ');
  return window_time_text(t.substr(first, last - first + 1));
}

}  // namespace taviksms::send
