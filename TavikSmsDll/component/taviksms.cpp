#include "component/taviksms.h"

#include "account/account.h"
#include "component/error.h"
#include "component/module_state.h"
#include "db/session.h"
#include "history_window/history_window.h"
#include "results/results.h"
#include "send/send.h"
#include "upload/upload.h"

namespace taviksms::core {

TavikSms::TavikSms() {
  module_state().logged_in = false;
}

TavikSms::~TavikSms() {
  // Class_Terminate: the shared connection and recordset go, whoever else still uses them.
  if (!terminate_) return;
  ModuleState& s = module_state();
  if (s.db_conn) {
    try {
      if (s.db_conn->state() == db::kStateOpen) s.db_conn->close();
    } catch (...) {
    }
    s.db_conn.reset();
  }
  if (s.db_rs) {
    try {
      if (s.db_rs->state() == db::kStateOpen) s.db_rs->close();
    } catch (...) {
    }
    s.db_rs.reset();
  }
}

std::u16string TavikSms::Login(const std::u16string& User_ID, const std::u16string& Passwd) {
  return login(User_ID, Passwd);
}
std::u16string TavikSms::Logout() {
  return logout();
}
std::int32_t TavikSms::SmsJanek() {
  return sms_janek();
}

std::u16string TavikSms::FTP_Upload(const std::u16string& fnam) {
  return upload::ftp_upload(fnam);
}
std::u16string TavikSms::FTP_Connect() {
  return upload::ftp_connect();
}
std::u16string TavikSms::FTP_DisConnect() {
  return upload::ftp_disconnect();
}
std::u16string TavikSms::SmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                                 const std::u16string& Custom_id, const std::u16string& Custom_nam,
                                 const std::u16string& Custom_tel, const std::u16string& msg,
                                 std::int32_t typ, const std::u16string& YK_Time) {
  return send::sms_send(SUB_ID, user_tel, Custom_id, Custom_nam, Custom_tel, msg, typ, YK_Time);
}
std::u16string TavikSms::LmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                                 const std::u16string& Custom_id, const std::u16string& Custom_nam,
                                 const std::u16string& Custom_tel, const std::u16string& subject,
                                 const std::u16string& msg, const std::u16string& YK_Time) {
  return send::lms_send(SUB_ID, user_tel, Custom_id, Custom_nam, Custom_tel, subject, msg, YK_Time);
}
std::u16string TavikSms::MmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                                 const std::u16string& Custom_id, const std::u16string& Custom_nam,
                                 const std::u16string& Custom_tel, const std::u16string& subject,
                                 const std::u16string& msg, const std::u16string& fnam1,
                                 const std::u16string& fnam2, const std::u16string& fnam3,
                                 const std::u16string& YK_Time) {
  return send::mms_send(SUB_ID, user_tel, Custom_id, Custom_nam, Custom_tel, subject, msg, fnam1,
                        fnam2, fnam3, YK_Time);
}

std::u16string TavikSms::SmsHist(const std::u16string& SUB_ID, std::int32_t xx, std::int32_t yy,
                                 std::int32_t ww, std::int32_t hh) {
  return history::sms_hist(SUB_ID, xx, yy, ww, hh);
}
std::u16string TavikSms::SmsIbgum() {
  return sms_ibgum();
}
std::u16string TavikSms::SmsResultV2(const std::u16string& SUB_ID, const std::u16string& fr_dTime,
                                     const std::u16string& to_dTime) {
  return results::sms_result_v2(SUB_ID, fr_dTime, to_dTime);
}
std::u16string TavikSms::SmsResult1() {
  return results::sms_result1();
}
std::u16string TavikSms::SmsResult2(const std::u16string& fr_dTime,
                                    const std::u16string& to_dTime) {
  return results::sms_result2(fr_dTime, to_dTime);
}
std::u16string TavikSms::YaeyakDelete(std::int32_t Key_id) {
  return results::yaeyak_delete(Key_id);
}
std::u16string TavikSms::YaeyakData() {
  return results::yaeyak_data();
}
std::u16string TavikSms::YaeyakDataV2(const std::u16string& SUB_ID) {
  return results::yaeyak_data_v2(SUB_ID);
}
std::u16string TavikSms::YaeyakDataText() {
  return results::yaeyak_data_text();
}
std::u16string TavikSms::AddMember(const std::u16string& User_ID, const std::u16string& user_pw,
                                   const std::u16string& recommender, const std::u16string& TAX_NO,
                                   const std::u16string& tax_ltd, const std::u16string& tax_name,
                                   const std::u16string& tax_jongmok,
                                   const std::u16string& tax_upte, const std::u16string& tax_tel,
                                   const std::u16string& tax_fax, const std::u16string& tax_mail,
                                   const std::u16string& tax_juso,
                                   const std::u16string& tax_damdang) {
  return add_member(User_ID, user_pw, recommender, TAX_NO, tax_ltd, tax_name, tax_jongmok, tax_upte,
                    tax_tel, tax_fax, tax_mail, tax_juso, tax_damdang);
}

}  // namespace taviksms::core
