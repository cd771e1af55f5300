// TavikSms with its texts in UTF-8, for C++ hosts whose strings are UTF-8 (std::string), as most
// Linux programs' are: the same methods, names and parameters as taviksms::TavikSms
// (<taviksms/taviksms.h>), in interface order, each text parameter a const std::string& and each
// text result a std::string. For example:
//   taviksms::utf8::TavikSms sms;
//   std::string result = sms.Login("demo", "demo1234");  // "OK", or a text for the user
//   std::int32_t balance = sms.SmsJanek();
//
// An argument that is not valid UTF-8 is refused before the method runs, never replaced: the
// call throws taviksms::ComError with number 0x80070057 (E_INVALIDARG) and a description naming
// the parameter and the offset of the first bad byte ("Passwd: not valid UTF-8 (byte 3)").
// Results are the component's texts converted to UTF-8. Everything else (results, errors that
// escape, threading, the shared session) is as for taviksms::TavikSms; an instance of either
// class is one instance of the component.
#pragma once

#include <cstdint>
#include <string>

#include <taviksms/method_list.h>
#include <taviksms/taviksms.h>

// A text as this class takes and returns it.
#define TAVIKSMS_UTF8_RESULT(type) TAVIKSMS_UTF8_RESULT_##type
#define TAVIKSMS_UTF8_RESULT_text std::string
#define TAVIKSMS_UTF8_RESULT_int32 std::int32_t
#define TAVIKSMS_UTF8_PARAM(type, name) TAVIKSMS_UTF8_PARAM_##type name
#define TAVIKSMS_UTF8_PARAM_text const std::string&
#define TAVIKSMS_UTF8_PARAM_int32 std::int32_t
#define TAVIKSMS_DECLARE_UTF8_METHOD(id, name, result, ...) \
  TAVIKSMS_UTF8_RESULT(result) name(TAVIKSMS_EACH(TAVIKSMS_UTF8_PARAM, __VA_ARGS__));

namespace taviksms::utf8 {

class TAVIKSMS_API TavikSms {
 public:
  TavikSms();
  ~TavikSms();
  TavikSms(const TavikSms&) = delete;
  TavikSms& operator=(const TavikSms&) = delete;

#define TAVIKSMS_METHOD TAVIKSMS_DECLARE_UTF8_METHOD
#include <taviksms/methods.def>

  // The same instance with UTF-16 texts (for invoke(), say).
  taviksms::TavikSms& utf16() {
    return instance_;
  }

 private:
  taviksms::TavikSms instance_;
};

}  // namespace taviksms::utf8
