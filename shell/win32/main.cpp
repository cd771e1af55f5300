// taviksms.exe: the shell on Windows, over the registered TavikSmsDll.TavikSms, late-bound
// through IDispatch as a script host calls it: names go through GetIDsOfNames, arguments travel
// as texts and the type library converts them. Output is UTF-8 when redirected; on a console it
// is written as wide characters, so Korean texts show whatever the console's code page.
#include <windows.h>

#include <io.h>
#include <oleauto.h>

#include <cstdio>
#include <iostream>

#include <taviksms_common/utf8.h>

#include "com/automation.h"
#include "shell.h"

namespace {

using taviksms::com::from_bstr;
using taviksms::com::to_bstr;
using taviksms::shell::Outcome;

std::string utf8(std::u16string_view s) {
  return taviksms::utf::utf16_to_utf8(s);
}

std::u16string utf16(std::string_view s) {
  return taviksms::utf::utf8_to_utf16(s);
}

// The description of a failed call; the automation runtime's own errors (unknown name, type
// mismatch) carry none, so the system's text stands in.
std::u16string description(HRESULT hr, const EXCEPINFO& ei) {
  std::u16string text = from_bstr(ei.bstrDescription);
  if (!text.empty()) return text;
  wchar_t buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(hr), 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) buf[--n] = 0;
  if (n > 0) return std::u16string(buf, buf + n);
  switch (hr) {
    case DISP_E_UNKNOWNNAME:
      return u"Unknown name.";
    case DISP_E_TYPEMISMATCH:
      return u"Type mismatch.";
    case DISP_E_BADPARAMCOUNT:
      return u"Invalid number of parameters.";
    case DISP_E_PARAMNOTOPTIONAL:
      return u"Parameter not optional.";
    default:
      return u"call failed";
  }
}

Outcome failed(HRESULT hr, const EXCEPINFO& ei) {
  const HRESULT code = hr == DISP_E_EXCEPTION && ei.scode ? ei.scode : hr;
  return {false, utf8(description(code, ei)), static_cast<std::uint32_t>(code)};
}

class DispatchInstance final : public taviksms::shell::Instance {
 public:
  explicit DispatchInstance(IDispatch* d) : d_(d) {}
  ~DispatchInstance() override { d_->Release(); }
  DispatchInstance(const DispatchInstance&) = delete;
  DispatchInstance& operator=(const DispatchInstance&) = delete;

  Outcome call(const std::u16string& name, const std::vector<std::u16string>& words) override {
    std::wstring wide(name.begin(), name.end());
    LPOLESTR names[] = {wide.data()};
    DISPID id = 0;
    EXCEPINFO ei{};
    HRESULT hr = d_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return failed(hr, ei);
    // Arguments are passed right to left, as IDispatch expects.
    std::vector<VARIANT> args(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
      VARIANT& v = args[words.size() - 1 - i];
      VariantInit(&v);
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = to_bstr(words[i]);
    }
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    UINT arg_err = 0;
    hr = d_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &ei,
                    &arg_err);
    for (auto& v : args) VariantClear(&v);
    if (FAILED(hr)) {
      Outcome r = failed(hr, ei);
      SysFreeString(ei.bstrSource);
      SysFreeString(ei.bstrDescription);
      SysFreeString(ei.bstrHelpFile);
      return r;
    }
    std::u16string text;
    taviksms::com::variant_text(result, text);
    VariantClear(&result);
    return {true, utf8(text)};
  }

 private:
  IDispatch* d_;
};

using taviksms::shell::DoctorLine;

// The system's text for a Win32 error code, with the code.
std::string error_text(DWORD code) {
  wchar_t buf[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, buf, 512, nullptr);
  while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n' || buf[n - 1] == L' ')) buf[--n] = 0;
  std::string text = "error " + std::to_string(code);
  if (n > 0) text += ": " + utf8(std::u16string(buf, buf + n));
  return text;
}

std::u16string wide_utf16(const wchar_t* s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), wcslen(s));
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
                 "TavikSmsDll.TavikSms " + utf8(wide_utf16(guid)) + ": " +
                     utf8(wide_utf16(path.data())) + " (" + view + " view)",
                 {}});
  return path.data();
}

// The checks run by the registered DLL itself (its TavikSmsDoctor entry), after the registration.
std::vector<DoctorLine> doctor_lines() {
  std::vector<DoctorLine> out;
  const std::wstring dll = registered_server(out);
  if (dll.empty()) return out;
  const std::string shown = utf8(wide_utf16(dll.c_str()));
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

class WindowsHost final : public taviksms::shell::Host {
 public:
  std::unique_ptr<taviksms::shell::Instance> create() override {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(L"TavikSmsDll.TavikSms", &clsid);
    IDispatch* d = nullptr;
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(&d));
    }
    if (FAILED(hr)) {
      char line[80];
      std::snprintf(line, sizeof line, "error 0x%08lX: cannot create TavikSmsDll.TavikSms",
                    static_cast<unsigned long>(hr));
      print(line);
      return nullptr;
    }
    return std::make_unique<DispatchInstance>(d);
  }

  // Wide characters to a console, UTF-8 to a file or pipe.
  void print(std::string_view text) override {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
      std::u16string wide = utf16(text) + u"\n";
      std::cout.flush();
      std::fflush(stdout);
      DWORD written = 0;
      WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
      return;
    }
    std::cout.flush();
    std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stdout);
  }

  bool input_is_terminal() override { return _isatty(_fileno(stdin)) != 0; }

  // By its wide name: a narrow one would go through the ANSI code page.
  std::filesystem::path path(const std::string& name) override {
    const std::u16string wide = utf16(name);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
  }

  std::vector<DoctorLine> doctor() override { return doctor_lines(); }

  std::string_view help_notes() const override {
    return "Calls go to the registered TavikSmsDll.TavikSms through IDispatch, as a script host\n"
           "makes them (the component must be registered: regsvr32 TavikSmsDll.dll, or\n"
           "regsvr32 /n /i:user for the current user only); 2 is also the exit status when it\n"
           "cannot be created. A failed call's error is the one IDispatch reports. doctor first\n"
           "checks the registration in this program's registry view, then runs the checks\n"
           "inside the registered DLL.\n";
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // The shell's thread is a single-threaded apartment, like a script host's.
  if (FAILED(CoInitialize(nullptr))) return 2;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.push_back(
        utf8(std::u16string_view(reinterpret_cast<const char16_t*>(argv[i]), wcslen(argv[i]))));
  }
  int rc = 0;
  {
    WindowsHost host;
    rc = taviksms::shell::run(host, args);
  }  // the instances are released before COM goes
  CoUninitialize();
  return rc;
}
