// The send-history window KovaSmsFrm without any window toolkit: its design, the load and resize
// rules, the history query that fills the grid, and the save sequence. A toolkit binding (Qt on
// Linux, Win32 on Windows) realises the window and its three controls behind HistoryToolkit and
// reports the window's events to HistoryWindow.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace taviksms::history {

struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
  friend bool operator==(const Date&, const Date&) = default;
};

// "YYYY-MM-DD" (digits only, month 1-12, a real day of that month); nothing otherwise.
std::optional<Date> parse_iso_date(std::u16string_view text);

enum class Align : std::uint8_t { general, left, centre };

enum class ControlKind : std::uint8_t { button, grid, frame, label, date_picker, separator };

// One control of the design; positions in twips, relative to the frame for controls inside it.
struct ControlDesign {
  const char* name;
  ControlKind kind;
  const char* parent;  // nullptr: the window
  std::u16string_view caption;
  std::int32_t left, top, width, height;
  int tab_index;
};

struct ColumnDesign {
  std::u16string_view header;
  std::int32_t width;  // twips
  Align cell_align;
  Align header_align;
};

inline constexpr std::u16string_view kCaption = u"문자 메세지 발송 내역";
inline constexpr std::int32_t kClientWidth = 14055;
inline constexpr std::int32_t kClientHeight = 7215;
inline constexpr std::int32_t kGridLeft = 45;
inline constexpr std::int32_t kGridTop = 630;
inline constexpr int kDesignRows = 50;
inline constexpr int kDesignCols = 11;
inline constexpr int kQueryCols = 9;
inline constexpr std::int32_t kRowHeight = 299;
inline constexpr int kPointerDefault = 0;
inline constexpr int kPointerHourglass = 11;
inline constexpr std::uint32_t kSaveFlags = 0x280002;  // overwrite prompt, explorer, long names
inline constexpr std::int32_t kErrCancel = 32755;
inline constexpr unsigned kMbIconQuestion = 32;

// The controls in tab order.
inline const std::vector<ControlDesign>& controls() {
  static const std::vector<ControlDesign> kControls = {
      {"OKButton", ControlKind::button, nullptr, u"SMS 발송내역 조회", 4545, 90, 2115, 465, 0},
      {"VSFlexGrid1", ControlKind::grid, nullptr, u"", kGridLeft, kGridTop, 13920, 6495, 1},
      {"Command1", ControlKind::button, nullptr, u"닫기", 7920, 90, 825, 465, 2},
      {"Frame1", ControlKind::frame, nullptr, u"", 90, 45, 4335, 510, 3},
      {"Label3", ControlKind::label, "Frame1", u"발송일자 :", 180, 180, 915, 240, 4},
      {"DTPicker1", ControlKind::date_picker, "Frame1", u"", 1215, 135, 1365, 285, 5},
      {"DTPicker2", ControlKind::date_picker, "Frame1", u"", 2880, 135, 1320, 285, 6},
      {"Label5", ControlKind::separator, "Frame1", u"", 2655, 225, 150, 105, 7},
      {"Command2", ControlKind::button, nullptr, u"엑셀 저장", 6660, 90, 1230, 465, 8},
  };
  return kControls;
}

// The eleven design columns.
inline const std::vector<ColumnDesign>& design_columns() {
  using enum Align;
  static const std::vector<ColumnDesign> kColumns = {
      {u"", 195, general, general},      {u"**", 420, centre, centre},
      {u"발신번호", 1245, left, centre}, {u"수신번호", 1290, left, centre},
      {u"수신자", 1455, left, centre},   {u"발송일시", 1515, left, centre},
      {u"메세지", 6000, left, centre},   {u"결과", 1005, general, centre},
      {u"ID", 930, centre, centre},      {u"", 150, general, general},
      {u"", 105, general, general},
  };
  return kColumns;
}

// What the grid shows: every cell is text. Row 0 is the header row, column 0 the fixed column.
struct GridData {
  int rows = 0;
  int cols = 0;
  std::vector<std::int32_t> col_widths;  // twips
  std::vector<Align> cell_align;
  std::vector<Align> header_align;
  std::vector<std::int32_t> row_heights;  // twips; 0: the grid's default
  std::vector<std::u16string> cells;      // rows x cols, row-major

  static GridData design();
  const std::u16string& cell(int r, int c) const {
    return cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                 static_cast<std::size_t>(c)];
  }
  std::u16string& cell(int r, int c) {
    return cells[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                 static_cast<std::size_t>(c)];
  }
  // Row and column counts as the grid sets them: cells beyond are dropped, new ones are empty.
  void set_rows(int n);
  void set_cols(int n);
};

// The grid's tab-separated save: one line per row ended by CR LF, the header row included,
// column 0 left out (it is never written and would only shift every line by a tab); a tab, CR or
// LF inside a cell is written as a blank so every row keeps its columns.
std::u16string grid_text(const GridData& grid);

// Everything the save dialog is asked for, and what it answers.
struct SaveDialogRequest {
  std::u16string title;
  std::u16string filter;  // "desc|pattern|desc|pattern..."
  std::u16string file_name;
  std::uint32_t flags = 0;
};
struct SaveDialogAnswer {
  bool cancelled = false;
  std::u16string file_name;  // as the dialog returns it (a full path)
};

// The events the realised window reports; the toolkit calls them on the thread that called
// show_modal (a binding whose GUI runs elsewhere forwards them there).
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void on_load() = 0;
  // The window's outer size in twips changed (also once when first shown).
  virtual void on_resize(std::int32_t outer_width, std::int32_t outer_height) = 0;
  virtual void on_query_click() = 0;
  virtual void on_save_click() = 0;
};

// The window runtime and the three controls, as far as the window uses them. All geometry is
// in twips; the window's edges and sizes are its outer frame's.
class HistoryToolkit {
 public:
  virtual ~HistoryToolkit() = default;

  // Screen metrics.
  virtual double twips_per_pixel_x() = 0;
  virtual double twips_per_pixel_y() = 0;
  virtual std::int32_t screen_width() = 0;
  virtual std::int32_t screen_height() = 0;

  // Loads the window afresh from the design showing `grid`, calls on_load, shows it (which
  // reports on_resize) and runs it modally; returns when the user has closed it by its close
  // button or its close box. Returns empty, or why no window could be shown. Nothing thrown
  // by the binding itself crosses this interface; the events' own errors pass through.
  virtual std::u16string show_modal(WindowEvents& events, std::shared_ptr<const GridData> grid) = 0;

  // Operations while shown.
  virtual std::int32_t window_width() = 0;
  virtual std::int32_t window_height() = 0;
  virtual void set_window_left(std::int32_t twips) = 0;
  virtual void set_window_top(std::int32_t twips) = 0;
  virtual void set_window_width(std::int32_t twips) = 0;
  virtual void set_window_height(std::int32_t twips) = 0;
  virtual void set_grid_width(std::int32_t twips) = 0;
  virtual void set_grid_height(std::int32_t twips) = 0;
  virtual void set_mouse_pointer(int code) = 0;
  // Replaces what the grid shows; the grid keeps the data, nobody changes it afterwards.
  virtual void show_grid(std::shared_ptr<const GridData> grid) = 0;
  // Date pickers 1 and 2: value from a text ("2024-03-01"), read back as a date.
  // False when the picker cannot read the text as a date.
  virtual bool set_picker_text(int picker, const std::u16string& text) = 0;
  virtual Date picker_value(int picker) = 0;
  virtual SaveDialogAnswer show_save_dialog(const SaveDialogRequest& request) = 0;
  // A modal message box with an OK button; `icon` 0 or kMbIconQuestion; empty title: the
  // application's.
  virtual void message_box(const std::u16string& text, unsigned icon,
                           const std::u16string& title) = 0;

  // Platform facts the texts depend on.
  virtual Date today() = 0;
  virtual char16_t date_separator() = 0;
  virtual char16_t time_separator() = 0;
};

// xx * twips-per-pixel as the request stores it: rounded half to even; outside int32 the
// runtime's overflow error.
std::int32_t pixels_to_twips(std::int32_t pixels, double twips_per_pixel);

// The grid's size for a window outer size, computed in single precision; a negative result is
// clamped to 0 (a window shrunk below the grid's margins, or minimised).
std::int32_t grid_width_for(std::int32_t outer_width);
std::int32_t grid_height_for(std::int32_t outer_height);

// "YYYY/MM/DD HH:MM" from a driver date-time text ("YYYY-MM-DD HH:MM:SS[.fff]"); nothing when
// the text is not a date and time.
std::optional<std::u16string> format_send_time(std::u16string_view value, char16_t date_sep,
                                               char16_t time_sep);

// "엑셀(SMS)_yyyymmdd.xls"
std::u16string default_file_name(const Date& today);
// The filter text built the way the dialog's filter is appended to, four entries.
std::u16string save_filter();

// Writes `bytes` to the file `path`, creating or emptying it. Raises core::Error with the
// runtime's file error numbers (70 permission denied, 76 path not found, 75 access error...).
void write_file(const std::u16string& path, const std::string& bytes);

// The window's logic; one per thread, reused by every showing.
class HistoryWindow : public WindowEvents {
 public:
  explicit HistoryWindow(HistoryToolkit& toolkit) : tk_(toolkit) {}

  void on_load() override;
  void on_resize(std::int32_t outer_width, std::int32_t outer_height) override;
  void on_query_click() override;
  void on_save_click() override;

  // What the grid shows now.
  const GridData& grid() const { return *grid_; }
  std::shared_ptr<const GridData> shared_grid() const { return grid_; }
  void reset_grid();

 private:
  void fill_from_query(std::shared_ptr<GridData>& g);
  void show_error(std::int32_t number, const std::u16string& description);

  HistoryToolkit& tk_;
  std::shared_ptr<GridData> grid_ = std::make_shared<GridData>(GridData::design());
};

// ShowHistWindow: stores the request in the thread's ModuleState, shows the window modally
// through `toolkit`, returns "OK" once it has been closed. Errors escape.
std::u16string show_hist_window(HistoryToolkit& toolkit, const std::u16string& sub_id,
                                std::int32_t xx, std::int32_t yy, std::int32_t ww, std::int32_t hh);

// The toolkit the calling thread uses: a test's override, else the platform's binding (loaded
// on first use). Throws core::Error when none can be had.
HistoryToolkit& thread_toolkit();
// Test hook: the calling thread's toolkit until reset with nullptr.
void set_thread_toolkit(HistoryToolkit* toolkit);

// SmsHist.
std::u16string sms_hist(const std::u16string& sub_id, std::int32_t xx, std::int32_t yy,
                        std::int32_t ww, std::int32_t hh);

// The error number as the window shows it: the runtime's own errors by their small number.
std::int32_t shown_error_number(std::int32_t number);

inline constexpr std::u16string_view kLoginFirst =
    u"로그인되어 있지 않습니다. 먼저 Login으로 로그인한 뒤 조회하십시오.";

}  // namespace taviksms::history
