#include "registered_doctor.h"

#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <string>

#include <taviksms_common/utf8.h>

#include "com/automation.h"
#include "win32_text.h"

namespace taviksms::shell {

namespace {

using com::from_bstr;

std::string utf8(std::u16string_view s) {
  return utf::utf16_to_utf8(s);
}

// The system's text for a Win32 error code, with the code.
std::string error_text(DWORD code) {
  std::string text = "error " + std::to_string(code);
  const std::u16string message = win32::system_message(code);
  if (!message.empty()) text += ": " + utf8(message);
  return text;
}

// The DLL registered for TavikSmsDll.TavikSms in this program's registry view (a 32-bit program
// sees the 32-bit one, as a 32-bit host does), as the first doctor line; empty when none.
std::wstring registered_server(std::vector<DoctorLine>& out) {
  constexpr bool k64 = sizeof(void*) == 8;
  const std::string view = k64 ? "64-bit" : "32-bit";
  const char* register_hint =
      "register the component: regsvr32 TavikSmsDll.dll (regsvr32 /n /i:user TavikSmsDll.dll for "
      "this user only), or install the MSI package";
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(L"TavikSmsDll.TavikSms", &clsid);
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    out.push_back({false, "registration",
                   "TavikSmsDll.TavikSms is not registered (" + std::string(code) + ")",
                   register_hint});
    return {};
  }
  wchar_t guid[40] = {};
  StringFromGUID2(clsid, guid, 40);
  const std::wstring key = std::wstring(L"CLSID\\") + guid + L"\\InprocServer32";
  std::vector<wchar_t> path(32768);
  DWORD size = static_cast<DWORD>(path.size() * sizeof(wchar_t));
  LSTATUS rc = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                            path.data(), &size);
  if (rc != ERROR_SUCCESS || path[0] == 0) {
    // Registered in the other view only: the other architecture's DLL.
    HKEY other = nullptr;
    const bool elsewhere = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0,
                                         KEY_READ | (k64 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY),
                                         &other) == ERROR_SUCCESS;
    if (other) RegCloseKey(other);
    const std::string other_view = k64 ? "32-bit" : "64-bit";
    out.push_back({false, "registration",
                   "TavikSmsDll.TavikSms names no DLL in the " + view + " registry view" +
                       (elsewhere ? " (it is registered in the " + other_view + " view only)" : ""),
                   elsewhere ? "run the " + other_view + " taviksms.exe (the one beside the " +
                                   other_view + " DLL), or register the " + view + " DLL as well"
                             : std::string(register_hint)});
    return {};
  }
  out.push_back({true,
                 "registration",
                 "TavikSmsDll.TavikSms " + utf8(win32::from_wide(guid)) + ": " +
                     utf8(win32::from_wide(path.data())) + " (" + view + " view)",
                 {}});
  return path.data();
}

}  // namespace

std::vector<DoctorLine> registered_doctor() {
  std::vector<DoctorLine> out;
  const std::wstring dll = registered_server(out);
  if (dll.empty()) return out;
  const std::string shown = utf8(win32::from_wide(dll.c_str()));
  HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    const DWORD code = GetLastError();
    out.push_back({false, "component", "cannot load " + shown + ": " + error_text(code),
                   code == ERROR_BAD_EXE_FORMAT
                       ? "the registered DLL is for the other architecture: register the DLL of "
                         "this architecture, or run the taviksms.exe beside that DLL"
                       : "reinstall the component (the registration names a missing or damaged "
                         "file)"});
    return out;
  }
  using Entry = HRESULT(WINAPI*)(BSTR*);
  auto entry =
      reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "TavikSmsDoctor")));
  if (!entry) {
    out.push_back({false, "component", shown + " has no TavikSmsDoctor entry (an older version)",
                   "install the component of this shell's version"});
    return out;
  }
  BSTR report = nullptr;
  const HRESULT hr = entry(&report);
  std::string text = utf8(from_bstr(report));
  SysFreeString(report);
  if (FAILED(hr)) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    out.push_back({false, "component", shown + ": the checks failed (" + code + ")", {}});
    return out;
  }
  // "ok|FAIL <tab> name <tab> detail <tab> hint" per line.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> f;
    std::size_t a = start;
    for (;;) {
      std::size_t tab = text.find('\t', a);
      if (tab == std::string::npos || tab > end) tab = end;
      f.push_back(text.substr(a, tab - a));
      if (tab == end) break;
      a = tab + 1;
    }
    f.resize(4);
    out.push_back({f[0] == "ok", f[1], f[2], f[3]});
    start = end + 1;
  }
  // The DLL stays loaded: the process ends after the report.
  return out;
}

}  // namespace taviksms::shell
