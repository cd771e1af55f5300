// ConfigFetch: downloads ip1.ini from the first mirror that serves it and reads the database and
// SFTP endpoints and logins into the thread's ModuleState.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace taviksms::platform {
class Platform;
}

namespace taviksms::core {

inline constexpr std::u16string_view kIpDownloadError = u"IP Download Error";
inline constexpr std::u16string_view kMirrorPath = u"/uini/ip1.ini";
inline constexpr std::size_t kProfileBufferSize = 80;  // the reader keeps at most 79 bytes

// The password hidden in a masked value: its characters 3, 5, 7, ... (counting from 1).
std::u16string unmask_secret(std::u16string_view stored);

// The mirror list, built afresh on every fetch: each base address + "/uini/ip1.ini".
std::vector<std::u16string> mirror_urls();

// A name beside `target` that no other fetch of this or another process uses at the same time: a
// fetch downloads into it with nothing held.
std::string temporary_name(const std::string& target);

// Whether a downloaded file is a configuration: its [ip] section has a non-empty sms_id. A page
// that is not (a proxy's or captive portal's, an error page served with 200, an empty body) counts
// as a failed mirror, as an HTTP error status does.
bool holds_configuration(platform::Platform& p, const std::string& path);

// Moves a fetch's own download `own` over `target` (ip1.ini) and runs `then` on it, as one step
// against every other fetch of this process (a mutex) and of other processes sharing the folder
// (its lock). false when the move failed (`own` is then removed).
bool install_configuration(platform::Platform& p, const std::string& own, const std::string& target,
                           const std::function<void()>& then = {});

// "OK" or "IP Download Error". Downloads run side by side, each into a file of its own; a mirror
// whose file holds no configuration is a failed one; putting the file in place as ip1.ini and
// reading it is serialised (threads and processes), so a reading never meets another fetch's
// write.
std::u16string config_fetch();

}  // namespace taviksms::core
