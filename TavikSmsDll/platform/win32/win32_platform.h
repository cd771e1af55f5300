// The Windows binding of the platform seam: URL moniker downloads that treat an HTTP error status
// as a failure, the kernel's profile reader, the DLL's own folder (or the user's, for ip1.ini),
// the system ANSI code page (CP_ACP), and the ODBC data-access objects through odbc32.
#pragma once

#include <string>

#include "base/platform/platform.h"

namespace taviksms::platform::win32 {

class Win32Platform : public Platform {
 public:
  int download_to_file(const std::string& url, const std::string& path) override;
  bool replace_file(const std::string& from, const std::string& to) override;
  void remove_file(const std::string& path) override;
  bool run_detached(std::function<void()> body) override;
  std::string read_profile_string(const std::string& section, const std::string& key,
                                  const std::string& def, std::size_t buffer_size,
                                  const std::string& path) override;
  std::u16string library_folder() override;
  // The DLL's folder when this user can create files in it; otherwise (Program Files for a
  // standard user) %LOCALAPPDATA%\TavikSms, created on first use; empty when that cannot be used
  // either (unset, relative or too long, not representable in the ANSI code page, a file in the
  // folder's place).
  std::u16string config_folder() override;
  std::u16string user_config_folder();
  char16_t path_separator() const override { return u'\\'; }
  std::string to_ansi(std::u16string_view text) override;
  std::u16string from_ansi(std::string_view bytes) override;
  std::u16string lower_case(std::u16string_view text) override;
  std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) override;
  std::u16string decimal_separator() override;
  std::shared_ptr<db::DbConn> new_connection() override;
  std::shared_ptr<db::DbCmd> new_command() override;
  std::shared_ptr<db::DbRs> new_recordset() override;
  std::string last_download_outcome() const override;
  // TAVIKSMS_MIRRORS from the environment, else the per-user registry value
  // HKCU\Software\TavikSms\Mirrors (a string; another type is refused, and said so).
  MirrorOverride mirror_override() const override;
  // TAVIKSMS_TRACE, else HKCU\Software\TavikSms\TraceFile (for hosts started from a shortcut).
  UserSetting trace_setting() const override;
  // Which driver the connection loads and whether the driver manager lists it as installed.
  Report odbc_driver_report() override;
  // The folder ip1.ini goes to: the DLL's, or which fallback and why.
  Report config_folder_report() override;
  std::unique_ptr<OutputFile> open_trace_file(const std::string& path) override;
};

// A per-user setting: the environment variable `env`, else the string value `value` of
// HKCU\Software\TavikSms. `problem` is set when the registry value exists but is not a string
// (or is too long).
UserSetting user_setting(const char* env, const char* value);

// The module whose folder library_folder() reports: the DLL that holds this code (set by the COM
// server's DllMain; when unset, found from a code address).
void set_module_handle(void* hmodule);

// Downloads `url` to `path` through a temporary file, waiting at most the download's total limit
// (download.cpp). Returns the moniker's HRESULT (or a timeout's); `http_status` is the status the
// server answered, 0 when none arrived. `path` is replaced only on success with a 2xx status.
int download_with_status(const std::string& url, const std::string& path, int& http_status);

}  // namespace taviksms::platform::win32
