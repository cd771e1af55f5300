// The reservation and window time texts. Properties: a window text is always sixteen characters
// in the "@@@@-@@-@@ @@:@@" frame, its characters come in order from the (prefixed) input with
// blanks only at the left; the reservation form is empty exactly when the input is only blanks,
// and otherwise is the window form of the trimmed input.
#include <string>

#include "fuzz_util.h"
#include "send/time_text.h"

using taviksms::send::expand_time_text;
using taviksms::send::window_time_text;

namespace {

void check_window(std::u16string_view in) {
  const std::u16string out = window_time_text(in);
  FUZZ_CHECK(out.size() == 16);
  FUZZ_CHECK(out[4] == u'-' && out[7] == u'-' && out[10] == u' ' && out[13] == u':');

  std::u16string source(in);
  if (!(in.size() >= 2 && in[0] == u'2' && in[1] == u'0')) {
    source = u"20" + std::u16string(in.substr(0, 10));
  }
  // The twelve positions, read left to right, are the last twelve characters of the source,
  // padded with blanks at the left when it is shorter.
  std::u16string digits;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i != 4 && i != 7 && i != 10 && i != 13) digits.push_back(out[i]);
  }
  const std::u16string tail = source.size() >= 12
                                  ? source.substr(source.size() - 12)
                                  : std::u16string(12 - source.size(), u' ') + source;
  FUZZ_CHECK(digits == tail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string any = fuzz::utf16_of(data, size);
  const std::u16string digits = fuzz::pick_from(data, size, u"0123456789 2");
  for (const std::u16string* in : {&any, &digits}) {
    check_window(*in);
    const std::u16string r = expand_time_text(*in);
    const std::size_t first = in->find_first_not_of(u' ');
    if (first == std::u16string::npos) {
      FUZZ_CHECK(r.empty());
    } else {
      const std::size_t last = in->find_last_not_of(u' ');
      FUZZ_CHECK(r == window_time_text(in->substr(first, last - first + 1)));
      FUZZ_CHECK(r.size() == 16);
    }
  }
  // The usual ten-digit form becomes a full date and time.
  if (digits.size() == 10 && digits.find(u' ') == std::u16string::npos &&
      digits.substr(0, 2) != u"20") {
    const std::u16string r = expand_time_text(digits);
    FUZZ_CHECK(r.substr(0, 2) == u"20" && r.substr(2, 2) == digits.substr(0, 2) &&
               r.substr(14, 2) == digits.substr(8, 2));
  }
  return 0;
}
