// The seam's database: the data-access objects (db/session.h) on the platform's driver, the
// driver's report, and the overall limits of a session's work. Bindings: posix/data_access.cpp,
// win32/data_access.cpp, both on odbc/.
#pragma once

#include <chrono>
#include <memory>

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
};

}  // namespace taviksms::platform
