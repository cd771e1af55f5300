// The data-access objects (db/session.h) on the ODBC API, wide functions only, with FreeTDS's
// behaviour in mind: parameters travel by position, so every declared parameter is bound in its
// declared order; scalar functions run as "SELECT dbo.f(?, ...)", whose one value becomes
// @RETURN_VALUE; procedures run as "{? = call p(?, ...)}" and their return status is read after
// all results are drained. Shared by every platform that has an ODBC driver manager; no OS calls.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "db/session.h"
#include "platform/odbc/connection_string.h"

namespace taviksms::platform::odbc {

std::shared_ptr<db::DbConn> make_connection();
std::shared_ptr<db::DbCmd> make_command();
std::shared_ptr<db::DbRs> make_recordset();

// Where the platform finds the FreeTDS driver's library when no driver is registered under the
// name "FreeTDS" (SQLSTATE IM002): the connection is then made once more naming that library.
// nullptr (the default): no such second try.
using DriverLibraryFinder = std::string (*)();
void set_driver_library_finder(DriverLibraryFinder finder);
// Whether the driver manager has a driver registered under `name` (case-insensitive).
bool driver_registered(std::u16string_view name);

// The server's message without the driver chain's bracketed prefixes:
// "[unixODBC][FreeTDS][SQL Server]Login failed" -> "Login failed". Nothing after "[SQL Server]"
// is cut: a server message may itself begin with a bracketed word.
std::u16string strip_diag_prefix(std::u16string_view message);
// An ODBC connection string for the trace: the PWD value replaced by its length ("***(8)"),
// the items read as the driver reads them.
std::string masked_conn_string(std::u16string_view odbc);
// One diagnostic record's message, read whole as far as ODBC can carry it (32,766 characters):
// `read(buffer, capacity, length)` is SQLGetDiagRecW for the record (its SQLRETURN). Nothing when
// the record cannot be read.
using DiagTextReader = std::function<short(char16_t* buffer, short capacity, short* length)>;
std::optional<std::u16string> read_diag_text(const DiagTextReader& read);

}  // namespace taviksms::platform::odbc

namespace taviksms::platform::odbc {
// The driver connection handle (SQLHDBC) behind a connection made here, for measurements that
// compare with raw ODBC on the same connection; nullptr when closed or not an ODBC connection.
void* native_handle(const db::DbConn& conn);
}  // namespace taviksms::platform::odbc
