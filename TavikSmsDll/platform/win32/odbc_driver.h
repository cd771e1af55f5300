// The ODBC driver the Windows build connects through, fixed at build time (TAVIKSMS_ODBC_DRIVER):
// a driver name, or "auto" for the newest Microsoft SQL Server driver installed, else the
// "SQL Server" driver that ships with Windows. FreeTDS (under Wine it reaches the host's
// unixODBC) takes FreeTDS's own connection keywords.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/platform/platform.h"

namespace taviksms::platform::win32 {

// The driver named by `configured`, chosen among `installed` when it is "auto".
std::u16string choose_odbc_driver(std::u16string_view configured,
                                  const std::vector<std::u16string>& installed);

// "Provider=SQLOLEDB;...;Data Source=h,p;User ID=u;Password=p;" in the keywords of `driver`.
std::u16string odbc_conn_string_for(std::u16string_view ado, std::u16string_view driver);

// The build's driver, as chosen, and whether the driver manager lists it (for taviksms doctor).
Platform::Report describe_odbc_driver();

// Installs the translator for the build's driver into the ODBC session (once per process).
void install_odbc_driver();

}  // namespace taviksms::platform::win32
