// Folders on Windows: the DLL's own folder, and ip1.ini's (the DLL's, or
// %LOCALAPPDATA%\TavikSms when this user cannot create files there).
#include <windows.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "platform/win32/win32_platform.h"

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

}  // namespace taviksms::platform::win32
