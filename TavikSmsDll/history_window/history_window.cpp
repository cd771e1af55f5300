#include "history_window/history_window.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/platform/window.h"
#include "db/session.h"
#include "session/db_open.h"

namespace taviksms::history {

namespace {

using core::Error;

std::u16string ascii(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

std::u16string two(int v) {
  std::u16string s;
  s += static_cast<char16_t>(u'0' + (v / 10) % 10);
  s += static_cast<char16_t>(u'0' + v % 10);
  return s;
}

std::u16string four(int v) {
  return two(v / 100) + two(v % 100);
}

bool digits(std::u16string_view t, std::size_t at, std::size_t n, int& out) {
  if (at + n > t.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (t[i] < u'0' || t[i] > u'9') return false;
    out = out * 10 + (t[i] - u'0');
  }
  return true;
}

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

std::int32_t round_to_int32(double v) {
  const double r = std::nearbyint(v);  // the default rounding mode sends halves to even
  if (!(r >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        r <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    core::raise_overflow();
  }
  return static_cast<std::int32_t>(r);
}

std::int32_t clamp_single(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 2147483520.0f) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::nearbyint(v));
}

thread_local HistoryToolkit* t_override = nullptr;
thread_local std::unique_ptr<HistoryWindow> t_window;
thread_local HistoryToolkit* t_window_toolkit = nullptr;

}  // namespace

std::optional<Date> parse_iso_date(std::u16string_view t) {
  Date d;
  if (t.size() != 10 || t[4] != u'-' || t[7] != u'-') return std::nullopt;
  if (!digits(t, 0, 4, d.year) || !digits(t, 5, 2, d.month) || !digits(t, 8, 2, d.day)) {
    return std::nullopt;
  }
  if (d.year < 100 || d.month < 1 || d.month > 12 || d.day < 1 ||
      d.day > days_in_month(d.year, d.month)) {
    return std::nullopt;
  }
  return d;
}

GridData GridData::design() {
  GridData g;
  g.rows = kDesignRows;
  g.cols = kDesignCols;
  for (const ColumnDesign& c : design_columns()) {
    g.col_widths.push_back(c.width);
    g.cell_align.push_back(c.cell_align);
    g.header_align.push_back(c.header_align);
  }
  g.row_heights.assign(kDesignRows, 0);
  g.cells.assign(static_cast<std::size_t>(kDesignRows) * kDesignCols, {});
  for (int c = 0; c < kDesignCols; ++c) g.cell(0, c) = std::u16string(design_columns()[c].header);
  return g;
}

void GridData::set_rows(int n) {
  if (n < 0) n = 0;
  rows = n;
  row_heights.resize(static_cast<std::size_t>(n), 0);
  cells.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(cols));
}

void GridData::set_cols(int n) {
  if (n < 0) n = 0;
  if (n == cols) return;
  std::vector<std::u16string> next(static_cast<std::size_t>(rows) * static_cast<std::size_t>(n));
  const int keep = std::min(n, cols);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < keep; ++c) {
      next[static_cast<std::size_t>(r) * n + c] = std::move(cell(r, c));
    }
  }
  cells = std::move(next);
  col_widths.resize(static_cast<std::size_t>(n), design_columns().back().width);
  cell_align.resize(static_cast<std::size_t>(n), Align::general);
  header_align.resize(static_cast<std::size_t>(n), Align::general);
  cols = n;
}

std::u16string grid_text(const GridData& g) {
  std::u16string out;
  for (int r = 0; r < g.rows; ++r) {
    for (int c = 1; c < g.cols; ++c) {
      if (c > 1) out += u'\t';
      // A tab or line break inside a cell would shift the columns or split the row.
      for (char16_t ch : g.cell(r, c)) out += ch == u'\t' || ch == u'\r' || ch == u'\n' ? u' ' : ch;
    }
    out += u"\r\n";
  }
  return out;
}

std::int32_t pixels_to_twips(std::int32_t pixels, double twips_per_pixel) {
  return round_to_int32(static_cast<double>(pixels) * twips_per_pixel);
}

std::int32_t grid_width_for(std::int32_t outer_width) {
  return clamp_single(static_cast<float>(outer_width) - 2.0f * static_cast<float>(kGridLeft) -
                      100.0f);
}

std::int32_t grid_height_for(std::int32_t outer_height) {
  return clamp_single(static_cast<float>(outer_height) - static_cast<float>(kGridTop) - 580.0f);
}

namespace {

// One minute later, carried through the calendar; 9999-12-31 23:59 stays (nothing follows it).
void next_minute(int& y, int& mo, int& d, int& h, int& mi) {
  if (y == 9999 && mo == 12 && d == 31 && h == 23 && mi == 59) return;
  if (++mi < 60) return;
  mi = 0;
  if (++h < 24) return;
  h = 0;
  if (++d <= days_in_month(y, mo)) return;
  d = 1;
  if (++mo <= 12) return;
  mo = 1;
  ++y;
}

}  // namespace

std::optional<std::u16string> format_send_time(std::u16string_view t, char16_t date_sep,
                                               char16_t time_sep) {
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (t.size() < 10 || (t[4] != u'-' && t[4] != u'/') || t[7] != t[4]) return std::nullopt;
  if (!digits(t, 0, 4, y) || !digits(t, 5, 2, mo) || !digits(t, 8, 2, d)) return std::nullopt;
  if (t.size() > 10) {
    if (t.size() < 16 || t[10] != u' ' || t[13] != u':' || !digits(t, 11, 2, h) ||
        !digits(t, 14, 2, mi)) {
      return std::nullopt;
    }
    // The value is rounded to the second first, as the export files have it, and then shown
    // to the minute: 23:59:59.500 is the next day's 00:00 in both.
    if (t.size() >= 19 && t[16] == u':' && digits(t, 17, 2, sec) && t.size() > 20 &&
        t[19] == u'.' && t[20] >= u'5' && t[20] <= u'9' && sec == 59 && mo >= 1 && mo <= 12 &&
        h < 24 && mi < 60) {
      next_minute(y, mo, d, h, mi);
    }
  }
  std::u16string s = four(y);
  s += date_sep;
  s += two(mo);
  s += date_sep;
  s += two(d);
  s += u' ';
  s += two(h);
  s += time_sep;
  s += two(mi);
  return s;
}

std::u16string default_file_name(const Date& d) {
  return u"엑셀(SMS)_" + four(d.year) + two(d.month) + two(d.day) + u".xls";
}

std::u16string save_filter() {
  std::u16string f = u"Excel(XLS)|*.xls|";
  f = f + u"Comma separated values(CSV)|*.csv|";
  f = f + u"Text(txt)|*.txt|";
  f = f + u"모든 파일 (*.*)|*.*";
  return f;
}

std::int32_t shown_error_number(std::int32_t n) {
  const auto u = static_cast<std::uint32_t>(n);
  if ((u & 0xFFFF0000u) == 0x800A0000u) return static_cast<std::int32_t>(u & 0xFFFFu);
  return n;
}

// ---- the window's events ----

void HistoryWindow::reset_grid() {
  grid_ = std::make_shared<GridData>(GridData::design());
}

void HistoryWindow::on_load() {
  core::ModuleState& s = core::module_state();
  const Date today = tk_.today();
  if (!tk_.set_picker_text(1, four(today.year) + u"-" + two(today.month) + u"-01") ||
      !tk_.set_picker_text(2, four(today.year) + u"-" + two(today.month) + u"-" + two(today.day))) {
    core::raise_type_mismatch();
  }
  if (s.history.left != 0) tk_.set_window_left(s.history.left);
  if (s.history.top != 0) tk_.set_window_top(s.history.top);
  if (s.history.width != 0) {
    tk_.set_window_width(s.history.width);
    tk_.set_grid_width(grid_width_for(tk_.window_width()));
  }
  if (s.history.height != 0) {
    tk_.set_window_height(s.history.height);
    tk_.set_grid_height(grid_height_for(tk_.window_height()));
  }
  if (s.history.left == 0 && s.history.top == 0 && s.history.width == 0 && s.history.height == 0) {
    tk_.set_window_top(
        round_to_int32((static_cast<double>(tk_.screen_height()) - tk_.window_height()) / 2.0));
    tk_.set_window_left(
        round_to_int32((static_cast<double>(tk_.screen_width()) - tk_.window_width()) / 2.0));
  }
}

void HistoryWindow::on_resize(std::int32_t outer_width, std::int32_t outer_height) {
  tk_.set_grid_width(grid_width_for(outer_width));
  tk_.set_grid_height(grid_height_for(outer_height));
}

void HistoryWindow::show_error(std::int32_t number, const std::u16string& description) {
  tk_.message_box(ascii(std::to_string(shown_error_number(number))) + u":" + description,
                  kMbIconQuestion, u"");
}

void HistoryWindow::on_query_click() {
  // Whatever fails, the pointer comes back, the result set is closed, the rows written so far
  // stay on screen and the window remains usable.
  auto g = std::make_shared<GridData>(*grid_);
  std::optional<std::pair<std::int32_t, std::u16string>> failure;
  bool not_logged_in = false;
  tk_.set_mouse_pointer(kPointerHourglass);
  try {
    core::ModuleState& s = core::module_state();
    // Only a thread that never opened the connection (or closed it with Logout) is told to log
    // in. LoggedIn is not consulted: a second instance on the thread resets it while the
    // connection opened by Login stays usable.
    if (!s.session.reopen && (!s.session.conn || !s.session.cmd || !s.session.rs)) {
      not_logged_in = true;
    } else {
      // A link lost while the window waited (or by an earlier call) is opened again first; the
      // query only reads, so a link lost during it is tried once more.
      if (core::link_lost(s) && core::reopen_session(s) != u"OK") {
        core::raise_provider(std::u16string(db::kLinkLostText));
      }
      core::once_more_after_lost_link(s, [&] { fill_from_query(g); });
    }
  } catch (const Error& e) {
    failure.emplace(e.number(), e.description());
  } catch (const std::bad_alloc&) {
    failure.emplace(core::err::kOutOfMemory, u"Out of memory");
  } catch (const std::exception& e) {
    failure.emplace(static_cast<std::int32_t>(0x80004005u), ascii(e.what()));
  }
  try {
    core::ModuleState& s = core::module_state();
    if (s.session.rs && s.session.rs->state() == 1) s.session.rs->close();
  } catch (...) {
  }
  grid_ = g;
  tk_.show_grid(grid_);
  tk_.set_mouse_pointer(kPointerDefault);
  if (not_logged_in) tk_.message_box(std::u16string(kLoginFirst), kMbIconQuestion, u"");
  if (failure) show_error(failure->first, failure->second);
}

void HistoryWindow::on_save_click() {
  try {
    SaveDialogRequest req;
    req.file_name = default_file_name(tk_.today());
    req.flags = kSaveFlags;
    req.filter = save_filter();
    req.title = u" 자료 저장";
    const SaveDialogAnswer a = tk_.show_save_dialog(req);
    if (a.cancelled) return;  // error 32755: nothing shown
    if (a.file_name.empty()) return;
    write_file(a.file_name, platform::current().to_ansi(grid_text(*grid_)));
    tk_.message_box(u"자료가 저장되었습니다.\r\n\r\n파일명:" + a.file_name, 0, u"자료저장");
  } catch (const Error& e) {
    if (e.number() == kErrCancel) return;
    show_error(e.number(), e.description());
  } catch (const std::bad_alloc&) {
    show_error(core::err::kOutOfMemory, u"Out of memory");
  }
}

// ---- launch ----

std::u16string show_hist_window(HistoryToolkit& tk, const std::u16string& sub_id, std::int32_t xx,
                                std::int32_t yy, std::int32_t ww, std::int32_t hh) {
  core::ModuleState& s = core::module_state();
  s.history.sub_id = sub_id;
  const double x = tk.twips_per_pixel_x();
  const double y = tk.twips_per_pixel_y();
  s.history.left = pixels_to_twips(xx, x);
  s.history.width = pixels_to_twips(ww, x);
  s.history.top = pixels_to_twips(yy, y);
  s.history.height = pixels_to_twips(hh, y);
  if (!t_window || t_window_toolkit != &tk) {
    t_window = std::make_unique<HistoryWindow>(tk);
    t_window_toolkit = &tk;
  }
  t_window->reset_grid();  // each showing is loaded afresh from the design
  const std::u16string why = tk.show_modal(*t_window, t_window->shared_grid());
  if (!why.empty()) throw core::Error(static_cast<std::int32_t>(0x80004005u), u"TavikSmsDll", why);
  return u"OK";
}

void set_thread_toolkit(HistoryToolkit* toolkit) {
  t_override = toolkit;
  if (!toolkit) {
    t_window.reset();
    t_window_toolkit = nullptr;
  }
}

HistoryToolkit& thread_toolkit() {
  if (t_override) return *t_override;
  return platform::history_toolkit();
}

std::u16string sms_hist(const std::u16string& sub_id, std::int32_t xx, std::int32_t yy,
                        std::int32_t ww, std::int32_t hh) {
  core::ModuleState& s = core::module_state();
  s.last_result = show_hist_window(thread_toolkit(), sub_id, xx, yy, ww, hh);
  if (s.last_result == u"OK") return u"OK";
  return u"SmsHist 오류:" + s.last_result;
}

}  // namespace taviksms::history
