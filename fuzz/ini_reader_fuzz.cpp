// The INI reader on arbitrary files and lookups. Properties: the answer fits the buffer, comes
// from the file or the default, never depends on anything after the first matching key, and a
// key written plainly into its own section is always read back.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include <taviksms_common/ascii.h>
#include "fuzz_util.h"
#include "platform/posix/ini.h"

using taviksms::platform::posix::profile_lookup;

namespace {

bool plain(const std::string& s) {
  for (char c : s) {
    if (c == '\n' || c == '\r' || c == '=' || c == '[' || c == ']' || c == '"' || c == '\'' ||
        c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\0')
      return false;
  }
  return true;
}

std::string lower(std::string s) {
  return taviksms::ascii::lowered(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t buffer = in.ConsumeIntegralInRange<std::size_t>(0, 300);
  const std::string section = in.ConsumeRandomLengthString(24);
  const std::string key = in.ConsumeRandomLengthString(24);
  const std::string value = in.ConsumeRandomLengthString(120);
  const std::string def = in.ConsumeRandomLengthString(40);
  const std::string content = in.ConsumeRemainingBytesAsString();

  const std::string got = profile_lookup(content, section, key, def, buffer);
  FUZZ_CHECK(got.size() + 1 <= buffer || (buffer == 0 && got.empty()));
  FUZZ_CHECK(content.find(got) != std::string::npos || def.find(got) != std::string::npos);
  FUZZ_CHECK(profile_lookup(content, section, key, def, buffer) == got);

  // Appending lines to a file never changes a key already found in its first such section.
  const std::string found = profile_lookup(content, section, key, std::string(1, '\x01'), 512);
  if (found != "\x01" && !content.empty() && content.back() == '\n') {
    FUZZ_CHECK(profile_lookup(content + value, section, key, "\x01", 512) == found);
  }

  // A key written plainly into a fresh section reads back, whatever came before the section.
  if (!section.empty() && !key.empty() && plain(section) && plain(key) && plain(value) &&
      section.find('#') == std::string::npos) {
    const std::string fresh = "fz" + lower(section) + "x";
    bool unseen = true;
    for (std::size_t p = lower(content).find(fresh); p != std::string::npos;
         p = lower(content).find(fresh, p + 1))
      unseen = false;
    if (unseen) {
      const std::string file = content + "\n[" + fresh + "]\n" + key + " = " + value + "\n";
      const std::string back = profile_lookup(file, fresh, key, "\x01", 1024);
      FUZZ_CHECK(back == value);
      // Names compare case-insensitively.
      FUZZ_CHECK(profile_lookup(file, "FZ" + section + "X", key, "\x01", 1024) ==
                 (lower("FZ" + section + "X") == fresh ? value : std::string("\x01")));
    }
  }
  return 0;
}
