// ConfigFetch: downloads ip1.ini from the first mirror that serves it and reads the database and
// SFTP endpoints and logins into the thread's ModuleState.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace taviksms::core {

inline constexpr std::u16string_view kIpDownloadError = u"IP Download Error";
inline constexpr std::u16string_view kMirrorPath = u"/uini/ip1.ini";
inline constexpr std::size_t kProfileBufferSize = 80;  // the reader keeps at most 79 bytes

// The password hidden in a masked value: its characters 3, 5, 7, ... (counting from 1).
std::u16string unmask_secret(std::u16string_view stored);

// The mirror list, built afresh on every fetch: each base address + "/uini/ip1.ini".
std::vector<std::u16string> mirror_urls();

// "OK" or "IP Download Error". Serialised process-wide: one thread's download and reading of the
// shared local file never interleave with another's.
std::u16string config_fetch();

}  // namespace taviksms::core
