// What `taviksms doctor` checks, for any host that wants to tell its user why the component
// fails: the mirrors, the keys of ip1.ini, the ODBC driver, a database login, the SFTP login and
// the folder of ip1.ini, in this order.
#pragma once

#include <string>
#include <vector>

#include <taviksms/taviksms.h>

namespace taviksms {

struct DoctorCheck {
  std::string name;  // "mirror 1", "ip1.ini keys", "ODBC driver", ...
  bool ok = false;
  std::string detail;  // what was found: a status, the server's message, a path
  std::string hint;    // what to do about a failure; empty when ok
};

// Runs every check on the calling thread, with the component's own configuration (the mirror
// list, TAVIKSMS_MIRRORS included) and without touching the thread's session: ip1.ini is fetched
// into its usual folder, the database and SFTP logins are separate connections, closed at once.
TAVIKSMS_API std::vector<DoctorCheck> doctor_checks();

}  // namespace taviksms
