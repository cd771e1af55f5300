// The business registration number sent by AddMember. Properties: a number whose fourth
// character is not a dash goes out unchanged; one with a dash there loses exactly the
// characters at positions 4 and 7 and everything after the twelfth, keeping the rest in order
// (the three-two-five grouping becomes its ten characters); the result is never longer than the
// input, and normalising twice changes nothing more for a result without a dash at position 4.
#include <string>

#include "account/account.h"
#include "fuzz_util.h"

using taviksms::core::normalize_tax_no;

namespace {

void check(const std::u16string& in) {
  const std::u16string out = normalize_tax_no(in);
  FUZZ_CHECK(out.size() <= in.size());
  if (in.size() < 4 || in[3] != u'-') {
    FUZZ_CHECK(out == in);
    return;
  }
  std::u16string want;
  for (std::size_t i = 0; i < in.size() && i < 12; ++i) {
    if (i != 3 && i != 6) want.push_back(in[i]);
  }
  FUZZ_CHECK(out == want);
  FUZZ_CHECK(out.size() <= 10);
  if (out.size() < 4 || out[3] != u'-') FUZZ_CHECK(normalize_tax_no(out) == out);
  // The grouped form of ten digits is those ten digits.
  bool grouped = in.size() == 12;
  for (std::size_t i = 0; grouped && i < in.size(); ++i) {
    grouped = (i == 3 || i == 6) ? in[i] == u'-' : (in[i] >= u'0' && in[i] <= u'9');
  }
  if (grouped) {
    FUZZ_CHECK(out.size() == 10 && out.find(u'-') == out.npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check(fuzz::utf16_of(data, size));
  check(fuzz::pick_from(data, size, u"0123456789--- "));
  return 0;
}
