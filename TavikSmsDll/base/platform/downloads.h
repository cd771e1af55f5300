// The seam's downloads: the mirror list and one HTTP GET into a file. Bindings: posix/download.cpp
// (libcurl), win32/download.cpp (URLDownloadToFileA).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace taviksms::platform {

// A replacement of the built-in mirror list for development and CI: TAVIKSMS_MIRRORS in the
// environment (Windows: also the per-user registry value HKCU\Software\TavikSms\Mirrors).
struct MirrorOverride {
  std::string source;                 // where it was found; empty: no override is set
  std::string shown;                  // the value as given, cut for messages
  std::vector<std::u16string> bases;  // the bases to use when `problem` is empty
  std::string problem;                // why the value is refused (then no mirror is asked)
};
inline constexpr std::size_t kMirrorOverrideMaxLength = 1024;
// Checks a value: one to three "http://" or "https://" base addresses with a host (an optional
// ":port" and path), separated by ';', at most kMirrorOverrideMaxLength bytes, no blanks or
// control characters within an address. Blanks around an address and empty entries (after a
// trailing ';') are dropped, and so is a trailing '/', as the fetch appends "/uini/ip1.ini".
MirrorOverride parse_mirror_override(std::string_view value, std::string source);

// The build's mirror list (TAVIKSMS_MIRRORS), split at ';'.
std::vector<std::u16string> built_in_mirror_bases();

class Downloads {
 public:
  virtual ~Downloads() = default;

  // Mirror base addresses ("http://host:port"), tried in order: the override when one is set
  // (mirror_override), otherwise the build's list. An override that is set but refused gives
  // none at all (the fetch answers "IP Download Error"): a test setting with a typo must never
  // reach the service the build names. The refusal is traced.
  virtual std::vector<std::u16string> mirror_bases() const;
  // The override as the environment (and on Windows the registry) gives it; none by default.
  virtual MirrorOverride mirror_override() const { return {}; }

  // Downloads `url` into the file `path`, replacing it. 0 when the file was written; any other
  // value means this source failed (unreachable, timed out, HTTP error status, write failure).
  virtual int download_to_file(const std::string& url, const std::string& path) = 0;
  // What the calling thread's last download_to_file saw ("HTTP 200, 120 bytes", "error: ..."),
  // for taviksms doctor; empty when the binding does not say.
  virtual std::string last_download_outcome() const { return {}; }
};

}  // namespace taviksms::platform
