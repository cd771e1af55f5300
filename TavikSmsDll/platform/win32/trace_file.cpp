// The trace file on Windows: TAVIKSMS_TRACE, else HKCU\Software\TavikSms\TraceFile, opened for
// appending; and the per-user settings both it and the mirror override read.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/win32_platform.h"

namespace taviksms::platform::win32 {

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

UserSetting Win32Platform::trace_setting() const {
  return user_setting("TAVIKSMS_TRACE", "TraceFile");
}

std::unique_ptr<OutputFile> Win32Platform::open_trace_file(const std::string& path) {
  if (path.empty()) return nullptr;
  std::u16string wide = from_ansi(path);
  HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return output_file(h);
}

unsigned long Win32Platform::process_id() const {
  return GetCurrentProcessId();
}

}  // namespace taviksms::platform::win32
