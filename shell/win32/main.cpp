// taviksms.exe: the shell on Windows, over the registered TavikSmsDll.TavikSms, late-bound
// through IDispatch as a script host calls it: names go through GetIDsOfNames, arguments travel
// as texts and the type library converts them. Output is UTF-8 when redirected; on a console it
// is written as wide characters, so Korean texts show whatever the console's code page.
#include <windows.h>

#include <io.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <taviksms_common/utf8.h>

#include "com/automation.h"
#include "registered_doctor.h"
#include "shell.h"
#include "win32_text.h"

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
  text = taviksms::shell::win32::system_message(static_cast<DWORD>(hr));
  if (!text.empty()) return text;
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
  bool output_is_terminal() override {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  }

  // By its wide name: a narrow one would go through the ANSI code page.
  std::filesystem::path path(const std::string& name) override {
    const std::u16string wide = utf16(name);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
  }

  std::vector<taviksms::shell::DoctorLine> doctor() override {
    return taviksms::shell::registered_doctor();
  }

  // Opened first, then the open handle checked: only a file on a disk is read (not a pipe, a
  // console or another device). A pipe's name opens at once or fails; it never waits.
  taviksms::shell::FileStart read_file_start(const std::filesystem::path& path,
                                             std::size_t limit) override {
    using Kind = taviksms::shell::FileStart::Kind;
    taviksms::shell::FileStart out;
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder open too, so it can be told apart.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      out.kind =
          e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Kind::missing : Kind::unreadable;
      return out;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK) {
      out.kind = Kind::not_regular;
    } else if (!GetFileInformationByHandle(h, &info)) {
      out.kind = Kind::unreadable;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.kind = Kind::folder;
    } else {
      out.kind = Kind::file;
      out.size = (static_cast<std::uintmax_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
      out.bytes.resize(static_cast<std::size_t>(std::min<std::uintmax_t>(out.size, limit)));
      std::size_t got = 0;
      while (got < out.bytes.size()) {
        DWORD n = 0;
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(out.bytes.size() - got, 1u << 20));
        if (!ReadFile(h, out.bytes.data() + got, chunk, &n, nullptr) || n == 0) break;
        got += n;
      }
      out.bytes.resize(got);
    }
    CloseHandle(h);
    return out;
  }

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
    args.push_back(utf8(taviksms::shell::win32::from_wide(argv[i])));
  }
  int rc = 0;
  {
    WindowsHost host;
    rc = taviksms::shell::run(host, args);
  }  // the instances are released before COM goes
  CoUninitialize();
  return rc;
}
