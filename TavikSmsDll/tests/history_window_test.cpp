// The history window's rules through a recording toolkit: no display, no server.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/platform/testing.h"
#include "component/taviksms.h"
#include "history_fake_toolkit.h"
#include "platform/posix/posix_platform.h"

namespace taviksms::test {
namespace {

using namespace taviksms::history;
namespace fs = std::filesystem;

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class HistoryWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { core::module_state() = core::ModuleState{}; }
  std::u16string sms_hist(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
                          const std::u16string& sub = u"") {
    ScopedToolkit use(tk);
    return core::TavikSms().SmsHist(sub, x, y, w, h);
  }
  FakeToolkit tk;
};

TEST(HistoryRequest, PixelsToTwipsRoundHalfToEvenAndOverflow) {
  EXPECT_EQ(pixels_to_twips(800, 15), 12000);
  EXPECT_EQ(pixels_to_twips(-3, 15), -45);
  EXPECT_EQ(pixels_to_twips(5, 0.5), 2);  // 2.5
  EXPECT_EQ(pixels_to_twips(3, 0.5), 2);  // 1.5
  EXPECT_EQ(pixels_to_twips(7, 0.5), 4);  // 3.5
  EXPECT_EQ(pixels_to_twips(100, 11.99), 1199);
  try {
    pixels_to_twips(200000000, 15);
    FAIL() << "no overflow";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::err::kOverflow);
  }
}

TEST(HistoryResize, SinglePrecisionAndNeverNegative) {
  EXPECT_EQ(grid_width_for(12000), 11810);
  EXPECT_EQ(grid_height_for(7500), 6290);
  // 16777217 is not a single: it becomes 16777216 before the margins come off.
  EXPECT_EQ(grid_width_for(16777217), 16777026);
  EXPECT_EQ(grid_width_for(189), 0);
  EXPECT_EQ(grid_height_for(1000), 0);
  EXPECT_EQ(grid_width_for(-32000), 0);  // minimised
}

TEST(HistoryDesign, GridBeforeTheFirstQuery) {
  const GridData g = GridData::design();
  ASSERT_EQ(g.rows, 50);
  ASSERT_EQ(g.cols, 11);
  EXPECT_EQ(g.cell(0, 1), u"**");
  EXPECT_EQ(g.cell(0, 8), u"ID");
  EXPECT_EQ(g.cell(0, 0), u"");
  EXPECT_EQ(g.col_widths[0], 195);
  EXPECT_EQ(g.col_widths[6], 6000);
  EXPECT_EQ(g.cell_align[7], Align::general);
  EXPECT_EQ(g.header_align[2], Align::centre);
  for (int r = 1; r < g.rows; ++r)
    for (int c = 0; c < g.cols; ++c) EXPECT_TRUE(g.cell(r, c).empty());
  // Tab order is the table's order, buttons and pickers by their design names.
  std::vector<std::string> names;
  for (const auto& c : controls()) names.push_back(c.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"OKButton", "VSFlexGrid1", "Command1", "Frame1", "Label3",
                                      "DTPicker1", "DTPicker2", "Label5", "Command2"}));
}

TEST(HistoryTexts, SendTimeDefaultNameAndFilter) {
  EXPECT_EQ(format_send_time(u"2024-03-05 17:08:09.123", u'/', u':'), u"2024/03/05 17:08");
  EXPECT_EQ(format_send_time(u"2024-03-05 00:00:00", u'.', u'.'), u"2024.03.05 00.00");
  EXPECT_EQ(format_send_time(u"2024-03-05", u'/', u':'), u"2024/03/05 00:00");
  EXPECT_FALSE(format_send_time(u"yesterday", u'/', u':'));
  EXPECT_FALSE(format_send_time(u"2024-03-05 7:08", u'/', u':'));
  // Rounded to the second, then shown to the minute, as sms1.txt writes the same value.
  EXPECT_EQ(format_send_time(u"2024-03-05 23:59:59.500", u'/', u':'), u"2024/03/06 00:00");
  EXPECT_EQ(format_send_time(u"2024-03-05 23:59:59.499", u'/', u':'), u"2024/03/05 23:59");
  EXPECT_EQ(format_send_time(u"2024-03-05 10:59:59.500", u'/', u':'), u"2024/03/05 11:00");
  EXPECT_EQ(format_send_time(u"2024-03-05 10:58:59.9", u'/', u':'), u"2024/03/05 10:59");
  EXPECT_EQ(format_send_time(u"2024-02-29 23:59:59.997", u'/', u':'), u"2024/03/01 00:00");
  EXPECT_EQ(format_send_time(u"2023-12-31 23:59:59.500", u'/', u':'), u"2024/01/01 00:00");
  EXPECT_EQ(format_send_time(u"2023-02-28 23:59:59.600", u'/', u':'), u"2023/03/01 00:00");
  EXPECT_EQ(format_send_time(u"1753-01-01 00:00:00", u'/', u':'), u"1753/01/01 00:00");
  EXPECT_EQ(format_send_time(u"9999-12-31 23:59:59.997", u'/', u':'), u"9999/12/31 23:59");
  EXPECT_EQ(format_send_time(u"9999-12-31 23:59:59.998", u'/', u':'), u"9999/12/31 23:59");
  EXPECT_EQ(default_file_name({2024, 3, 5}), u"엑셀(SMS)_20240305.xls");
  EXPECT_EQ(save_filter(),
            u"Excel(XLS)|*.xls|Comma separated values(CSV)|*.csv|Text(txt)|*.txt|"
            u"모든 파일 (*.*)|*.*");
  EXPECT_FALSE(parse_iso_date(u"2023-02-29"));
  EXPECT_EQ(parse_iso_date(u"2024-02-29"), (Date{2024, 2, 29}));
}

TEST(HistoryGrid, RowAndColumnCountsDropCells) {
  GridData g = GridData::design();
  g.cell(3, 9) = u"x";
  g.set_cols(9);
  g.set_rows(4);
  EXPECT_EQ(g.cells.size(), 36u);
  EXPECT_EQ(g.cell(0, 8), u"ID");
  g.set_rows(6);
  EXPECT_TRUE(g.cell(5, 8).empty());
  // The save leaves column 0 out, keeps the header, ends each line with CR LF.
  g.set_rows(2);
  g.cell(1, 1) = u"1";
  g.cell(1, 8) = u"77";
  g.cell(1, 4) = u"a\tb\r\nc";
  EXPECT_EQ(grid_text(g),
            u"**\t발신번호\t수신번호\t수신자\t발송일시\t메세지\t결과\tID\r\n"
            u"1\t\t\ta b  c\t\t\t\t77\r\n");
}

TEST_F(HistoryWindowTest, SizeGivenInPixelsSizesWindowAndGrid) {
  EXPECT_EQ(sms_hist(0, 0, 800, 500), u"OK");
  EXPECT_EQ(tk.width, 12000);
  EXPECT_EQ(tk.height, 7500);
  EXPECT_EQ(tk.grid_w, 11810);
  EXPECT_EQ(tk.grid_h, 6290);
  EXPECT_EQ(tk.geometry_calls, (std::vector<std::string>{"width", "height"}));  // not centred
  EXPECT_EQ(core::module_state().history.width, 12000);
  EXPECT_EQ(core::module_state().last_result, u"OK");
}

TEST_F(HistoryWindowTest, LeftAloneMovesOnlyTheLeftEdgeAndZerosCentreAgain) {
  EXPECT_EQ(sms_hist(100, 0, 0, 0), u"OK");
  EXPECT_EQ(tk.geometry_calls, (std::vector<std::string>{"left"}));
  EXPECT_EQ(tk.left, 1500);
  EXPECT_EQ(tk.width, 14055 + 240);
  EXPECT_EQ(tk.grid_w, 14055 + 240 - 190);  // the resize rule on showing, nothing else
  // No position is remembered: all zeros centre, top first.
  EXPECT_EQ(sms_hist(0, 0, 0, 0), u"OK");
  EXPECT_EQ(tk.geometry_calls, (std::vector<std::string>{"top", "left"}));
  EXPECT_EQ(tk.top, 4208);   // (16200 - 7785) / 2 = 4207.5, to even
  EXPECT_EQ(tk.left, 7252);  // (28800 - 14295) / 2 = 7252.5, to even
  EXPECT_EQ(tk.showings, 2);
}

TEST_F(HistoryWindowTest, TwipsPerPixelOfEachAxisAndOverflowEscapes) {
  tk.tpp_x = 12;
  tk.tpp_y = 20;
  sms_hist(10, 10, 0, 0, u"sub7");
  EXPECT_EQ(tk.left, 120);
  EXPECT_EQ(tk.top, 200);
  EXPECT_EQ(core::module_state().history.sub_id, u"sub7");
  tk.tpp_x = 15;
  try {
    sms_hist(0, 0, 0x7FFFFFFF, 0);
    FAIL() << "overflow did not escape";
  } catch (const core::Error& e) {
    EXPECT_EQ(e.number(), core::err::kOverflow);
  }
  EXPECT_EQ(tk.showings, 1);  // the window was not shown
}

TEST_F(HistoryWindowTest, EachShowingStartsFromTheDesign) {
  tk.today_value = {2024, 3, 5};
  tk.script = {[](WindowEvents& e) { e.on_query_click(); }};  // not logged in
  sms_hist(0, 0, 0, 0);
  EXPECT_EQ(tk.picker_text[0], u"2024-03-01");
  EXPECT_EQ(tk.picker_text[1], u"2024-03-05");
  tk.script.clear();
  tk.today_value = {2024, 12, 31};
  sms_hist(0, 0, 0, 0);
  EXPECT_EQ(tk.picker_text[0], u"2024-12-01");
  EXPECT_EQ(tk.grid->rows, 50);
  EXPECT_EQ(tk.grid->cols, 11);
}

// A query without Login: a message, the pointer back, the window still usable for a save.
TEST_F(HistoryWindowTest, QueryWithoutLoginSaysSoAndTheWindowStaysUsable) {
  const fs::path dir = fs::path(::testing::TempDir()) / "taviksms_hist_nologin";
  fs::create_directories(dir);
  const fs::path file = dir / "out.txt";
  fs::remove(file);
  tk.dialog_answers = {{false, file.u16string()}};
  tk.script = {[](WindowEvents& e) { e.on_query_click(); },
               [](WindowEvents& e) { e.on_save_click(); }};
  EXPECT_EQ(sms_hist(0, 0, 0, 0), u"OK");
  ASSERT_EQ(tk.boxes.size(), 2u);
  EXPECT_EQ(tk.boxes[0].text, kLoginFirst);
  EXPECT_EQ(tk.boxes[0].icon, kMbIconQuestion);
  EXPECT_EQ(tk.pointers, (std::vector<int>{kPointerHourglass, kPointerDefault}));
  EXPECT_EQ(tk.boxes[1].title, u"자료저장");
  // Saved before any query: the design grid, header and 49 empty rows.
  const std::string bytes = read_bytes(file);
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 50);
  EXPECT_EQ(bytes.substr(0, 3), "**\t");
  EXPECT_EQ(bytes.substr(bytes.size() - 13), "\r\n\t\t\t\t\t\t\t\t\t\r\n");
}

TEST_F(HistoryWindowTest, SaveAsksTheDialogAndConfirmsWithTheFullName) {
  const fs::path dir = fs::path(::testing::TempDir()) / "taviksms_hist_save";
  fs::create_directories(dir);
  const fs::path file = dir / "history.csv";
  std::ofstream(file) << "old contents that are longer than the new ones" << std::string(4000, 'x');
  tk.dialog_answers = {{true, {}}, {false, file.u16string()}};
  tk.script = {[](WindowEvents& e) { e.on_save_click(); },  // cancelled
               [](WindowEvents& e) { e.on_save_click(); }};
  sms_hist(0, 0, 0, 0);
  ASSERT_EQ(tk.dialogs.size(), 2u);
  EXPECT_EQ(tk.dialogs[0].file_name, u"엑셀(SMS)_20240305.xls");
  EXPECT_EQ(tk.dialogs[0].title, u" 자료 저장");
  EXPECT_EQ(tk.dialogs[0].flags, 0x280002u);
  EXPECT_EQ(tk.dialogs[0].filter, save_filter());
  ASSERT_EQ(tk.boxes.size(), 1u);  // the cancel showed nothing
  EXPECT_EQ(tk.boxes[0].text, u"자료가 저장되었습니다.\r\n\r\n파일명:" + file.u16string());
  EXPECT_EQ(tk.boxes[0].icon, 0u);
  // Tab-separated whatever the extension, the old contents gone.
  const std::string bytes = read_bytes(file);
  EXPECT_EQ(bytes.find(','), std::string::npos);
  EXPECT_EQ(bytes.find("old"), std::string::npos);
  const std::string first = bytes.substr(0, bytes.find("\r\n"));
  EXPECT_EQ(platform::current().from_ansi(first),
            u"**\t발신번호\t수신번호\t수신자\t발송일시\t메세지\t결과\tID\t\t");
}

TEST_F(HistoryWindowTest, CancelWritesNothingAndAFailedWriteShowsNumberAndDescription) {
  const fs::path dir = fs::path(::testing::TempDir()) / "taviksms_hist_fail";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path missing = dir / "no such folder" / "out.xls";
  const fs::path good = dir / "out.xls";
  tk.dialog_answers = {{true, {}},
                       {false, missing.u16string()},
                       {false, dir.u16string()},
                       {false, good.u16string()}};
  tk.script.assign(4, [](WindowEvents& e) { e.on_save_click(); });
  sms_hist(0, 0, 0, 0);
  ASSERT_EQ(tk.boxes.size(), 3u);
  EXPECT_EQ(tk.boxes[0].text, u"76:Path not found");
  EXPECT_EQ(tk.boxes[0].icon, kMbIconQuestion);
  EXPECT_EQ(tk.boxes[0].title, u"");
  EXPECT_EQ(tk.boxes[1].text, u"75:Path/File access error");  // a folder's name
  EXPECT_EQ(tk.boxes[2].title, u"자료저장");                  // a later save works
  EXPECT_TRUE(fs::exists(good));
  EXPECT_FALSE(fs::exists(missing.parent_path()));
}

// The saved file goes through the platform's files (the core never opens a file itself): a
// platform's failure is what the window shows, and a named pipe nobody reads fails at once instead
// of holding the window.
TEST_F(HistoryWindowTest, SavingGoesThroughThePlatformAndNeverWaitsForAPipe) {
  struct FullDisk : platform::posix::PosixPlatform {
    void save_file(const std::u16string& name, std::string_view bytes) override {
      saved.emplace_back(name, std::string(bytes));
      throw core::Error(core::err::runtime(61), u"TavikSmsDll", u"Disk full");
    }
    std::vector<std::pair<std::u16string, std::string>> saved;
  } full;
  const fs::path dir = fs::path(::testing::TempDir()) / "taviksms_hist_seam";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path out = dir / "out.xls", fifo = dir / "fifo.xls";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  tk.dialog_answers = {{false, out.u16string()}, {false, fifo.u16string()}};
  tk.script.assign(1, [](WindowEvents& e) { e.on_save_click(); });
  {
    platform::ScopedPlatformOverride use(full);
    sms_hist(0, 0, 0, 0);
  }
  ASSERT_EQ(full.saved.size(), 1u);
  EXPECT_EQ(full.saved[0].first, out.u16string());
  ASSERT_EQ(tk.boxes.size(), 1u);
  EXPECT_EQ(tk.boxes[0].text, u"61:Disk full");
  EXPECT_FALSE(fs::exists(out));

  tk.boxes.clear();
  tk.script.assign(1, [](WindowEvents& e) { e.on_save_click(); });
  sms_hist(0, 0, 0, 0);
  ASSERT_EQ(tk.boxes.size(), 1u);
  EXPECT_EQ(tk.boxes[0].text, u"75:Path/File access error");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace taviksms::test
