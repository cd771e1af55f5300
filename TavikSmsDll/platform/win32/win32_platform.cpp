#include "platform/win32/win32_platform.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "component/error.h"
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
