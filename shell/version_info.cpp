#include "version_info.h"

namespace taviksms::shell {

std::string version_text() {
  std::string platform =
#if defined(_WIN32)
      "windows";
#elif defined(__linux__)
      "linux";
#else
      "unknown";
#endif
#if defined(__x86_64__) || defined(_M_X64)
  platform += "-x86_64";
#elif defined(__i386__) || defined(_M_IX86)
  platform += "-i686";
#elif defined(__aarch64__)
  platform += "-aarch64";
#endif
  std::string out = "taviksms " TAVIKSMS_SHELL_VERSION "\n";
  out += "mirrors:";
  // The build's list, ';'-separated; each is asked for /uini/ip1.ini in turn.
  const std::string mirrors = TAVIKSMS_SHELL_MIRRORS;
  std::size_t start = 0;
  while (start <= mirrors.size()) {
    const std::size_t end = mirrors.find(',', start);
    const std::string one = mirrors.substr(start, end == std::string::npos ? end : end - start);
    if (!one.empty()) out += " " + one;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  out += "\nplatform: " + platform + "\n";
  return out;
}

}  // namespace taviksms::shell
