// The Linux binding of the platform seam: libcurl downloads, a file-based profile reader, the
// shared object's own folder, the locale's code set as the "ANSI" code page, and the ODBC
// data-access objects.
#pragma once

#include <string>

#include "base/platform/platform.h"

namespace taviksms::platform::posix {

// Whether the calling process may create files in `folder` (effective ids, as open() checks).
bool folder_writable(const std::string& folder);

// The FreeTDS ODBC driver's library (libtdsodbc.so) where it is installed, for a connection when
// no driver is registered under the name "FreeTDS"; empty when none is found.
std::string freetds_driver_library();

// The user's cache folder from the password database's home folder when there is one, else from
// $XDG_CACHE_HOME, else from $HOME + "/.cache"; relative folders do not count. Empty: none.
std::string cache_base_from(const char* pw_dir, const char* xdg_cache_home, const char* home);

// The hosts a download never sends through a proxy: loopback, then the environment's no_proxy
// (or NO_PROXY).
std::string no_proxy_list();

struct DownloadLimits {
  long connect_timeout_ms = 5000;  // TCP connect to a mirror
  long total_timeout_ms = 10000;   // the whole transfer, so a mirror that hangs costs at most this
  long max_bytes = 1 << 20;        // a larger answer is not a configuration file
};

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(DownloadLimits limits = {});

  int download_to_file(const std::string& url, const std::string& path) override;
  std::string read_profile_string(const std::string& section, const std::string& key,
                                  const std::string& def, std::size_t buffer_size,
                                  const std::string& path) override;
  std::u16string library_folder() override;
  // The library's folder when this user may write there; otherwise user_cache_base() +
  // "/taviksms", created when missing.
  std::u16string config_folder() override;
  // An exclusive lock (flock) on the folder holding `path`, waited for.
  std::shared_ptr<void> lock_config_file(const std::string& path) override;
  // The user's cache folder: the home folder from the password database + "/.cache"; for a
  // user without an entry there (a container's numeric user), $XDG_CACHE_HOME, then
  // $HOME/.cache. Empty when none is known.
  virtual std::string user_cache_base();
  // TAVIKSMS_MIRRORS from the environment.
  MirrorOverride mirror_override() const override;
  // TAVIKSMS_TRACE from the environment.
  UserSetting trace_setting() const override;
  std::unique_ptr<OutputFile> open_trace_file(const std::string& path) override;
  std::string last_download_outcome() const override;
  Report odbc_driver_report() override;
  Report config_folder_report() override;
  char16_t path_separator() const override { return u'/'; }
  std::string to_ansi(std::u16string_view text) override;
  std::u16string from_ansi(std::string_view bytes) override;
  std::u16string lower_case(std::u16string_view text) override;
  std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) override;
  std::u16string decimal_separator() override;
  // From /proc/self/fd: sockets whose peer has that port; identity is the socket's inode.
  std::vector<SocketId> tcp_sockets_to(std::uint16_t port) override;
  void shut_down_socket(const SocketId& socket) override;
  std::shared_ptr<db::DbConn> new_connection() override;
  std::shared_ptr<db::DbCmd> new_command() override;
  std::shared_ptr<db::DbRs> new_recordset() override;

  // The code set used as the ANSI code page ("UTF-8", "EUC-KR", ...).
  const std::string& codeset() const { return codeset_; }

 private:
  DownloadLimits limits_;
  std::string codeset_;
};

}  // namespace taviksms::platform::posix
