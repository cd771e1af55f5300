// The seam's database: the data-access objects (db/session.h) on the platform's driver, the
// driver's report, and the overall limits of a session's work. Bindings: posix/data_access.cpp,
// win32/data_access.cpp, both on odbc/.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "base/platform/report.h"

namespace taviksms::db {
class DbConn;
class DbCmd;
class DbRs;
}  // namespace taviksms::db

namespace taviksms::platform {

class DataAccess {
 public:
  virtual ~DataAccess() = default;

  // New, unopened data-access objects.
  virtual std::shared_ptr<db::DbConn> new_connection() = 0;
  virtual std::shared_ptr<db::DbCmd> new_command() = 0;
  virtual std::shared_ptr<db::DbRs> new_recordset() = 0;

  // The ODBC driver the connection will load: ok, and which (by name, or the library path it
  // falls back to), or why none can be loaded.
  virtual Report odbc_driver_report() { return {true, "not checked on this platform"}; }

  // The overall limits of a database session's work, as the data-access library's connection
  // and command timeouts bound them: opening the connection, and each command from its sending
  // to its last row. Tests shorten them.
  struct DbDeadlines {
    std::chrono::milliseconds open{15000};
    std::chrono::milliseconds command{30000};
  };
  virtual DbDeadlines db_deadlines() { return {}; }

  // The server's PRELOGIN answer about encryption, asked as the driver asks by default (on a
  // connection of its own): `answer` 0 (it offers encryption: the login goes encrypted), 1 or 3
  // (it requires it: the whole session), 2 (it offers none), or -1 with `problem` saying why no
  // answer came.
  struct EncryptionProbe {
    int answer = -1;
    std::string problem;
  };
  virtual EncryptionProbe probe_encryption(const std::u16string& host, std::uint16_t port) {
    (void)host;
    (void)port;
    return {-1, "not checked on this platform"};
  }
};

// What a server's PRELOGIN answer about encryption means for the component's connection: the
// driver, as the component opens it, asks for nothing, takes what the server offers and checks
// no certificate.
inline std::string describe_encryption_answer(int answer) {
  switch (answer) {
    case 0:
      return "the server offers encryption: the login goes encrypted (TLS), the rest of the "
             "session in clear; its certificate is not verified";
    case 1:
    case 3:
      return "the server requires encryption: the whole session is encrypted (TLS); its "
             "certificate is not verified";
    case 2:
      return "the server offers no encryption: the login and the session go in clear";
    default:
      return "the server answers encryption " + std::to_string(answer) +
             ", which no driver knows: Login may answer \"False\"";
  }
}

}  // namespace taviksms::platform
