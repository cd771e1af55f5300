// What a platform check found, for taviksms doctor: ok, what was found, and what to do about it.
#pragma once

#include <string>
#include <utility>

namespace taviksms::platform {

struct Report {
  Report(bool ok_, std::string text_, std::string hint_ = {})
      : ok(ok_), text(std::move(text_)), hint(std::move(hint_)) {}
  bool ok;
  std::string text;  // UTF-8
  std::string hint;  // what to do about a failure here; empty: doctor's general hint
};

}  // namespace taviksms::platform
