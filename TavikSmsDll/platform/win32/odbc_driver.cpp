#include "platform/win32/odbc_driver.h"

// <windows.h> first: the ODBC headers need its types.
#include <windows.h>

#include <sql.h>
#include <sqlext.h>

#include <mutex>

#include "base/text.h"
#include "build_config.h"
#include "platform/odbc/odbc_session.h"

namespace taviksms::platform::win32 {

namespace {

// Newest first; the last one ships with every Windows.
constexpr std::u16string_view kMicrosoftDrivers[] = {
    u"ODBC Driver 18 for SQL Server", u"ODBC Driver 17 for SQL Server",
    u"ODBC Driver 13 for SQL Server", u"SQL Server"};

std::vector<std::u16string> installed_drivers() {
  std::vector<std::u16string> out;
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return out;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLWCHAR name[256];
  SQLWCHAR attrs[1024];
  SQLSMALLINT name_len = 0;
  SQLSMALLINT attrs_len = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (int i = 0; i < 256; ++i) {  // bounded: a broken driver manager cannot loop forever
    SQLRETURN rc = SQLDriversW(env, direction, name, 256, &name_len, attrs, 1024, &attrs_len);
    if (!SQL_SUCCEEDED(rc)) break;
    out.emplace_back(reinterpret_cast<const char16_t*>(name));
    direction = SQL_FETCH_NEXT;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return out;
}

std::u16string microsoft_conn_string(std::u16string_view ado, std::u16string_view driver) {
  auto q = [](std::u16string_view v) { return odbc::odbc_value(v, false); };
  const odbc::ConnItems c = odbc::parse_conn_string(ado);
  // "host,port" is the Microsoft drivers' own form of the server.
  std::u16string out = u"Driver=" + q(driver) + u";Server=" + q(c.data_source) + u";Database=" +
                       q(c.database) + u";UID=" + q(c.user) + u";PWD=" + q(c.password) + u";";
  // The OLE DB provider this replaces never encrypted; the newer drivers would insist on it.
  if (driver.starts_with(u"ODBC Driver")) out += u"Encrypt=no;";
  return out;
}

std::u16string g_driver;

std::u16string translate(std::u16string_view ado) {
  return odbc_conn_string_for(ado, g_driver);
}

}  // namespace

std::u16string choose_odbc_driver(std::u16string_view configured,
                                  const std::vector<std::u16string>& installed) {
  if (!core::iequals(configured, u"auto")) return std::u16string(configured);
  for (auto candidate : kMicrosoftDrivers) {
    for (const auto& name : installed) {
      if (core::iequals(name, candidate)) return name;
    }
  }
  return std::u16string(kMicrosoftDrivers[std::size(kMicrosoftDrivers) - 1]);
}

std::u16string odbc_conn_string_for(std::u16string_view ado, std::u16string_view driver) {
  if (core::iequals(driver, u"FreeTDS")) return odbc::translate_conn_string(ado);
  return microsoft_conn_string(ado, driver);
}

Platform::Report describe_odbc_driver() {
  install_odbc_driver();
  const bool chosen = core::iequals(core::utf8_to_utf16(TAVIKSMS_ODBC_DRIVER), u"auto");
  const std::vector<std::u16string> installed = installed_drivers();
  const std::string name = "\"" + core::utf16_to_utf8(g_driver) + "\"";
  for (const auto& d : installed) {
    if (core::iequals(d, g_driver)) {
      return {true, name + " is installed" +
                        (chosen ? " (the newest SQL Server driver installed)"
                                : " (the driver this DLL was built for)")};
    }
  }
  std::string list;
  for (const auto& d : installed) list += (list.empty() ? "" : ", ") + core::utf16_to_utf8(d);
  return {false,
          (chosen ? std::string("no SQL Server driver is installed")
                  : name + " (the driver this DLL was built for) is not installed") +
              "; the driver manager lists " + (list.empty() ? std::string("no driver") : list),
          "install Microsoft's \"ODBC Driver 18 for SQL Server\" (or any SQL Server driver) for "
          "this architecture; without it Login answers \"False\""};
}

void install_odbc_driver() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::u16string configured = core::utf8_to_utf16(TAVIKSMS_ODBC_DRIVER);
    g_driver = choose_odbc_driver(configured, core::iequals(configured, u"auto")
                                                  ? installed_drivers()
                                                  : std::vector<std::u16string>{});
    odbc::set_conn_string_translator(&translate);
  });
}

}  // namespace taviksms::platform::win32
