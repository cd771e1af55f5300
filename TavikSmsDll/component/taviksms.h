// The component class: its 19 public methods in interface order, and the lifecycle handlers.
// Construction is Class_Initialize, destruction Class_Terminate. Methods raise core::Error only
// where the error escapes (no handler of their own, or not available in this build).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <taviksms/taviksms.h>

namespace taviksms::core {

class TavikSms {
 public:
  TavikSms();
  ~TavikSms();
  TavikSms(const TavikSms&) = delete;
  TavikSms& operator=(const TavikSms&) = delete;

  std::u16string FTP_Upload(const std::u16string& fnam);
  std::u16string FTP_Connect();
  std::u16string FTP_DisConnect();
  std::u16string Login(const std::u16string& User_ID, const std::u16string& Passwd);
  std::u16string Logout();
  std::int32_t SmsJanek();
  std::u16string SmsIbgum();
  std::u16string SmsHist(const std::u16string& SUB_ID, std::int32_t xx, std::int32_t yy,
                         std::int32_t ww, std::int32_t hh);
  std::u16string SmsResultV2(const std::u16string& SUB_ID, const std::u16string& fr_dTime,
                             const std::u16string& to_dTime);
  std::u16string SmsResult1();
  std::u16string SmsResult2(const std::u16string& fr_dTime, const std::u16string& to_dTime);
  std::u16string SmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                         const std::u16string& Custom_id, const std::u16string& Custom_nam,
                         const std::u16string& Custom_tel, const std::u16string& msg,
                         std::int32_t typ, const std::u16string& YK_Time);
  std::u16string LmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                         const std::u16string& Custom_id, const std::u16string& Custom_nam,
                         const std::u16string& Custom_tel, const std::u16string& subject,
                         const std::u16string& msg, const std::u16string& YK_Time);
  std::u16string MmsSend(const std::u16string& SUB_ID, const std::u16string& user_tel,
                         const std::u16string& Custom_id, const std::u16string& Custom_nam,
                         const std::u16string& Custom_tel, const std::u16string& subject,
                         const std::u16string& msg, const std::u16string& fnam1,
                         const std::u16string& fnam2, const std::u16string& fnam3,
                         const std::u16string& YK_Time);
  std::u16string YaeyakDelete(std::int32_t Key_id);
  std::u16string YaeyakData();
  std::u16string YaeyakDataV2(const std::u16string& SUB_ID);
  std::u16string YaeyakDataText();
  std::u16string AddMember(const std::u16string& User_ID, const std::u16string& user_pw,
                           const std::u16string& recommender, const std::u16string& TAX_NO,
                           const std::u16string& tax_ltd, const std::u16string& tax_name,
                           const std::u16string& tax_jongmok, const std::u16string& tax_upte,
                           const std::u16string& tax_tel, const std::u16string& tax_fax,
                           const std::u16string& tax_mail, const std::u16string& tax_juso,
                           const std::u16string& tax_damdang);

  // Destruction then frees the object without running Class_Terminate (used when the object is
  // released on a thread other than its own, whose session it must not touch).
  void skip_terminate() { terminate_ = false; }

 private:
  bool terminate_ = true;
};

// Late-bound call through the method table; raises core::Error for dispatch failures.
Value invoke(TavikSms& obj, const MethodInfo& method, std::span<const Value> args);

}  // namespace taviksms::core
