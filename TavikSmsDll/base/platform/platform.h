// The seam between the portable core and the operating system. The core reaches downloads, the
// INI reader, the library's folder, the system code page and the database only through
// platform::current(); each platform folder (posix/, odbc/, ...) supplies one implementation.
//
// Byte texts at this seam ("ansi") are in the system ANSI code page, as the core hands them to
// the OS-style calls it mimics.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace taviksms::db {
class DbConn;
class DbCmd;
class DbRs;
}  // namespace taviksms::db

namespace taviksms::platform {

// The SFTP client the picture upload drives (SftpComponent). Configure, Connect, then PutFile;
// destroying it ends the connection. No operation throws: Connect and PutFile report by result.
class SftpComponent {
 public:
  virtual ~SftpComponent() = default;
  virtual void set_host(const std::u16string& host) = 0;
  virtual void set_user_name(const std::u16string& user) = 0;
  virtual void set_password(const std::u16string& password) = 0;
  virtual void set_port(std::int32_t port) = 0;
  // Remote names given to put_file are resolved against this folder ("." is the login folder).
  virtual void set_remote_path(const std::u16string& path) = 0;
  // Transfer settings, the mode switch and the selection the callers set; they may be accepted
  // without effect by a binding whose library needs no such tuning.
  virtual void set_setting_1(std::int32_t value) = 0;
  virtual void set_setting_2(std::int32_t value) = 0;
  virtual void set_setting_3(std::int32_t value) = 0;
  virtual void set_switch(bool on) = 0;
  virtual void select(std::int32_t choice) = 0;
  // Opens and authenticates the connection with the values set before; true when connected.
  // Already connected: true at once.
  virtual bool connect() = 0;
  virtual bool connected() const = 0;
  // Copies the local file `local_path` (converted to the host encoding by the calling thread's
  // platform) to the server as `remote_name`; true when the whole file was written and closed.
  virtual bool put_file(const std::u16string& remote_name, const std::u16string& local_path) = 0;
};

// A file open for output in the component's export slot. write() hands the bytes to the
// operating system before it returns (nothing stays in a buffer of the process); a failure raises
// core::Error with the runtime's file-error text. close() releases the file; it is also released
// when the object is destroyed.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  virtual void write(std::string_view bytes) = 0;
  virtual void close() = 0;
};

// A replacement of the built-in mirror list for development and CI: TAVIKSMS_MIRRORS in the
// environment (Windows: also the per-user registry value HKCU\Software\TavikSms\Mirrors).
struct MirrorOverride {
  std::string source;                 // where it was found; empty: no override is set
  std::string shown;                  // the value as given, cut for messages
  std::vector<std::u16string> bases;  // the bases to use when `problem` is empty
  std::string problem;                // why the value is refused (the built-in list is used)
};
inline constexpr std::size_t kMirrorOverrideMaxLength = 1024;
// Checks a value: one to three "http://" or "https://" base addresses with a host (an optional
// ":port" and path), separated by ';', at most kMirrorOverrideMaxLength bytes, no blanks or
// control characters. A trailing '/' is dropped, as the fetch appends "/uini/ip1.ini".
MirrorOverride parse_mirror_override(std::string_view value, std::string source);

// A per-user setting as the environment (or on Windows the registry) gives it. `source` names
// where it came from ("TAVIKSMS_TRACE", "HKCU\Software\TavikSms\TraceFile"); `problem` says
// why the value cannot be used. All empty: not set.
struct UserSetting {
  std::string value, source, problem;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Mirror base addresses ("http://host:port"), tried in order: the override when one is set and
  // valid (mirror_override), otherwise the build's list. A refused override is traced.
  virtual std::vector<std::u16string> mirror_bases() const;
  // The override as the environment (and on Windows the registry) gives it; none by default.
  virtual MirrorOverride mirror_override() const { return {}; }

  // The trace file the user asked for (TAVIKSMS_TRACE; Windows: also the per-user registry value
  // HKCU\Software\TavikSms\TraceFile); an empty value: no trace. A setting with a problem (a
  // registry value that is not a string) writes no trace; doctor names it.
  virtual UserSetting trace_setting() const { return {}; }
  // `path` opened for appending trace lines (created when missing); nullptr when it cannot be.
  virtual std::unique_ptr<OutputFile> open_trace_file(const std::string& path);

  // Downloads `url` into the file `path`, replacing it. 0 when the file was written; any other
  // value means this source failed (unreachable, timed out, HTTP error status, write failure).
  virtual int download_to_file(const std::string& url, const std::string& path) = 0;

  // What the calling thread's last download_to_file saw ("HTTP 200, 120 bytes", "error: ..."),
  // for taviksms doctor; empty when the binding does not say.
  virtual std::string last_download_outcome() const { return {}; }
  // The ODBC driver the connection will load: ok, and which (by name, or the library path it
  // falls back to), or why none can be loaded.
  struct Report {
    Report(bool ok_, std::string text_, std::string hint_ = {})
        : ok(ok_), text(std::move(text_)), hint(std::move(hint_)) {}
    bool ok;
    std::string text;  // UTF-8
    std::string hint;  // what to do about a failure here; empty: doctor's general hint
  };
  virtual Report odbc_driver_report() { return {true, "not checked on this platform"}; }
  // Where ip1.ini goes (config_folder) and whether it can be written there.
  virtual Report config_folder_report() { return {true, to_ansi(config_folder())}; }

  // Reads `key` of `section` from the INI file `path` into a buffer of `buffer_size` bytes, the
  // way the Windows profile reader does: at most buffer_size-1 bytes, `def` when the file or key
  // is missing.
  virtual std::string read_profile_string(const std::string& section, const std::string& key,
                                          const std::string& def, std::size_t buffer_size,
                                          const std::string& path) = 0;

  // The folder holding the component's library, without a trailing separator.
  virtual std::u16string library_folder() = 0;
  // The folder ip1.ini is downloaded to: the library's folder unless a platform must go
  // elsewhere (a per-user folder when the library's is not writable: ~/.cache/taviksms on Linux,
  // %LOCALAPPDATA%\TavikSms on Windows). Empty: no folder the user can write to; the fetch then
  // fails as if no mirror had answered.
  virtual std::u16string config_folder() { return library_folder(); }
  // Holds the local ip1.ini against other processes while a fetch puts its download in place
  // and reads it; released when the returned object is destroyed. nullptr: no lock across
  // processes (the fetch still keeps its own threads apart).
  virtual std::shared_ptr<void> lock_config_file(const std::string& path);
  // Moves the file `from` over `to` in one step (replacing it); false when that failed.
  virtual bool replace_file(const std::string& from, const std::string& to);
  // Deletes `path` if it exists; never fails.
  virtual void remove_file(const std::string& path);
  virtual char16_t path_separator() const = 0;

  // Conversion to and from the system ANSI code page.
  virtual std::string to_ansi(std::u16string_view text) = 0;
  virtual std::u16string from_ansi(std::string_view bytes) = 0;

  // Creates the file `name` (relative names in the process's current directory) or empties it,
  // open for output. Raises core::Error when it cannot be created.
  virtual std::unique_ptr<OutputFile> create_output_file(const std::u16string& name) = 0;

  // The decimal separator of the user's regional settings (Windows: the user locale; POSIX: the
  // environment's LC_NUMERIC).
  virtual std::u16string decimal_separator() = 0;

  // `text` in lower case by the system's locale-independent Unicode case table: letters of the
  // Basic Multilingual Plane with a simple lower-case mapping; surrogates, characters without a
  // mapping and the length stay as they are.
  virtual std::u16string lower_case(std::u16string_view text) = 0;

  // The overall limits of a database session's work, as the data-access library's connection
  // and command timeouts bound them: opening the connection, and each command from its sending
  // to its last row. Tests shorten them.
  struct DbDeadlines {
    std::chrono::milliseconds open{15000};
    std::chrono::milliseconds command{30000};
  };
  virtual DbDeadlines db_deadlines() { return {}; }
  // A TCP socket of this process: its descriptor and what identifies the socket itself (a
  // descriptor number may be reused once the socket is closed).
  struct SocketId {
    std::intptr_t handle = -1;
    std::uint64_t identity = 0;
    bool operator==(const SocketId&) const = default;
  };
  // The TCP sockets of this process connected to a remote `port`. Comparing the list before and
  // after a database connect finds the socket the driver opened, which is the only way to end a
  // call the driver keeps waiting in. Empty where the platform cannot tell.
  virtual std::vector<SocketId> tcp_sockets_to(std::uint16_t port);
  // Shuts the socket down (both ways) if it is still the one identified; whoever waits on it
  // returns at once. The descriptor stays open for its owner to close.
  virtual void shut_down_socket(const SocketId& socket);
  // Runs `body` on a new thread of its own that nobody waits for; the library stays loaded
  // until it has finished. False when no thread could be started (`body` did not run).
  virtual bool run_detached(std::function<void()> body);

  // New, unopened data-access objects.
  virtual std::shared_ptr<db::DbConn> new_connection() = 0;
  virtual std::shared_ptr<db::DbCmd> new_command() = 0;
  virtual std::shared_ptr<db::DbRs> new_recordset() = 0;

  // Picture upload (defaults in platform/upload_defaults.cpp, on POSIX and libssh2).
  // Length in bytes of the regular file `ansi_path`; -1 when it cannot be obtained (no such
  // file, a directory or device, an unusable name such as one holding NUL). Never throws.
  virtual std::int64_t file_length(const std::string& ansi_path);
  // A new, unconnected SFTP client; nullptr when none can be made.
  virtual std::unique_ptr<SftpComponent> new_sftp_component();
};

// The platform in force on the calling thread: a test override if one is installed on this
// thread (platform/testing.h), otherwise the platform binding's default instance.
Platform& current();

// Supplied by the platform binding compiled into the library.
Platform& default_platform();

// The build's mirror list (TAVIKSMS_MIRRORS), split at ';'.
std::vector<std::u16string> built_in_mirror_bases();

}  // namespace taviksms::platform
