#include "account/account.h"

#include "base/error.h"
#include "base/module_state.h"
#include "db/call.h"
#include "results/export.h"
#include "session/db_open.h"

namespace taviksms::core {

std::u16string login(const std::u16string& user_id, const std::u16string& passwd) {
  ModuleState& s = module_state();
  s.user_id = user_id;
  // Logged out until f_login accepts, whatever fails on the way.
  s.logged_in = false;
  s.last_result = db_open();
  if (s.last_result != u"OK") return s.last_result;
  db::Call call(s, u"f_login", db::kUseServer, db::Call::Type::stored_proc);
  call.text(u"@user_id", s.user_id).text(u"@user_pw", passwd).open();
  s.last_result = call.return_value().to_text();
  s.logged_in = s.last_result.empty();
  return s.logged_in ? u"OK" : s.last_result;
}

std::u16string logout() {
  ModuleState& s = module_state();
  s.logged_in = false;
  db_close();
  return u"OK";
}

std::int32_t sms_janek() {
  ModuleState& s = module_state();
  db::Call call(s, u"f_sms_janek", db::kUseServer);
  call.text(u"@user_id", s.user_id).open();
  return call.return_value().to_int32();
}

std::u16string sms_ibgum() {
  ModuleState& s = module_state();
  db::Call call(s, u"sp_ibgum_data", db::kUseClient);
  call.text(u"@user_id", s.user_id).open();
  std::u16string line;
  results::export_rows(s, u"sms3.txt",
                       [&](db::DbRs& rs, std::u16string_view sep, results::ExportFile& file) {
                         results::deposit_record(rs, sep, line);
                         file.write_line(line);
                       });
  return u"OK";
}

std::u16string normalize_tax_no(const std::u16string& tax_no) {
  if (tax_no.size() < 4 || tax_no[3] != u'-') return tax_no;
  const auto mid = [&](std::size_t from, std::size_t len) {
    return from < tax_no.size() ? tax_no.substr(from, len) : std::u16string();
  };
  return mid(0, 3) + mid(4, 2) + mid(7, 5);
}

std::u16string add_member(const std::u16string& user_id, const std::u16string& user_pw,
                          const std::u16string& recommender, const std::u16string& tax_no,
                          const std::u16string& tax_ltd, const std::u16string& tax_name,
                          const std::u16string& tax_jongmok, const std::u16string& tax_upte,
                          const std::u16string& tax_tel, const std::u16string& tax_fax,
                          const std::u16string& tax_mail, const std::u16string& tax_juso,
                          const std::u16string& tax_damdang) {
  ModuleState& s = module_state();
  std::u16string number = normalize_tax_no(tax_no);
  db::Call call(s, u"sp_addmember", db::kKeepCursor, db::Call::Type::stored_proc);
  call.text(u"@user_id", user_id)
      .text(u"@user_pw", user_pw)
      .text(u"@recommender", recommender)
      .text(u"@tax_no", number)
      .text(u"@tax_ltd", tax_ltd)
      .text(u"@tax_name", tax_name)
      .text(u"@tax_jongmok", tax_jongmok)
      .text(u"@tax_upte", tax_upte)
      .text(u"@tax_tel", tax_tel)
      .text(u"@tax_fax", tax_fax)
      .text(u"@tax_mail", tax_mail)
      .text(u"@tax_juso", tax_juso)
      .text(u"@tax_damdang", tax_damdang);
  call.execute();
  db::close_if_open(s);
  return u"OK";
}

}  // namespace taviksms::core
