// The Linux binding of the platform seam. Each concern's members are implemented in the file of
// this folder named after the concern's header (download.cpp for downloads.h, ...); the class and
// the library's instance are in posix_platform.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/platform/platform.h"

namespace taviksms::platform::posix {

struct DownloadLimits {
  long connect_timeout_ms = 5000;  // TCP connect to a mirror
  long total_timeout_ms = 10000;   // the whole transfer, so a mirror that hangs costs at most this
  long max_bytes = 1 << 20;        // a larger answer is not a configuration file
};

class PosixPlatform : public Platform {
 public:
  explicit PosixPlatform(DownloadLimits limits = {});

  // download.cpp: libcurl; TAVIKSMS_MIRRORS from the environment.
  int download_to_file(const std::string& url, const std::string& path) override;
  std::string last_download_outcome() const override;
  MirrorOverride mirror_override() const override;

  // ini.cpp
  std::string read_profile_string(const std::string& section, const std::string& key,
                                  const std::string& def, std::size_t buffer_size,
                                  const std::string& path) override;

  // files.cpp
  std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) override;
  void save_file(const std::u16string& name, std::string_view bytes) override;
  std::int64_t file_length(const std::string& ansi_path) override;

  // trace_file.cpp: TAVIKSMS_TRACE from the environment.
  UserSetting trace_setting() const override;
  std::unique_ptr<OutputFile> open_trace_file(const std::string& path) override;
  unsigned long process_id() const override;

  // code_page.cpp
  std::string to_ansi(std::u16string_view text) override;
  std::u16string from_ansi(std::string_view bytes) override;
  std::u16string lower_case(std::u16string_view text) override;
  std::u16string decimal_separator() override;
  // The code set used as the ANSI code page ("UTF-8", "EUC-KR", ...).
  const std::string& codeset() const { return codeset_; }

  // folders.cpp
  std::u16string library_folder() override;
  // The library's folder when this user may write there; otherwise user_cache_base() +
  // "/taviksms", created when missing.
  std::u16string config_folder() override;
  Report config_folder_report() override;
  // An exclusive lock (flock) on the folder holding `path`, waited for.
  std::shared_ptr<void> lock_config_file(const std::string& path) override;
  char16_t path_separator() const override { return u'/'; }
  // The user's cache folder: the home folder from the password database + "/.cache"; for a
  // user without an entry there (a container's numeric user), $XDG_CACHE_HOME, then
  // $HOME/.cache. Empty when none is known.
  virtual std::string user_cache_base();
  // The per-user folder for ip1.ini (user_cache_base() + "/taviksms", made when missing) and why
  // it cannot be used ("" when it can); `path` is empty when no cache folder is known.
  struct UserFolder {
    std::string path, problem;
  };
  UserFolder user_folder();

  // data_access.cpp: unixODBC through platform/odbc/.
  std::shared_ptr<db::DbConn> new_connection() override;
  std::shared_ptr<db::DbCmd> new_command() override;
  std::shared_ptr<db::DbRs> new_recordset() override;
  Report odbc_driver_report() override;
  EncryptionProbe probe_encryption(const std::u16string& host, std::uint16_t port) override;

  // deadline_support.cpp: from /proc/self/fd, sockets whose peer has that port; identity is the
  // socket's inode.
  std::vector<SocketId> tcp_sockets_to(std::uint16_t port) override;
  void shut_down_socket(const SocketId& socket) override;
  LinkState link_state(const SocketId& socket) override;
  void keep_alive(const SocketId& socket) override;

  // sftp.cpp: libssh2 through platform/ssh/.
  std::unique_ptr<SftpComponent> new_sftp_component() override;

 private:
  DownloadLimits limits_;
  std::string codeset_;
};

// Shared by the files of this folder, and tested on their own.

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

// The code set of the environment's locale, without touching the process's global locale.
// Plain ASCII ("ANSI_X3.4-1968", the C locale) is widened to UTF-8.
std::string locale_codeset();

// True when `bytes` ends inside a character of `codeset`: a lead byte without all its trail bytes.
// An invalid byte elsewhere counts as a character of its own.
bool ends_mid_character(const char* codeset, std::string_view bytes);

}  // namespace taviksms::platform::posix
