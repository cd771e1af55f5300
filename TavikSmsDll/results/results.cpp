#include "results/results.h"

#include "db/call.h"
#include "results/export.h"
#include "send/time_text.h"

namespace taviksms::results {

namespace {

using core::ModuleState;

// DbRs's rows as export lines in `name`, then DbRs and the file closed; raises. With
// `acknowledge`, each row's "id" is converted before anything of the row is done, and its
// acknowledgement runs only once its line has reached the operating system.
void export_results(ModuleState& s, const std::u16string& name, bool acknowledge) {
  std::u16string line;
  export_rows(s, name, [&](db::DbRs& rs, std::u16string_view sep, ExportFile& file) {
    std::int32_t id = 0;
    if (acknowledge) id = rs.field(u"id").to_int32();
    export_record(rs, sep, line);
    file.write_line(line);
    if (acknowledge) {
      file.flush();
      db::conn(s).execute(ack_statement(id));
    }
  });
}

// The result queries after their parameters: opens DbRs on the prepared call and writes
// sms1.txt.
std::u16string fetch_results(ModuleState& s, db::Call& call, std::int32_t mode) {
  call.open();
  s.last_result = result_write(s, mode);
  db::close_if_open(s);
  return u"OK";
}

// The listing of both reservation methods: the rows go to sms2.txt through YaeyakDataText with
// that method's own handler, so a failing export is the listing's text, not its error.
std::u16string list_reservations(ModuleState& s, std::u16string_view procedure,
                                 const std::u16string* sub_id) {
  db::Call call(s, procedure, db::kUseClient);
  call.text(u"@user_id", s.user_id);
  if (sub_id) call.text(u"@Sub_ID", *sub_id);
  call.open();
  s.last_result = db::with_handler(yaeyak_data_text, [&] { db::close_if_open(s); });
  return s.last_result;
}

}  // namespace

std::u16string ack_statement(std::int32_t id) {
  std::u16string sql = u"update sms_result set reply = 1 where id = ";
  sql += core::utf8_to_utf16(std::to_string(id));
  sql += u" ;";
  return sql;
}

std::u16string result_write(ModuleState& s, std::int32_t mode) {
  export_results(s, u"sms1.txt", mode == kModeAcknowledge);
  return u"OK";
}

std::u16string result_fetch(std::int32_t mode, const std::u16string& fr, const std::u16string& to) {
  ModuleState& s = core::module_state();
  db::Call call(s, mode == kModeAcknowledge ? u"sp_result_data1" : u"sp_result_data2",
                db::kUseClient);
  call.text(u"@user_id", s.user_id);
  if (mode != kModeAcknowledge) call.text(u"@fr_dtime", fr).text(u"@to_dtime", to);
  return fetch_results(s, call, mode);
}

std::u16string sms_result1() {
  return result_fetch(kModeAcknowledge, std::u16string(), std::u16string());
}

std::u16string sms_result2(const std::u16string& fr_dtime, const std::u16string& to_dtime) {
  return result_fetch(2, send::window_time_text(fr_dtime), send::window_time_text(to_dtime));
}

std::u16string sms_result_v2(const std::u16string& sub_id, const std::u16string& fr_dtime,
                             const std::u16string& to_dtime) {
  ModuleState& s = core::module_state();
  std::u16string fr = send::window_time_text(fr_dtime);
  std::u16string to = send::window_time_text(to_dtime);
  db::Call call(s, u"sp_result_dataV2", db::kUseClient);
  call.text(u"@user_id", s.user_id)
      .text(u"@sub_id", sub_id)
      .text(u"@fr_dtime", fr)
      .text(u"@to_dtime", to);
  return fetch_results(s, call, 0);
}

std::u16string yaeyak_data() {
  return list_reservations(core::module_state(), u"sp_YaeyakData", nullptr);
}

std::u16string yaeyak_data_v2(const std::u16string& sub_id) {
  return list_reservations(core::module_state(), u"sp_YaeyakDataV2", &sub_id);
}

std::u16string yaeyak_delete(std::int32_t key_id) {
  ModuleState& s = core::module_state();
  db::Call call(s, u"sp_YaeyakDelete", db::kUseServer);
  call.text(u"@user_id", s.user_id).integer(u"@id", key_id);
  call.execute();
  return u"OK";
}

std::u16string yaeyak_data_text() {
  export_results(core::module_state(), u"sms2.txt", false);
  return u"OK";
}

}  // namespace taviksms::results
