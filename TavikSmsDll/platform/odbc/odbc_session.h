// The data-access objects (db/session.h) on the ODBC API, wide functions only, with FreeTDS's
// behaviour in mind: parameters travel by position, so every declared parameter is bound in its
// declared order; scalar functions run as "SELECT dbo.f(?, ...)", whose one value becomes
// @RETURN_VALUE; procedures run as "{? = call p(?, ...)}" and their return status is read after
// all results are drained. Shared by every platform that has an ODBC driver manager; no OS calls.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "db/session.h"

namespace taviksms::platform::odbc {

std::shared_ptr<db::DbConn> make_connection();
std::shared_ptr<db::DbCmd> make_command();
std::shared_ptr<db::DbRs> make_recordset();

// "Provider=SQLOLEDB;Initial Catalog=sms;Data Source=host,port;User ID=u;Password=p;" ->
// "Driver={FreeTDS};Server={host};Port={port};Database={sms};UID={u};PWD={p};TDS_Version=7.4;
// ClientCharset=UTF-8", each value quoted by odbc_value.
std::u16string translate_conn_string(std::u16string_view ado);

// The items of an OLE DB connection string ("Data Source=host,port;Initial Catalog=...;User
// ID=...;Password=...;"), as every ODBC form of it needs them. `port` is empty when the data
// source names none; `data_source` is the whole "host,port" text.
struct ConnItems {
  std::u16string data_source, host, port, database = u"sms", user, password;
};
ConnItems parse_conn_string(std::u16string_view ado);
// A connection-string value spelt so that FreeTDS and the Microsoft drivers both read it back
// unchanged; the item must be followed by ";". FreeTDS ends a braced value at the first "}"
// that a ";" follows and keeps "}}" as two characters, the Microsoft drivers end it at a "}"
// not doubled. So: in braces when the value holds no "}"; else bare when that is safe (no ";",
// no blank at either end, no leading "{"). A value that fits neither has no common spelling:
// it goes in the form of the driver in use (`for_freetds`), braced as is or with "}" doubled.
std::u16string odbc_value(std::u16string_view value, bool for_freetds);

// What Connection.open turns the connection string into: translate_conn_string unless a platform
// installs its own (the Windows build names the driver it was built for). nullptr restores it.
using ConnStringTranslator = std::u16string (*)(std::u16string_view ado);
void set_conn_string_translator(ConnStringTranslator translator);
ConnStringTranslator conn_string_translator();

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

}  // namespace taviksms::platform::odbc

namespace taviksms::platform::odbc {
// The driver connection handle (SQLHDBC) behind a connection made here, for measurements that
// compare with raw ODBC on the same connection; nullptr when closed or not an ODBC connection.
void* native_handle(const db::DbConn& conn);
}  // namespace taviksms::platform::odbc
