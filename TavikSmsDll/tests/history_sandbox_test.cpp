// The history query against a live sandbox, the window played by a recording toolkit.
#include <gtest/gtest.h>

#include "base/module_state.h"
#include "component/taviksms.h"
#include "component_fixture.h"
#include "db/session.h"
#include "history_fake_toolkit.h"

namespace taviksms::test {
namespace {

using namespace taviksms::history;

class HistoryQueryTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    // A day without the sandbox's own sample history.
    sandbox().post("/clock?set=2024-04-10%2010:00:00");
  }
  void query_on(Date from, Date to) {
    tk.script.push_back([this, from, to](WindowEvents& e) {
      tk.picker[0] = from;
      tk.picker[1] = to;
      e.on_query_click();
      grids.push_back(tk.grid);
    });
  }
  FakeToolkit tk;
  std::vector<std::shared_ptr<const GridData>> grids;
};

TEST_F(HistoryQueryTest, ThreeRecordsFillFourRowsAndASecondQueryShrinksTheGrid) {
  core::TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"0212345678", u"c1", u"", u"01011112222", u"첫 줄\r\n둘째 줄", 0, u""),
            u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"0212345678", u"c2", u"김철수", u"01033334444", u"b\rc\nd", 0, u""),
            u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"0212345678", u"c3", u"이영희", u"01055556666", u"셋", 0, u""), u"OK");
  sandbox().post("/clock?advance=600");  // delivered: a send time and a result
  query_on({2024, 4, 10}, {2024, 4, 10});
  query_on({2024, 4, 11}, {2024, 4, 12});  // nothing then
  ScopedToolkit use(tk);
  ASSERT_EQ(c.SmsHist(u"", 0, 0, 0, 0), u"OK");
  ASSERT_TRUE(tk.boxes.empty()) << utf8(tk.boxes[0].text);

  const GridData& g = *grids[0];
  ASSERT_EQ(g.rows, 4);
  EXPECT_EQ(g.cols, 9);
  EXPECT_EQ(g.col_widths[0], 100);
  EXPECT_EQ(g.row_heights[0], 299);
  EXPECT_EQ(g.row_heights[3], 299);
  EXPECT_EQ(g.cell(0, 8), u"ID");
  for (int r = 1; r <= 3; ++r) EXPECT_EQ(g.cell(r, 1), std::u16string(1, u'0' + r));
  EXPECT_EQ(g.cell(1, 2), u"0212345678");
  EXPECT_EQ(g.cell(1, 3), u"01011112222");
  EXPECT_EQ(g.cell(1, 4), u"");
  EXPECT_EQ(g.cell(2, 4), u"김철수");
  EXPECT_EQ(g.cell(1, 5), u"2024/04/10 10:00");
  EXPECT_FALSE(g.cell(1, 7).empty());
  EXPECT_EQ(g.cell(1, 6), u"첫 줄  둘째 줄");
  EXPECT_EQ(g.cell(2, 6), u"b c d");
  EXPECT_EQ(g.cell(3, 3), u"01055556666");
  EXPECT_FALSE(g.cell(3, 8).empty());
  EXPECT_NE(g.cell(1, 8), g.cell(3, 8));
  EXPECT_EQ(grids[1]->rows, 1);  // no old rows left below the header

  const auto cs = calls("sp_result_data2");
  ASSERT_EQ(cs.size(), 2u);
  EXPECT_EQ(call_param(cs[0], "@user_id"), u"demo");
  EXPECT_EQ(call_param(cs[0], "@fr_dtime"), u"2024/04/10 00:00");
  EXPECT_EQ(call_param(cs[0], "@to_dtime"), u"2024/04/10 23:59");
  EXPECT_EQ(call_param(cs[1], "@fr_dtime"), u"2024/04/11 00:00");
  EXPECT_TRUE(calls("sp_result_dataV2").empty());
  EXPECT_EQ(core::module_state().session.rs->state(), 0);  // closed after the fill
  EXPECT_EQ(tk.pointers, (std::vector<int>{11, 0, 11, 0}));
}

TEST_F(HistoryQueryTest, SubAccountChoosesTheOtherProcedureAndFirstAfterLastIsSentAsIs) {
  core::TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  query_on({2024, 3, 9}, {2024, 3, 1});
  tk.date_sep = u'-';
  ScopedToolkit use(tk);
  ASSERT_EQ(c.SmsHist(u"sub01", 0, 0, 0, 0), u"OK");
  const auto cs = calls("sp_result_dataV2");
  ASSERT_EQ(cs.size(), 1u);
  EXPECT_EQ(call_param(cs[0], "@sub_id"), u"sub01");
  EXPECT_EQ(call_param(cs[0], "@user_id"), u"demo");
  EXPECT_EQ(call_param(cs[0], "@fr_dtime"), u"2024-03-09 00:00");
  EXPECT_EQ(call_param(cs[0], "@to_dtime"), u"2024-03-01 23:59");
  EXPECT_TRUE(calls("sp_result_data2").empty());
  EXPECT_EQ(grids[0]->rows, 1);
}

// A broken connection mid-session: the error is shown, the pointer restored, the rows of the
// earlier listing kept, and the window still answers.
TEST_F(HistoryQueryTest, AFailedQueryIsShownAndTheWindowStaysUsable) {
  core::TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"02", u"c1", u"n", u"01011112222", u"m", 0, u""), u"OK");
  query_on({2024, 4, 10}, {2024, 4, 10});
  tk.script.push_back([](WindowEvents&) { core::module_state().session.conn->close(); });
  query_on({2024, 4, 10}, {2024, 4, 10});
  tk.script.push_back([](WindowEvents& e) { e.on_save_click(); });  // cancelled: no message
  ScopedToolkit use(tk);
  ASSERT_EQ(c.SmsHist(u"", 0, 0, 0, 0), u"OK");
  ASSERT_EQ(tk.boxes.size(), 1u);
  const std::u16string& text = tk.boxes[0].text;
  EXPECT_NE(text.find(u':'), std::u16string::npos);
  EXPECT_EQ(text.substr(0, text.find(u':')), u"3709") << utf8(text);
  EXPECT_EQ(tk.boxes[0].icon, kMbIconQuestion);
  EXPECT_EQ(grids[1]->rows, 2);  // the first listing stays
  EXPECT_EQ(grids[1]->cell(1, 4), u"n");
  EXPECT_EQ(tk.pointers.back(), 0);
  EXPECT_EQ(tk.dialogs.size(), 1u);
}

// The server closed the session's connection while the window waited, or drops it in the middle
// of the query: the query (a read) answers as usual on a connection opened again.
TEST_F(HistoryQueryTest, ALinkLostBeforeOrDuringTheQueryIsOpenedAgain) {
  core::TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.SmsSend(u"", u"02", u"c1", u"n", u"01011112222", u"m", 0, u""), u"OK");
  for (const char* fault : {"/connections/close", "/faults/drop?after=1&proc=sp_result_data2"}) {
    tk.script.push_back([this, fault](WindowEvents&) { sandbox().post(fault); });
    query_on({2024, 4, 10}, {2024, 4, 10});
  }
  ScopedToolkit use(tk);
  ASSERT_EQ(c.SmsHist(u"", 0, 0, 0, 0), u"OK");
  EXPECT_TRUE(tk.boxes.empty()) << utf8(tk.boxes[0].text);
  ASSERT_EQ(grids.size(), 2u);
  for (const auto& g : grids) {
    ASSERT_EQ(g->rows, 2);
    EXPECT_EQ(g->cell(1, 4), u"n");
  }
}

// After Login a second instance on the thread resets LoggedIn, yet the connection Login opened is
// there and the query uses it. Only a thread without a connection is told to log in first.
TEST_F(HistoryQueryTest, QueryNeedsTheThreadsConnectionNotLoggedIn) {
  core::TavikSms first;
  ASSERT_EQ(first.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(first.SmsSend(u"", u"02", u"c1", u"n", u"01011112222", u"m", 0, u""), u"OK");
  core::TavikSms second;
  ASSERT_FALSE(core::module_state().logged_in);
  query_on({2024, 4, 10}, {2024, 4, 10});
  {
    ScopedToolkit use(tk);
    ASSERT_EQ(second.SmsHist(u"", 0, 0, 0, 0), u"OK");
  }
  EXPECT_TRUE(tk.boxes.empty()) << utf8(tk.boxes[0].text);
  ASSERT_EQ(grids.size(), 1u);
  EXPECT_EQ(grids[0]->rows, 2);
  EXPECT_EQ(calls("sp_result_data2").size(), 1u);

  // Logout closes the connection: now the window asks for a login and sends nothing.
  EXPECT_EQ(second.Logout(), u"OK");
  tk.boxes.clear();
  tk.script.clear();
  grids.clear();
  query_on({2024, 4, 10}, {2024, 4, 10});
  {
    ScopedToolkit use(tk);
    ASSERT_EQ(second.SmsHist(u"", 0, 0, 0, 0), u"OK");
  }
  ASSERT_EQ(tk.boxes.size(), 1u);
  EXPECT_EQ(tk.boxes[0].text, std::u16string(kLoginFirst));
  EXPECT_EQ(calls("sp_result_data2").size(), 1u);
}

}  // namespace
}  // namespace taviksms::test
