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

// "OK" or "IP Download Error". Downloads run side by side, each into a file of its own; putting
// the file in place as ip1.ini and reading it is serialised (threads and processes), so a reading
// never meets another fetch's write.
std::u16string config_fetch();

}  // namespace taviksms::core
