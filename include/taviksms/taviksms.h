// TavikSms for C++ hosts on Linux: the messaging component's one class and its 19 methods, in
// interface order, with the service's own method and parameter names.
//
// Results follow one convention: every method but SmsJanek returns exactly u"OK" on success and
// otherwise a failure text meant for the user; SmsJanek returns the balance, or -12345678 on any
// failure. Only errors that escape a method (from the methods that have no error handler of their
// own, a method not available in this build, a call from another thread) are thrown, as ComError.
//
// Threading: all instances on one thread share that thread's session (login, connection,
// configuration); creating an instance ends the thread's logged-in state, destroying one closes
// the shared connection. Use an instance only on the thread that created it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#if defined(_WIN32)
#define TAVIKSMS_API
#else
#define TAVIKSMS_API __attribute__((visibility("default")))
#endif

namespace taviksms {

namespace core {
class TavikSms;
}

// An error that escaped a method: HRESULT-style number, source and description.
struct TAVIKSMS_API ComError : std::exception {
  std::int32_t number = 0;
  std::u16string source;
  std::u16string description;

  ComError(std::int32_t n, std::u16string src, std::u16string desc);
  const char* what() const noexcept override;

 private:
  std::string what_;  // description in UTF-8
};

// Late-bound calls: the method table and a dispatcher over it, as a script host would use.
enum class ArgType : std::uint8_t { text, int32 };
struct ParamInfo {
  const char* name;
  ArgType type;
};
struct MethodInfo {
  std::int32_t dispid;
  const char* name;
  const ParamInfo* params;
  std::size_t param_count;
  ArgType result;
};
using Value = std::variant<std::u16string, std::int32_t>;

// The 19 methods in interface order.
TAVIKSMS_API std::span<const MethodInfo> methods();
// A method by name, case-insensitively; nullptr when there is none.
TAVIKSMS_API const MethodInfo* find_method(std::string_view name);

class TAVIKSMS_API TavikSms {
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

  // Calls a method by name (case-insensitive) with positional arguments. Texts given for int32
  // parameters are converted; unknown names, wrong argument counts and unconvertible arguments
  // throw ComError (0x80020006, 0x8002000E, 0x80020005).
  Value invoke(std::string_view method, std::span<const Value> args);

 private:
  std::unique_ptr<core::TavikSms> impl_;
  const void* owner_;  // identifies the creating thread
};

}  // namespace taviksms
