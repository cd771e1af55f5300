// The history query: the window's one use of the shared data-access objects.
#include "base/error.h"
#include "base/module_state.h"
#include "db/call.h"
#include "db/session.h"
#include "history_window/history_window.h"

namespace taviksms::history {

namespace {

std::u16string two(int v) {
  return {static_cast<char16_t>(u'0' + (v / 10) % 10), static_cast<char16_t>(u'0' + v % 10)};
}

std::u16string picker_text(const Date& d, char16_t sep) {
  std::u16string s = two(d.year / 100) + two(d.year % 100);
  s += sep;
  s += two(d.month);
  s += sep;
  s += two(d.day);
  return s;
}

std::u16string null_tested(const db::Value& v) {
  return v.is_null() ? std::u16string() : v.to_text();
}

std::u16string one_line(std::u16string s) {
  for (char16_t& c : s) {
    if (c == u'\r' || c == u'\n') c = u' ';
  }
  return s;
}

}  // namespace

void HistoryWindow::fill_from_query(std::shared_ptr<GridData>& g) {
  core::ModuleState& s = core::module_state();
  const char16_t dsep = tk_.date_separator();
  const char16_t tsep = tk_.time_separator();
  const std::u16string from = picker_text(tk_.picker_value(1), dsep);
  const std::u16string to = picker_text(tk_.picker_value(2), dsep);

  db::cmd(s).set_active_connection(s.session.conn);
  const bool by_sub_id = !s.history.sub_id.empty();
  db::Call call(s, by_sub_id ? u"sp_result_dataV2" : u"sp_result_data2", db::kUseClient,
                db::Call::Type::stored_proc);
  if (by_sub_id) call.text(u"@sub_id", s.history.sub_id);
  call.text(u"@user_id", s.user_id)
      .text(u"@fr_dtime", from + u" 00:00")
      .text(u"@to_dtime", to + u" 23:59")
      .open();
  db::DbRs& rs = db::rs(s);

  const std::int32_t count = rs.record_count();
  if (count < 0 || count == 0x7FFFFFFF) core::raise_overflow();
  // Rows of an earlier listing beyond the header are dropped before the new ones are sized, so
  // none is copied only to be overwritten.
  g->set_rows(1);
  g->set_rows(count + 1);
  g->set_cols(kQueryCols);
  g->row_heights[0] = kRowHeight;
  g->col_widths[0] = 100;

  for (std::int32_t i = 1; i <= count; ++i) {
    g->row_heights[static_cast<std::size_t>(i)] = kRowHeight;
    {
      const std::string n = std::to_string(i);
      g->cell(i, 1).assign(n.begin(), n.end());
    }
    g->cell(i, 2) = null_tested(rs.field(u"user_tel"));
    g->cell(i, 3) = null_tested(rs.field(u"Custom_tel"));
    g->cell(i, 4) = null_tested(rs.field(u"Custom_nam"));
    const db::Value& t = rs.field(u"s_time");
    if (t.is_null()) {
      g->cell(i, 5).clear();
    } else {
      std::optional<std::u16string> f = format_send_time(t.to_text(), dsep, tsep);
      if (!f) core::raise_type_mismatch();
      g->cell(i, 5) = std::move(*f);
    }
    g->cell(i, 6) = one_line(null_tested(rs.field(u"msg")));
    g->cell(i, 7) = null_tested(rs.field(u"Result_Msg"));
    g->cell(i, 8) = rs.field(u"id").to_text();  // no null test: a null id is an error
    if (i != rs.record_count()) rs.move_next();
  }
}

}  // namespace taviksms::history
