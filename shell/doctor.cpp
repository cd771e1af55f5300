#include "doctor.h"

#include <taviksms/doctor.h>

#include <iomanip>

namespace taviksms::shell {

int run_doctor(std::ostream& out) {
  bool all_ok = true;
  try {
    for (const auto& c : doctor_checks()) {
      all_ok = all_ok && c.ok;
      out << (c.ok ? "ok    " : "FAIL  ") << std::left << std::setw(16) << c.name << c.detail
          << '\n';
      if (!c.ok && !c.hint.empty()) out << "      hint: " << c.hint << '\n';
    }
  } catch (const std::exception& e) {
    out << "FAIL  doctor          " << e.what() << '\n';
    return 1;
  }
  out << (all_ok ? "all checks passed\n" : "some checks failed\n");
  return all_ok ? 0 : 1;
}

}  // namespace taviksms::shell
