// The database on Windows: the ODBC objects (platform/odbc/, odbc32) with the build's driver
// (odbc_driver.cpp).
#include <windows.h>

#include "base/text.h"
#include "platform/odbc/odbc_session.h"
#include "platform/odbc/prelogin_probe.h"
#include "platform/win32/odbc_driver.h"
#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

Platform::Report Win32Platform::odbc_driver_report() {
  return describe_odbc_driver();
}

Platform::EncryptionProbe Win32Platform::probe_encryption(const std::u16string& host,
                                                          std::uint16_t port) {
  return odbc::probe_encryption(core::utf16_to_utf8(host), port, std::chrono::seconds(5));
}

std::shared_ptr<db::DbConn> Win32Platform::new_connection() {
  install_odbc_driver();
  return odbc::make_connection();
}
std::shared_ptr<db::DbCmd> Win32Platform::new_command() {
  return odbc::make_command();
}
std::shared_ptr<db::DbRs> Win32Platform::new_recordset() {
  return odbc::make_recordset();
}

}  // namespace taviksms::platform::win32
