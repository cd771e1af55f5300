#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "platform/odbc/odbc_session.h"
#include "platform/win32/odbc_driver.h"

namespace taviksms::platform::win32 {

namespace {

HMODULE g_module = nullptr;

HMODULE own_module() {
  if (g_module) return g_module;
  HMODULE found = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&own_module), &found);
  return found;
}

// The runtime's file-error number for a Win32 error of CreateFileW or WriteFile.
std::int32_t file_error_number(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return 75;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return 70;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
      return 76;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return 61;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return 52;
    default:
      return 57;
  }
}

class Win32OutputFile final : public OutputFile {
 public:
  explicit Win32OutputFile(HANDLE h) : h_(h) {}
  ~Win32OutputFile() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  void write(std::string_view bytes) override {
    if (h_ == INVALID_HANDLE_VALUE) core::raise_file_error(52);
    while (!bytes.empty()) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
      DWORD done = 0;
      if (!WriteFile(h_, bytes.data(), chunk, &done, nullptr)) {
        core::raise_file_error(file_error_number(GetLastError()));
      }
      bytes.remove_prefix(done);
    }
  }
  void close() override {
    if (h_ == INVALID_HANDLE_VALUE) return;
    BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    if (!ok) core::raise_file_error(file_error_number(GetLastError()));
  }

 private:
  HANDLE h_;
};

// Longest folder, in ANSI bytes, that leaves room within MAX_PATH (the limit of the ANSI file
// functions the download and the profile reader use) for "\ip1.ini" and the download's temporary
// name beside it, "ip1.ini.<process>-<thread>-<n>.part" (up to 46 bytes).
constexpr std::size_t kMaxConfigFolderBytes = MAX_PATH - 1 - 46;

// Whether this user may create files in `folder`: a file of its own, created and deleted on
// close, answers what attributes cannot (ACLs, Program Files for a standard user, read-only
// media).
bool folder_writable(const std::u16string& folder) {
  std::wstring probe = std::wstring(folder.begin(), folder.end()) + L"\\ip1.ini." +
                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetCurrentThreadId()) + L".probe";
  HANDLE h = CreateFileW(
      probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

}  // namespace

void set_module_handle(void* hmodule) {
  g_module = static_cast<HMODULE>(hmodule);
}

std::string Win32Platform::read_profile_string(const std::string& section, const std::string& key,
                                               const std::string& def, std::size_t buffer_size,
                                               const std::string& path) {
  if (buffer_size == 0) return {};
  std::vector<char> buffer(buffer_size, '\0');
  DWORD got = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                       static_cast<DWORD>(buffer_size), path.c_str());
  if (got >= buffer_size) got = static_cast<DWORD>(buffer_size - 1);
  return std::string(buffer.data(), got);
}

std::u16string Win32Platform::library_folder() {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(own_module(), name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return u".";
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    if (name.size() >= 32768) return u".";
    name.resize(name.size() * 2);
  }
  std::u16string path(name.begin(), name.end());
  std::size_t sep = path.find_last_of(u"\\/");
  if (sep == std::u16string::npos) return u".";
  return path.substr(0, sep);
}

std::u16string Win32Platform::config_folder() {
  std::u16string lib = library_folder();
  if (folder_writable(lib)) return lib;
  // Installed where the user may not write (Program Files): the user's own folder.
  return user_config_folder();
}

std::u16string Win32Platform::user_config_folder() {
  DWORD need = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  if (need == 0 || need > 32767) return {};
  std::wstring base(need, L'\0');
  DWORD got = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), need);
  if (got == 0 || got >= need) return {};
  base.resize(got);
  while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
  // Only an absolute folder ("X:\..." or "\\server\share\..."): a relative one would put the file
  // in whatever the host's current directory is.
  const bool drive = base.size() >= 3 && base[1] == L':' && (base[2] == L'\\' || base[2] == L'/') &&
                     ((base[0] >= L'A' && base[0] <= L'Z') || (base[0] >= L'a' && base[0] <= L'z'));
  const bool unc = base.size() >= 3 && base[0] == L'\\' && base[1] == L'\\';
  if (!drive && !unc) return {};
  std::u16string folder(base.begin(), base.end());
  folder += u"\\TavikSms";
  // The download and the profile reader take ANSI paths: the name must survive the code page and
  // fit their limit.
  std::string ansi = to_ansi(folder);
  if (ansi.size() > kMaxConfigFolderBytes || from_ansi(ansi) != folder) return {};
  auto* wide = reinterpret_cast<const wchar_t*>(folder.c_str());
  if (!CreateDirectoryW(wide, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return {};
  // A file where the folder should be: nothing can be stored.
  DWORD attrs = GetFileAttributesW(wide);
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
  return folder;
}

std::string Win32Platform::to_ansi(std::u16string_view text) {
  if (text.empty()) return {};
  auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  int len = static_cast<int>(text.size());
  int need = WideCharToMultiByte(CP_ACP, 0, wide, len, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(need > 0 ? need : 0), '\0');
  if (need > 0) WideCharToMultiByte(CP_ACP, 0, wide, len, out.data(), need, nullptr, nullptr);
  return out;
}

std::u16string Win32Platform::from_ansi(std::string_view bytes) {
  if (bytes.empty()) return {};
  int len = static_cast<int>(bytes.size());
  int need = MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(need > 0 ? need : 0), u'\0');
  if (need > 0) {
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, reinterpret_cast<wchar_t*>(out.data()), need);
  }
  return out;
}

std::u16string Win32Platform::lower_case(std::u16string_view text) {
  std::u16string out(text);
  if (out.empty()) return out;
  auto* wide = reinterpret_cast<wchar_t*>(out.data());
  int len = static_cast<int>(out.size());
  // The invariant locale's table, so the user's language (Turkish dotted I) changes nothing.
  // Lower-casing maps character by character: the length is kept.
  std::u16string mapped(out.size(), u'\0');
  int got = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide, len,
                          reinterpret_cast<wchar_t*>(mapped.data()), len, nullptr, nullptr, 0);
  if (got == len) return mapped;
  CharLowerBuffW(wide, static_cast<DWORD>(len));
  return out;
}

UserSetting user_setting(const char* env, const char* value) {
  UserSetting out;
  char buf[4096];
  DWORD n = GetEnvironmentVariableA(env, buf, sizeof buf);
  if (n > 0 && n < sizeof buf) {
    out.value.assign(buf, n);
    out.source = env;
    return out;
  }
  if (n >= sizeof buf) {  // longer than any valid setting: refused, not cut
    out.source = env;
    out.problem = "longer than " + std::to_string(sizeof buf - 1) + " bytes";
    out.value.assign(buf, sizeof buf - 1);
    return out;
  }
  DWORD type = 0;
  DWORD size = sizeof buf;
  LSTATUS rc = RegGetValueA(HKEY_CURRENT_USER, "Software\\TavikSms", value,
                            RRF_RT_ANY | RRF_NOEXPAND, &type, buf, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return out;
  out.source = std::string("HKCU\\Software\\TavikSms\\") + value;
  if (rc == ERROR_MORE_DATA) {
    out.problem = "longer than " + std::to_string(sizeof buf - 1) + " bytes";
  } else if (rc != ERROR_SUCCESS) {
    out.problem = "cannot be read (error " + std::to_string(rc) + ")";
  } else if (type != REG_SZ && type != REG_EXPAND_SZ) {
    out.problem = "is not a string value (REG_SZ)";
  } else {
    out.value.assign(buf, size > 0 ? std::strlen(buf) : 0);
  }
  return out;
}

MirrorOverride Win32Platform::mirror_override() const {
  UserSetting s = user_setting("TAVIKSMS_MIRRORS", "Mirrors");
  if (s.source.empty()) return {};
  if (!s.problem.empty()) {
    MirrorOverride o;
    o.source = s.source;
    o.problem = s.problem;
    return o;
  }
  return parse_mirror_override(s.value, s.source);
}

UserSetting Win32Platform::trace_setting() const {
  return user_setting("TAVIKSMS_TRACE", "TraceFile");
}

Platform::Report Win32Platform::config_folder_report() {
  const std::u16string lib = library_folder();
  const std::string lib_text = core::utf16_to_utf8(lib);
  const char* hint =
      "give this user write access to the DLL's folder, or a LOCALAPPDATA that names an absolute, "
      "writable folder (where %LOCALAPPDATA%\\TavikSms can be created)";
  if (folder_writable(lib)) return {true, lib_text + " (the DLL's folder), writable", {}};
  const std::u16string user = user_config_folder();
  if (user.empty()) {
    return {false,
            lib_text +
                " (the DLL's folder) is not writable, and %LOCALAPPDATA%\\TavikSms cannot "
                "be used (LOCALAPPDATA unset, not absolute, too long, not in the ANSI code "
                "page, or a file in the folder's place)",
            hint};
  }
  const std::string user_text = core::utf16_to_utf8(user);
  if (!folder_writable(user)) {
    return {false, user_text + " (per-user folder) is not writable", hint};
  }
  return {true,
          user_text + " (per-user folder: the DLL's folder " + lib_text + " is not writable)",
          {}};
}

std::unique_ptr<OutputFile> Win32Platform::open_trace_file(const std::string& path) {
  if (path.empty()) return nullptr;
  std::u16string wide = from_ansi(path);
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32OutputFile>(h);
}

std::unique_ptr<OutputFile> Win32Platform::create_output_file(const std::u16string& name) {
  if (name.empty() || name.find(u'\0') != std::u16string::npos) core::raise_file_error(52);
  // Others may read the file while it is written, as with the runtime's sequential output, but
  // not write it: another session's export of the same file (which asks for write access) fails
  // with a sharing violation ("Permission denied") until this one is closed, and never empties it.
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(name.c_str()), GENERIC_WRITE,
                         FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) core::raise_file_error(file_error_number(GetLastError()));
  // Only a file on a disk keeps what is written (not a pipe or a device such as NUL).
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    core::raise_file_error(75);
  }
  return std::make_unique<Win32OutputFile>(h);
}

std::u16string Win32Platform::decimal_separator() {
  wchar_t buf[8] = {};
  int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  if (n <= 1) return u".";
  return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<std::size_t>(n - 1));
}

Platform::Report Win32Platform::odbc_driver_report() {
  return describe_odbc_driver();
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

namespace taviksms::platform {

Platform& default_platform() {
  static win32::Win32Platform instance;
  return instance;
}

}  // namespace taviksms::platform
