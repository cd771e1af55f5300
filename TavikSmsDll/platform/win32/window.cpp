// The history window on Win32: a modal window of the DLL's own with its own message loop (the
// host's window disabled meanwhile), an owner-data report list view as the grid, two date-time
// pickers, GetSaveFileNameW and MessageBoxW. Common Controls 6 come from the DLL's own manifest
// through an activation context held for the whole showing.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <commdlg.h>

#include <exception>
#include <string>
#include <vector>

#include "base/platform/window.h"
#include "history_window/history_window.h"

namespace taviksms::history {

namespace {

constexpr wchar_t kClass[] = L"KovaSmsFrm";
constexpr int kFirstId = 1000;  // control ids: kFirstId + index in controls()

HMODULE own_module() {
  HMODULE m = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&own_module), &m);
  return m;
}

const wchar_t* w(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
std::wstring ws(std::u16string_view s) {
  return std::wstring(s.begin(), s.end());
}

struct Dpi {
  int x = 96, y = 96;
  static Dpi screen() {
    Dpi d;
    if (HDC dc = GetDC(nullptr)) {
      d.x = GetDeviceCaps(dc, LOGPIXELSX);
      d.y = GetDeviceCaps(dc, LOGPIXELSY);
      ReleaseDC(nullptr, dc);
    }
    if (d.x <= 0) d.x = 96;
    if (d.y <= 0) d.y = 96;
    return d;
  }
};

// The activation context of the DLL's manifest (resource 2), so the controls and the common
// dialogs are version 6 whatever the host's own manifest says.
class ActivationScope {
 public:
  ActivationScope() {
    wchar_t path[MAX_PATH * 2] = {};
    GetModuleFileNameW(own_module(), path, static_cast<DWORD>(std::size(path)));
    ACTCTXW ctx{};
    ctx.cbSize = sizeof ctx;
    ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    ctx.lpSource = path;
    ctx.lpResourceName = MAKEINTRESOURCEW(2);
    ctx.hModule = own_module();
    handle_ = CreateActCtxW(&ctx);
    if (handle_ != INVALID_HANDLE_VALUE && !ActivateActCtx(handle_, &cookie_)) cookie_ = 0;
  }
  ~ActivationScope() {
    if (cookie_) DeactivateActCtx(0, cookie_);
    if (handle_ != INVALID_HANDLE_VALUE) ReleaseActCtx(handle_);
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  ULONG_PTR cookie_ = 0;
};

BOOL CALLBACK first_thread_window(HWND h, LPARAM out) {
  if (IsWindowVisible(h) && IsWindowEnabled(h) && !GetWindow(h, GW_OWNER)) {
    *reinterpret_cast<HWND*>(out) = h;
    return FALSE;
  }
  return TRUE;
}

// The host window the modal window disables: the active one, else the foreground window when
// it is this thread's, else the thread's first visible, enabled, unowned window.
HWND host_owner() {
  if (HWND a = GetActiveWindow()) return a;
  HWND f = GetForegroundWindow();
  if (f && GetWindowThreadProcessId(f, nullptr) == GetCurrentThreadId()) return f;
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), first_thread_window, reinterpret_cast<LPARAM>(&found));
  return found;
}

int CALLBACK font_found(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<bool*>(found) = true;
  return 0;
}

bool has_font(const wchar_t* face) {
  HDC dc = GetDC(nullptr);
  LOGFONTW lf{};
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynW(lf.lfFaceName, face, LF_FACESIZE);
  bool found = false;
  EnumFontFamiliesExW(dc, &lf, font_found, reinterpret_cast<LPARAM>(&found), 0);
  ReleaseDC(nullptr, dc);
  return found;
}

int lv_format(Align a) {
  return a == Align::centre ? LVCFMT_CENTER : LVCFMT_LEFT;
}

int hd_format(Align a) {
  return a == Align::centre ? HDF_CENTER : HDF_LEFT;
}

class Win32Toolkit final : public HistoryToolkit {
 public:
  double twips_per_pixel_x() override { return 1440.0 / Dpi::screen().x; }
  double twips_per_pixel_y() override { return 1440.0 / Dpi::screen().y; }
  std::int32_t screen_width() override {
    return MulDiv(GetSystemMetrics(SM_CXSCREEN), 1440, Dpi::screen().x);
  }
  std::int32_t screen_height() override {
    return MulDiv(GetSystemMetrics(SM_CYSCREEN), 1440, Dpi::screen().y);
  }

  std::u16string show_modal(WindowEvents& events, std::shared_ptr<const GridData> grid) override {
    if (hwnd_) return u"SmsHist: the history window is already open on this thread";
    ActivationScope actctx;
    INITCOMMONCONTROLSEX icc{sizeof icc,
                             ICC_DATE_CLASSES | ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    if (!register_class()) return u"SmsHist: the window class cannot be registered";
    dpi_ = Dpi::screen();
    events_ = &events;
    failure_ = nullptr;
    closed_ = false;
    wait_pointer_ = false;

    RECT r{0, 0, px(kClientWidth), py(kClientHeight)};
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
    const DWORD ex = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    AdjustWindowRectEx(&r, style, FALSE, ex);
    owner_ = host_owner();
    hwnd_ =
        CreateWindowExW(ex, kClass, ws(kCaption).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                        r.right - r.left, r.bottom - r.top, owner_, nullptr, own_module(), this);
    if (!hwnd_) {
      events_ = nullptr;
      const std::string code = std::to_string(GetLastError());
      return u"SmsHist: the history window cannot be created (error " +
             std::u16string(code.begin(), code.end()) + u")";
    }
    create_controls();
    show_grid(std::move(grid));
    try {
      events.on_load();
    } catch (...) {
      destroy();
      throw;
    }
    const bool owner_was_enabled = owner_ && IsWindowEnabled(owner_);
    if (owner_was_enabled) EnableWindow(owner_, FALSE);
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
    loaded_ = true;
    report_size();

    MSG msg;
    bool quit = false;
    WPARAM quit_code = 0;
    while (!closed_ && !failure_) {
      const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0) {
        quit = true;
        quit_code = msg.wParam;
        break;
      }
      if (got < 0) break;
      if (!IsDialogMessageW(hwnd_, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    // The owner comes back before the window goes, so activation returns to it.
    if (owner_was_enabled) EnableWindow(owner_, TRUE);
    destroy();
    if (quit) PostQuitMessage(static_cast<int>(quit_code));
    if (failure_) {
      auto f = failure_;
      failure_ = nullptr;
      std::rethrow_exception(f);
    }
    return {};
  }

  std::int32_t window_width() override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return tx(r.right - r.left);
  }
  std::int32_t window_height() override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    return ty(r.bottom - r.top);
  }
  void set_window_left(std::int32_t t) override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    SetWindowPos(hwnd_, nullptr, px(t), r.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_window_top(std::int32_t t) override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    SetWindowPos(hwnd_, nullptr, r.left, py(t), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_window_width(std::int32_t t) override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    SetWindowPos(hwnd_, nullptr, 0, 0, px(t), r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_window_height(std::int32_t t) override {
    RECT r{};
    GetWindowRect(hwnd_, &r);
    SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, py(t),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_grid_width(std::int32_t t) override {
    RECT r = child_rect(list_);
    SetWindowPos(list_, nullptr, 0, 0, px(t), r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_grid_height(std::int32_t t) override {
    RECT r = child_rect(list_);
    SetWindowPos(list_, nullptr, 0, 0, r.right - r.left, py(t),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void set_mouse_pointer(int code) override {
    wait_pointer_ = code == kPointerHourglass;
    SetCursor(LoadCursorW(nullptr, wait_pointer_ ? IDC_WAIT : IDC_ARROW));
  }
  void show_grid(std::shared_ptr<const GridData> g) override {
    grid_ = std::move(g);
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    const int have = Header_GetItemCount(ListView_GetHeader(list_));
    for (int c = have - 1; c >= grid_->cols; --c) ListView_DeleteColumn(list_, c);
    for (int c = 0; c < grid_->cols; ++c) {
      std::wstring text = ws(grid_->cell(0, c));
      LVCOLUMNW col{};
      col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
      // One alignment per list-view column: the cells', which the eye reads down.
      col.fmt = c == 0 ? LVCFMT_LEFT : lv_format(grid_->cell_align[c]);
      col.cx = px(grid_->col_widths[c]);
      col.pszText = text.data();
      if (c < have) {
        ListView_SetColumn(list_, c, &col);
      } else {
        ListView_InsertColumn(list_, c, &col);
      }
      // The header keeps its own alignment (centred captions over left-aligned cells): the
      // header control's item is set after the list view has given it the column's.
      HWND header = ListView_GetHeader(list_);
      HDITEMW hd{};
      hd.mask = HDI_FORMAT;
      if (c > 0 && Header_GetItem(header, c, &hd)) {
        hd.fmt = (hd.fmt & ~HDF_JUSTIFYMASK) | hd_format(grid_->header_align[c]);
        Header_SetItem(header, c, &hd);
      }
    }
    set_row_height(grid_->rows > 1 ? grid_->row_heights[1] : grid_->row_heights[0]);
    ListView_SetItemCountEx(list_, grid_->rows > 0 ? grid_->rows - 1 : 0, 0);
    SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, TRUE);
    UpdateWindow(list_);
  }
  bool set_picker_text(int picker, const std::u16string& text) override {
    const auto d = parse_iso_date(text);
    if (!d) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(d->year);
    st.wMonth = static_cast<WORD>(d->month);
    st.wDay = static_cast<WORD>(d->day);
    return SendMessageW(pickers_[picker == 1 ? 0 : 1], DTM_SETSYSTEMTIME, GDT_VALID,
                        reinterpret_cast<LPARAM>(&st)) != 0;
  }
  Date picker_value(int picker) override {
    SYSTEMTIME st{};
    if (SendMessageW(pickers_[picker == 1 ? 0 : 1], DTM_GETSYSTEMTIME, 0,
                     reinterpret_cast<LPARAM>(&st)) != GDT_VALID) {
      GetLocalTime(&st);
    }
    return Date{st.wYear, st.wMonth, st.wDay};
  }
  SaveDialogAnswer show_save_dialog(const SaveDialogRequest& req) override {
    std::wstring filter = ws(req.filter);
    for (wchar_t& c : filter) {
      if (c == L'|') c = L'\0';
    }
    filter.append(2, L'\0');
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring name = ws(req.file_name);
    lstrcpynW(file.data(), name.c_str(), static_cast<int>(file.size()));
    const std::wstring title = ws(req.title);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrTitle = title.c_str();
    ofn.Flags = req.flags;
    if (!GetSaveFileNameW(&ofn)) return {true, {}};
    return {false, std::u16string(file.data(), file.data() + lstrlenW(file.data()))};
  }
  void message_box(const std::u16string& text, unsigned icon,
                   const std::u16string& title) override {
    std::u16string caption = title;
    if (caption.empty()) caption = application_title();
    MessageBoxW(hwnd_, w(text), w(caption), MB_OK | icon);
  }
  Date today() override {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return Date{st.wYear, st.wMonth, st.wDay};
  }
  char16_t date_separator() override { return locale_char(LOCALE_SDATE, u'/'); }
  char16_t time_separator() override { return locale_char(LOCALE_STIME, u':'); }

 private:
  static char16_t locale_char(LCTYPE type, char16_t fallback) {
    wchar_t buf[8] = {};
    if (GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, 8) > 0 && buf[0]) {
      return static_cast<char16_t>(buf[0]);
    }
    return fallback;
  }

  // The host program's name, which a message box without a title of its own shows.
  static std::u16string application_title() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    const auto slash = p.find_last_of(L"\\/");
    if (slash != std::wstring::npos) p = p.substr(slash + 1);
    const auto dot = p.rfind(L'.');
    if (dot != std::wstring::npos) p.resize(dot);
    return std::u16string(p.begin(), p.end());
  }

  int px(std::int32_t t) const { return MulDiv(t, dpi_.x, 1440); }
  int py(std::int32_t t) const { return MulDiv(t, dpi_.y, 1440); }
  std::int32_t tx(int p) const { return MulDiv(p, 1440, dpi_.x); }
  std::int32_t ty(int p) const { return MulDiv(p, 1440, dpi_.y); }

  RECT child_rect(HWND child) const {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  }

  static bool register_class() {
    static ATOM atom = 0;
    if (atom) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Win32Toolkit::proc;
    wc.hInstance = own_module();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClass;
    atom = RegisterClassExW(&wc);
    return atom != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }

  void create_controls() {
    const bool gulim = has_font(L"굴림") || has_font(L"Gulim");
    LOGFONTW lf{};
    NONCLIENTMETRICSW ncm{};
    ncm.cbSize = sizeof ncm;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0)) lf = ncm.lfMessageFont;
    if (gulim) {
      lf.lfHeight = -MulDiv(9, dpi_.y, 72);
      lf.lfWeight = FW_NORMAL;
      lf.lfCharSet = HANGUL_CHARSET;
      lstrcpynW(lf.lfFaceName, L"굴림", LF_FACESIZE);
    }
    font_ = CreateFontIndirectW(&lf);

    const auto& cs = controls();
    int frame_left = 0, frame_top = 0;
    for (std::size_t i = 0; i < cs.size(); ++i) {
      const ControlDesign& d = cs[i];
      const wchar_t* cls = L"BUTTON";
      DWORD style = WS_CHILD | WS_VISIBLE;
      DWORD ex = 0;
      switch (d.kind) {
        case ControlKind::button:
          style |= BS_PUSHBUTTON | WS_TABSTOP;
          break;
        case ControlKind::grid:
          cls = WC_LISTVIEWW;
          // Shared image lists: the row-height list is the toolkit's to free.
          style |= LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | LVS_SHAREIMAGELISTS |
                   WS_TABSTOP | WS_BORDER;
          ex = WS_EX_CLIENTEDGE;
          break;
        case ControlKind::frame:
          style |= BS_GROUPBOX;
          frame_left = d.left;
          frame_top = d.top;
          break;
        case ControlKind::label:
          cls = L"STATIC";
          break;
        case ControlKind::date_picker:
          cls = DATETIMEPICK_CLASSW;
          style |= DTS_SHORTDATECENTURYFORMAT | WS_TABSTOP;
          break;
        case ControlKind::separator:
          cls = L"STATIC";
          break;
      }
      const int left = d.left + (d.parent ? frame_left : 0);
      const int top = d.top + (d.parent ? frame_top : 0);
      const std::wstring caption = ws(d.caption);
      HWND h = CreateWindowExW(
          ex, cls, caption.c_str(), style, px(left), py(top), px(d.width), py(d.height), hwnd_,
          reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstId + i)), own_module(), nullptr);
      SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
      if (d.kind == ControlKind::grid) list_ = h;
      if (d.kind == ControlKind::date_picker) pickers_[d.name[8] == '2' ? 1 : 0] = h;
      if (d.kind == ControlKind::separator) separator_ = h;
      if (d.kind == ControlKind::frame) {
        // Drawn under the controls it holds, which come after it in the tab order.
        SetWindowPos(h, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      }
    }
    ListView_SetExtendedListViewStyle(
        list_, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  }

  // A list view's rows are as high as its small images: an empty image list of that height
  // gives the rows the grid's height (never less than the font needs).
  void set_row_height(std::int32_t twips) {
    if (twips <= 0) return;
    const int height = py(twips);
    if (height == row_height_px_) return;
    HIMAGELIST images = ImageList_Create(1, height, ILC_COLOR, 1, 0);
    if (!images) return;
    HIMAGELIST old = ListView_SetImageList(list_, images, LVSIL_SMALL);
    if (old && old == row_images_) ImageList_Destroy(old);
    row_images_ = images;
    row_height_px_ = height;
  }

  void destroy() {
    if (hwnd_) DestroyWindow(hwnd_);
    // The list view does not own an image list set with LVSIL_SMALL unless told to: freed here.
    if (row_images_) ImageList_Destroy(row_images_);
    row_images_ = nullptr;
    row_height_px_ = 0;
    hwnd_ = list_ = separator_ = nullptr;
    pickers_[0] = pickers_[1] = nullptr;
    if (font_) DeleteObject(font_);
    font_ = nullptr;
    events_ = nullptr;
    loaded_ = false;
    grid_.reset();
  }

  void report_size() {
    if (!loaded_ || !events_) return;
    RECT r{};
    GetWindowRect(hwnd_, &r);
    guarded([&] { events_->on_resize(tx(r.right - r.left), ty(r.bottom - r.top)); });
  }

  // An event's exception must not unwind through the window procedure: it ends the loop and is
  // rethrown from show_modal.
  template <class F>
  void guarded(F f) {
    try {
      f();
    } catch (...) {
      if (!failure_) failure_ = std::current_exception();
    }
  }

  void on_notify(NMHDR* n) {
    if (n->hwndFrom != list_ || n->code != LVN_GETDISPINFOW || !grid_) return;
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(n);
    LVITEMW& item = info->item;
    const int r = item.iItem + 1, c = item.iSubItem;
    if (!(item.mask & LVIF_TEXT) || r >= grid_->rows || c >= grid_->cols) return;
    const std::u16string& text = grid_->cell(r, c);
    lstrcpynW(item.pszText, reinterpret_cast<const wchar_t*>(text.c_str()), item.cchTextMax);
  }

  LRESULT handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED && events_) {
          const std::size_t i = static_cast<std::size_t>(LOWORD(wp) - kFirstId);
          if (i < controls().size()) {
            const std::string_view name = controls()[i].name;
            if (name == "OKButton") guarded([&] { events_->on_query_click(); });
            if (name == "Command2") guarded([&] { events_->on_save_click(); });
            if (name == "Command1") closed_ = true;
          }
          if (LOWORD(wp) == IDCANCEL) closed_ = true;
          return 0;
        }
        break;
      case WM_NOTIFY:
        on_notify(reinterpret_cast<NMHDR*>(lp));
        return 0;
      case WM_SIZE:
        report_size();
        return 0;
      case WM_SETCURSOR:
        if (wait_pointer_) {
          SetCursor(LoadCursorW(nullptr, IDC_WAIT));
          return TRUE;
        }
        break;
      case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lp) == separator_)
          return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_MENUTEXT));
        break;
      case WM_CLOSE:
        closed_ = true;
        return 0;
      default:
        break;
    }
    return DefWindowProcW(hwnd_, msg, wp, lp);
  }

  static LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
      auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
      SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
      static_cast<Win32Toolkit*>(cs->lpCreateParams)->hwnd_ = h;
    }
    auto* self = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (!self || self->hwnd_ != h) return DefWindowProcW(h, msg, wp, lp);
    return self->handle(msg, wp, lp);
  }

  Dpi dpi_;
  HWND hwnd_ = nullptr;
  HWND owner_ = nullptr;
  HWND list_ = nullptr;
  HWND separator_ = nullptr;
  HWND pickers_[2] = {nullptr, nullptr};
  HFONT font_ = nullptr;
  HIMAGELIST row_images_ = nullptr;
  int row_height_px_ = 0;
  WindowEvents* events_ = nullptr;
  std::shared_ptr<const GridData> grid_;
  std::exception_ptr failure_;
  bool closed_ = false;
  bool loaded_ = false;
  bool wait_pointer_ = false;
};

}  // namespace

}  // namespace taviksms::history

namespace taviksms::platform {

// One window per thread: each thread that calls SmsHist has its own.
history::HistoryToolkit& history_toolkit() {
  thread_local history::Win32Toolkit toolkit;
  return toolkit;
}

}  // namespace taviksms::platform
