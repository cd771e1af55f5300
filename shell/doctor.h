// `taviksms doctor`: prints one line per check of taviksms::doctor_checks() with its cause and a
// hint; the exit status is 1 when any check fails.
#pragma once

#include <ostream>

namespace taviksms::shell {
int run_doctor(std::ostream& out);
}
