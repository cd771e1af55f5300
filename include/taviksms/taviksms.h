// TavikSms for C++ hosts on Linux: the messaging component's one class and its methods, in
// interface order (<taviksms/methods.def>), with the service's own method and parameter names.
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

#include <taviksms/method_list.h>

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

// The methods in interface order.
TAVIKSMS_API std::span<const MethodInfo> methods();
// A method by name, case-insensitively; nullptr when there is none.
TAVIKSMS_API const MethodInfo* find_method(std::string_view name);

class TAVIKSMS_API TavikSms {
 public:
  TavikSms();
  ~TavikSms();
  TavikSms(const TavikSms&) = delete;
  TavikSms& operator=(const TavikSms&) = delete;

  // The methods, in interface order, as <taviksms/methods.def> lists them: a text parameter
  // is a const std::u16string&, an int32 one a std::int32_t; each returns std::u16string, except
  // SmsJanek, which returns std::int32_t. For example:
  //   std::u16string Login(const std::u16string& User_ID, const std::u16string& Passwd);
  //   std::int32_t SmsJanek();
  //   std::u16string YaeyakDelete(std::int32_t Key_id);
#define TAVIKSMS_METHOD TAVIKSMS_DECLARE_METHOD
#include <taviksms/methods.def>

  // Calls a method by name (case-insensitive) with positional arguments. Texts given for int32
  // parameters are converted; unknown names, wrong argument counts and unconvertible arguments
  // throw ComError (0x80020006, 0x8002000E, 0x80020005).
  Value invoke(std::string_view method, std::span<const Value> args);

 private:
  std::unique_ptr<core::TavikSms> impl_;  // the instance, which checks the calling thread
};

}  // namespace taviksms
