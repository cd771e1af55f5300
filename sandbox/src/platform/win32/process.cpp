// The process on Windows: Ctrl-C, Ctrl-Break, closing the console window, logging off and
// shutting down stop it, through a console control handler.
#include <winsock2.h>
// winsock2.h before windows.h
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/net.h"
#include "platform/process.h"

namespace sandbox::host {
namespace {

HANDLE stop_requested = nullptr;  // set by the handler
HANDLE all_stopped = nullptr;     // set by stopped()

// Runs on a thread of its own. For the close, log-off and shut-down events Windows ends the
// process as soon as this returns (and after about five seconds in any case), so it waits for
// the store to be closed first.
BOOL WINAPI on_console_event(DWORD event) {
  ::SetEvent(stop_requested);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::WaitForSingleObject(all_stopped, 4500);
  }
  return TRUE;
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}

// Text to standard output: as wide characters on a console (whatever its code page), as UTF-8
// elsewhere.
void print(const std::string& text) {
  std::fflush(stdout);
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode)) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    DWORD written = 0;
    ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

void prepare_process() {
  net::startup();
  // The same bytes as on Linux (no CR added before each LF): programs read these lines.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  stop_requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  all_stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

std::vector<std::string> arguments(int, char**) {
  // The wide command line: a folder name in any script reaches the sandbox whole, whatever the
  // ANSI code page.
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 1; wide != nullptr && i < count; ++i) out.push_back(utf8(wide[i]));
  if (wide != nullptr) ::LocalFree(wide);
  return out;
}

std::optional<std::filesystem::path> default_data_dir() {
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || *local == L'\0') return std::nullopt;
  std::filesystem::path base(local);
  if (!base.is_absolute()) return std::nullopt;
  return base / L"TavikSms" / L"sandbox";
}

std::string usage_note() {
  return "Without --data the state folder is %LOCALAPPDATA%\\TavikSms\\sandbox. Ctrl-C, or\n"
         "closing the console window, stops the sandbox.\n";
}

void announce_ready(std::uint16_t control_port, const std::filesystem::path& data_dir) {
  const std::u8string folder = data_dir.u8string();
  print("\nThe web console: http://127.0.0.1:" + std::to_string(control_port) +
        "/ (open it in a browser)\nThe data: " + std::string(folder.begin(), folder.end()) +
        "\nCtrl-C or closing this window stops the sandbox.\n");
}

void wait_for_stop() {
  ::WaitForSingleObject(stop_requested, INFINITE);
}

void stopped() {
  ::SetEvent(all_stopped);
}

void start_failed() {
  // A console of its own (double-clicked) closes with the process: keep it until read. A
  // console shared with a command prompt, or no console, needs no waiting.
  DWORD ids[2];
  DWORD mode = 0;
  if (::GetConsoleProcessList(ids, 2) == 1 &&
      ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    std::fputs("Press Enter to close this window.\n", stderr);
    std::fflush(stderr);
    std::getchar();
  }
}

}  // namespace sandbox::host
