// taviksms.exe: the shell on Windows. Runs method calls by name, one per line, against the
// registered TavikSmsDll.TavikSms, late-bound through IDispatch as a script host does: names go
// through GetIDsOfNames, arguments travel as texts and the type library converts them.
// The line syntax and the dot commands are the Linux shell's. Output is UTF-8 when redirected;
// on a console it is written as wide characters, so Korean texts show whatever the console's
// code page.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "com/automation.h"
#include "command_line.h"

namespace {

using taviksms::com::from_bstr;
using taviksms::com::to_bstr;

std::string utf8(std::u16string_view s) {
  if (s.empty()) return {};
  auto* w = reinterpret_cast<const wchar_t*>(s.data());
  int n =
      WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string utf8(const wchar_t* s) {
  return utf8(std::u16string_view(reinterpret_cast<const char16_t*>(s), wcslen(s)));
}

// One line of results: wide characters to a console, UTF-8 to a file or pipe.
void print_line(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
    std::string line = text + "\n";
    int n = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), n);
    std::fflush(stdout);
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void print_help() {
  std::cout << R"(usage: taviksms [-c LINE]... [SCRIPT | -]

Runs TavikSmsDll.TavikSms method calls through IDispatch, one per line: the -c lines in order,
then SCRIPT (or standard input for "-"). With neither, lines come from standard input.
The component must be registered (regsvr32 TavikSmsDll.dll, or regsvr32 /n /i:user for the
current user only).

A line is a method name (case-insensitive) followed by its arguments, separated by blanks;
arguments in double quotes may hold blanks and the escapes \n \t \r \" \\ \0 and \uXXXX. Lines
starting with # are comments. Output, one line per call: the result, or for a failed call
"error 0xXXXXXXXX: description". Exit status: 0; 1 if any line failed; 2 for bad options or when
the component cannot be created.

Shell commands: .new  .use N  .drop [N]  .list  .help  .quit
)";
}

class Shell {
 public:
  bool start() { return create(); }

  bool run(const std::string& line) {
    auto parsed = taviksms::shell::parse_line(line);
    if (!parsed.error.empty()) {
      std::cerr << "syntax error: " << parsed.error << '\n';
      return false;
    }
    if (parsed.words.empty()) return true;
    std::string head = utf8(parsed.words[0]);
    if (!head.empty() && head[0] == '.') return command(head, parsed.words);
    auto it = instances_.find(current_);
    if (it == instances_.end()) {
      std::cerr << "no current instance (use .new or .use N)\n";
      return false;
    }
    return call(it->second, parsed.words);
  }

  bool quit() const { return quit_; }

  ~Shell() {
    for (auto& [n, d] : instances_) d->Release();
  }

 private:
  bool create() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(L"TavikSmsDll.TavikSms", &clsid);
    IDispatch* d = nullptr;
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(&d));
    }
    if (FAILED(hr)) {
      std::printf("error 0x%08lX: cannot create TavikSmsDll.TavikSms\n",
                  static_cast<unsigned long>(hr));
      std::fflush(stdout);
      return false;
    }
    instances_.emplace(next_, d);
    current_ = next_++;
    return true;
  }

  static bool report(HRESULT hr, const EXCEPINFO& ei) {
    std::u16string text = from_bstr(ei.bstrDescription);
    unsigned long code =
        static_cast<unsigned long>(hr == DISP_E_EXCEPTION && ei.scode ? ei.scode : hr);
    if (text.empty()) {
      // The automation runtime's own errors (unknown name, type mismatch) carry no description.
      wchar_t buf[512] = {};
      DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(code), 0, buf, 512, nullptr);
      while (n > 0 && (buf[n - 1] == L'\r' || buf[n - 1] == L'\n')) buf[--n] = 0;
      if (n > 0) {
        text.assign(buf, buf + n);
      } else if (code == static_cast<unsigned long>(DISP_E_UNKNOWNNAME)) {
        text = u"Unknown name.";
      } else if (code == static_cast<unsigned long>(DISP_E_TYPEMISMATCH)) {
        text = u"Type mismatch.";
      } else if (code == static_cast<unsigned long>(DISP_E_BADPARAMCOUNT)) {
        text = u"Invalid number of parameters.";
      } else if (code == static_cast<unsigned long>(DISP_E_PARAMNOTOPTIONAL)) {
        text = u"Parameter not optional.";
      } else {
        text = u"call failed";
      }
    }
    char head[32];
    std::snprintf(head, sizeof head, "error 0x%08lX: ", code);
    print_line(head + utf8(text));
    return false;
  }

  bool call(IDispatch* d, const std::vector<std::u16string>& words) {
    std::wstring name(words[0].begin(), words[0].end());
    LPOLESTR names[] = {name.data()};
    DISPID id = 0;
    EXCEPINFO ei{};
    HRESULT hr = d->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return report(hr, ei);
    // Arguments are passed right to left, as IDispatch expects.
    std::vector<VARIANT> args(words.size() - 1);
    for (std::size_t i = 1; i < words.size(); ++i) {
      VARIANT& v = args[words.size() - 1 - i];
      VariantInit(&v);
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = to_bstr(words[i]);
    }
    DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    UINT arg_err = 0;
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &ei,
                   &arg_err);
    for (auto& v : args) VariantClear(&v);
    if (FAILED(hr)) {
      bool ok = report(hr, ei);
      SysFreeString(ei.bstrSource);
      SysFreeString(ei.bstrDescription);
      SysFreeString(ei.bstrHelpFile);
      return ok;
    }
    std::u16string text;
    taviksms::com::variant_text(result, text);
    VariantClear(&result);
    print_line(utf8(text));
    return true;
  }

  bool command(const std::string& head, const std::vector<std::u16string>& words) {
    auto number = [&](std::size_t i, int def) {
      if (i >= words.size()) return def;
      try {
        return std::stoi(utf8(words[i]));
      } catch (...) {
        return -1;
      }
    };
    if (head == ".new") {
      if (!create()) return false;
      std::printf("%d\n", current_);
    } else if (head == ".use") {
      int n = number(1, -1);
      if (!instances_.count(n)) {
        std::cerr << "no instance " << n << '\n';
        return false;
      }
      current_ = n;
    } else if (head == ".drop") {
      int n = number(1, current_);
      auto it = instances_.find(n);
      if (it == instances_.end()) {
        std::cerr << "no instance " << n << '\n';
        return false;
      }
      it->second->Release();
      instances_.erase(it);
    } else if (head == ".list") {
      for (const auto& [n, d] : instances_) std::printf("%d%s\n", n, n == current_ ? " *" : "");
    } else if (head == ".help") {
      print_help();
    } else if (head == ".quit" || head == ".exit") {
      quit_ = true;
    } else {
      std::cerr << "unknown command " << head << '\n';
      return false;
    }
    std::fflush(stdout);
    return true;
  }

  std::map<int, IDispatch*> instances_;
  int current_ = 0;
  int next_ = 1;
  bool quit_ = false;
};

bool run_stream(Shell& shell, std::istream& in) {
  bool ok = true;
  std::string line;
  while (!shell.quit() && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ok = shell.run(line) && ok;
  }
  return ok;
}

int run(int argc, wchar_t** argv) {
  std::vector<std::string> lines;
  std::string script;
  std::wstring script_path;  // as given: a narrow name would go through the ANSI code page
  for (int i = 1; i < argc; ++i) {
    std::string a = utf8(argv[i]);
    if (a == "-h" || a == "--help" || a == "/?") {
      print_help();
      return 0;
    } else if (a == "-c") {
      if (++i >= argc) {
        std::cerr << "taviksms: -c needs a line\n";
        return 2;
      }
      lines.push_back(utf8(argv[i]));
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::cerr << "taviksms: unknown option " << a << " (see --help)\n";
      return 2;
    } else if (script.empty()) {
      script = a;
      script_path = argv[i];
    } else {
      std::cerr << "taviksms: only one script\n";
      return 2;
    }
  }
  Shell shell;
  if (!shell.start()) return 2;
  bool ok = true;
  for (const auto& l : lines) {
    if (shell.quit()) break;
    ok = shell.run(l) && ok;
  }
  if (!script.empty() && !shell.quit()) {
    if (script == "-") {
      ok = run_stream(shell, std::cin) && ok;
    } else {
      std::ifstream f{std::filesystem::path(script_path)};
      if (!f) {
        std::cerr << "taviksms: cannot open " << script << '\n';
        return 2;
      }
      ok = run_stream(shell, f) && ok;
    }
  } else if (lines.empty() && script.empty()) {
    ok = run_stream(shell, std::cin) && ok;
  }
  return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // The shell's thread is a single-threaded apartment, like a script host's.
  if (FAILED(CoInitialize(nullptr))) return 2;
  int rc = run(argc, argv);
  CoUninitialize();
  return rc;
}
