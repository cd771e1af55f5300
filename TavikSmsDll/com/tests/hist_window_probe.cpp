// hist_window_probe: opens the history window through the registered object's SmsHist and, from
// a second thread, drives it by its messages the way a user would: the window's geometry, the
// two pickers, the query button, the list view's cells, the save dialog (file name, Save), the
// confirmation box, the close button. Prints "key value" lines and ends with "end".
//   hist_window_probe USER PASSWORD YYYY-MM-DD SAVE_PATH [SCREENSHOT.bmp]
// Exit status 0 when every step ran, 1 otherwise; a watchdog ends a hung run.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "com/taviksms_idl.h"

namespace {

constexpr int kQuery = 1000, kGrid = 1001, kClose = 1002, kPicker1 = 1005, kPicker2 = 1006,
              kSave = 1008;

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}
void line(const char* key, const std::string& value) {
  std::printf("%s %s\n", key, value.c_str());
  std::fflush(stdout);
}

template <class P>
bool wait_for(P pred, DWORD ms = 10000) {
  const DWORD end = GetTickCount() + ms;
  while (GetTickCount() < end) {
    if (pred()) return true;
    Sleep(20);
  }
  return false;
}

LRESULT send(HWND h, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
  DWORD_PTR r = 0;
  SendMessageTimeoutW(h, msg, wp, lp, SMTO_ABORTIFHUNG, 5000, &r);
  return static_cast<LRESULT>(r);
}

std::wstring cell(HWND list, int row, int col) {
  wchar_t buf[512] = {};
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = buf;
  item.cchTextMax = 512;
  send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buf;
}

std::wstring header(HWND list, int col) {
  HWND h = reinterpret_cast<HWND>(send(list, LVM_GETHEADER));
  wchar_t buf[128] = {};
  HDITEMW item{};
  item.mask = HDI_TEXT;
  item.pszText = buf;
  item.cchTextMax = 128;
  send(h, HDM_GETITEMW, static_cast<WPARAM>(col), reinterpret_cast<LPARAM>(&item));
  return buf;
}

// The window as a 24-bit BMP, read from the screen.
void save_bitmap(HWND w, const std::wstring& path) {
  RECT r{};
  GetWindowRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(height);
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    std::fwrite(bits, 1, stride * static_cast<DWORD>(height), f);
    std::fclose(f);
  }
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
}

// The steps, on the driving thread. Returns when the window has been told to close.
void drive(HWND host, const SYSTEMTIME& day, const std::wstring& save_path,
           const std::wstring& shot) {
  HWND w = nullptr;
  if (!wait_for([&] { return (w = FindWindowW(L"KovaSmsFrm", nullptr)) && IsWindowVisible(w); })) {
    line("error", "no window");
    return;
  }
  line("host_enabled_during", IsWindowEnabled(host) ? "yes" : "no");
  wchar_t title[128] = {};
  GetWindowTextW(w, title, 128);
  line("title", utf8(title));
  RECT r{};
  GetWindowRect(w, &r);
  line("window", std::to_string(r.left * 15) + " " + std::to_string(r.top * 15) + " " +
                     std::to_string((r.right - r.left) * 15) + " " +
                     std::to_string((r.bottom - r.top) * 15));
  HWND list = GetDlgItem(w, kGrid);
  GetWindowRect(list, &r);
  line("grid",
       std::to_string((r.right - r.left) * 15) + " " + std::to_string((r.bottom - r.top) * 15));
  line("design_rows", std::to_string(send(list, LVM_GETITEMCOUNT)));
  line("header8", utf8(header(list, 8)));

  SYSTEMTIME st = day;
  line("picker1_set", std::to_string(send(GetDlgItem(w, kPicker1), DTM_SETSYSTEMTIME, GDT_VALID,
                                          reinterpret_cast<LPARAM>(&st))));
  send(GetDlgItem(w, kPicker2), DTM_SETSYSTEMTIME, GDT_VALID, reinterpret_cast<LPARAM>(&st));
  PostMessageW(GetDlgItem(w, kQuery), BM_CLICK, 0, 0);
  // The listing replaces the 49 design rows; a failed query shows a message box instead.
  HWND error_box = nullptr;
  wait_for([&] {
    error_box = FindWindowW(L"#32770", nullptr);
    return send(list, LVM_GETITEMCOUNT) != 49 || error_box;
  });
  if (error_box) {
    wchar_t text[1024] = {};
    GetDlgItemTextW(error_box, 0xFFFF, text, 1024);
    line("query_error", utf8(text));
    PostMessageW(GetDlgItem(error_box, IDOK), BM_CLICK, 0, 0);
    wait_for([] { return FindWindowW(L"#32770", nullptr) == nullptr; });
  }
  const LRESULT rows = send(list, LVM_GETITEMCOUNT);
  line("rows", std::to_string(rows));
  for (int i = 0; i < rows; ++i) {
    std::string text;
    for (int c = 1; c <= 8; ++c) text += utf8(cell(list, i, c)) + (c < 8 ? "|" : "");
    line(("row" + std::to_string(i + 1)).c_str(), text);
  }
  if (!shot.empty()) {
    SetForegroundWindow(w);
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    save_bitmap(w, shot);
  }

  PostMessageW(GetDlgItem(w, kSave), BM_CLICK, 0, 0);
  HWND dlg = nullptr;
  if (wait_for([&] { return (dlg = FindWindowW(L"#32770", L" 자료 저장")) != nullptr; })) {
    line("dialog", "shown");
    wait_for([&] { return GetDlgItem(dlg, 0x47c) != nullptr; }, 3000);
    HWND name = GetDlgItem(dlg, 0x47c);
    wchar_t proposed[260] = {};
    send(name, WM_GETTEXT, 260, reinterpret_cast<LPARAM>(proposed));
    line("proposed", utf8(proposed));
    send(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(save_path.c_str()));
    PostMessageW(GetDlgItem(dlg, IDOK), BM_CLICK, 0, 0);
    HWND box = nullptr;
    if (wait_for([&] { return (box = FindWindowW(L"#32770", L"자료저장")) != nullptr; })) {
      wchar_t text[1024] = {};
      GetDlgItemTextW(box, 0xFFFF, text, 1024);
      std::wstring t = text;
      for (auto& ch : t) {
        if (ch == L'\r') ch = L'^';
        if (ch == L'\n') ch = L'~';
      }
      line("confirm", utf8(t));
      PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
      wait_for([] { return FindWindowW(L"#32770", L"자료저장") == nullptr; });
    } else {
      line("error", "no confirmation");
      if (HWND other = FindWindowW(L"#32770", nullptr)) {
        wchar_t text[1024] = {}, caption[256] = {};
        GetDlgItemTextW(other, 0xFFFF, text, 1024);
        GetWindowTextW(other, caption, 256);
        line("other_box", utf8(caption) + ": " + utf8(text));
      }
    }
  } else {
    line("error", "no save dialog");
  }
  PostMessageW(GetDlgItem(w, kClose), BM_CLICK, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::printf("usage: hist_window_probe USER PASSWORD YYYY-MM-DD SAVE_PATH [BMP]\n");
    return 1;
  }
  std::thread([] {
    Sleep(60000);
    std::printf("error watchdog\n");
    std::fflush(stdout);
    ExitProcess(3);
  }).detach();
  SYSTEMTIME day{};
  day.wYear = static_cast<WORD>(_wtoi(argv[3]));
  day.wMonth = static_cast<WORD>(_wtoi(argv[3] + 5));
  day.wDay = static_cast<WORD>(_wtoi(argv[3] + 8));
  CoInitialize(nullptr);
  _TavikSms* sms = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_TavikSms, nullptr, CLSCTX_INPROC_SERVER, IID__TavikSms,
                                reinterpret_cast<void**>(&sms));
  if (FAILED(hr)) {
    std::printf("error CoCreateInstance 0x%08lX\n", static_cast<unsigned long>(hr));
    return 1;
  }
  BSTR user = SysAllocString(argv[1]), pw = SysAllocString(argv[2]), result = nullptr;
  hr = sms->Login(user, pw, &result);
  line("login", result ? utf8(result) : "<none>");
  line("acp", std::to_string(GetACP()));
  wchar_t sep[8] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDATE, sep, 8);
  line("date_separator", utf8(sep));
  SysFreeString(result);
  result = nullptr;

  // A host window of our own, so the modal window has an owner to disable.
  HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                              100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetActiveWindow(host);
  const std::wstring save_path = argv[4];
  const std::wstring shot = argc > 5 ? argv[5] : L"";
  std::thread driver([&] { drive(host, day, save_path, shot); });
  BSTR sub = SysAllocString(L"");
  hr = sms->SmsHist(sub, 100, 80, 900, 560, &result);
  driver.join();
  line("smshist_hr", std::to_string(static_cast<long>(hr)));
  line("smshist", result ? utf8(result) : "<none>");
  line("host_enabled_after", IsWindowEnabled(host) ? "yes" : "no");
  SysFreeString(result);
  SysFreeString(sub);
  SysFreeString(user);
  SysFreeString(pw);
  sms->Release();
  DestroyWindow(host);
  CoUninitialize();
  std::printf("end\n");
  return 0;
}
