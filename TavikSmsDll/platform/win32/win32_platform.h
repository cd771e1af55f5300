// The Windows binding of the platform seam. Each concern's members are implemented in the file of
// this folder named after the concern's header (download.cpp for downloads.h, ...); the
// library's instance is in win32_platform.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/platform/platform.h"

namespace taviksms::platform::win32 {

class Win32Platform : public Platform {
 public:
  // download.cpp: URL moniker downloads that treat an HTTP error status as a failure.
  int download_to_file(const std::string& url, const std::string& path) override;
  std::string last_download_outcome() const override;
  // TAVIKSMS_MIRRORS from the environment, else the per-user registry value
  // HKCU\Software\TavikSms\Mirrors (a string; another type is refused, and said so).
  MirrorOverride mirror_override() const override;

  // ini.cpp: the kernel's profile reader.
  std::string read_profile_string(const std::string& section, const std::string& key,
                                  const std::string& def, std::size_t buffer_size,
                                  const std::string& path) override;

  // files.cpp
  std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) override;
  void save_file(const std::u16string& name, std::string_view bytes) override;
  std::int64_t file_length(const std::string& ansi_path) override;
  bool replace_file(const std::string& from, const std::string& to) override;
  void remove_file(const std::string& path) override;

  // trace_file.cpp: TAVIKSMS_TRACE, else HKCU\Software\TavikSms\TraceFile (for hosts started from
  // a shortcut).
  UserSetting trace_setting() const override;
  std::unique_ptr<OutputFile> open_trace_file(const std::string& path) override;
  unsigned long process_id() const override;

  // code_page.cpp: the system ANSI code page (CP_ACP).
  std::string to_ansi(std::u16string_view text) override;
  std::u16string from_ansi(std::string_view bytes) override;
  std::u16string lower_case(std::u16string_view text) override;
  std::u16string decimal_separator() override;

  // folders.cpp
  std::u16string library_folder() override;
  // The DLL's folder when this user can create files in it; otherwise (Program Files for a
  // standard user) %LOCALAPPDATA%\TavikSms, created on first use; empty when that cannot be used
  // either (unset, relative or too long, not representable in the ANSI code page, a file in the
  // folder's place).
  std::u16string config_folder() override;
  std::u16string user_config_folder();
  // The folder ip1.ini goes to: the DLL's, or which fallback and why.
  Report config_folder_report() override;
  char16_t path_separator() const override { return u'\\'; }

  // data_access.cpp: odbc32 through platform/odbc/.
  std::shared_ptr<db::DbConn> new_connection() override;
  std::shared_ptr<db::DbCmd> new_command() override;
  std::shared_ptr<db::DbRs> new_recordset() override;
  // Which driver the connection loads and whether the driver manager lists it as installed.
  Report odbc_driver_report() override;
  EncryptionProbe probe_encryption(const std::u16string& host, std::uint16_t port) override;

  // deadline_support.cpp
  bool run_detached(std::function<void()> body) override;

  // sftp.cpp: libssh2 through platform/ssh/, when the build has it.
  std::unique_ptr<SftpComponent> new_sftp_component() override;
};

// Shared by the files of this folder.

// A per-user setting: the environment variable `env`, else the string value `value` of
// HKCU\Software\TavikSms. `problem` is set when the registry value exists but is not a string
// (or is too long). (trace_file.cpp)
UserSetting user_setting(const char* env, const char* value);

// The module whose folder library_folder() reports: the DLL that holds this code (set by the COM
// server's DllMain; when unset, found from a code address). (folders.cpp)
void set_module_handle(void* hmodule);

// Downloads `url` to `path` through a temporary file, waiting at most the download's total limit
// (download.cpp). Returns the moniker's HRESULT (or a timeout's); `http_status` is the status the
// server answered, 0 when none arrived. `path` is replaced only on success with a 2xx status.
int download_with_status(const std::string& url, const std::string& path, int& http_status);

// Moves `from` over `to`, retrying for a short while: another thread may be reading the old file
// at this moment, which makes the replace fail briefly. (files.cpp)
bool replace_file_retrying(const std::string& from, const std::string& to);

// The export and trace files' object over an open file handle, which it closes. (files.cpp)
std::unique_ptr<OutputFile> output_file(void* handle);

}  // namespace taviksms::platform::win32
