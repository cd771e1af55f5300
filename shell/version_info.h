// `taviksms --version`: the component's version, the mirror list this build fetches ip1.ini
// from, and the platform, so a report of a problem says which build it is about.
#pragma once

#include <string>

namespace taviksms::shell {

std::string version_text();

}  // namespace taviksms::shell
