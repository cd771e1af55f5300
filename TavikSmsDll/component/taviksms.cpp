#include "component/taviksms.h"

#include <new>
#include <string>
#include <utility>

#include "account/account.h"
#include "base/error.h"
#include "base/module_state.h"
#include "base/trace.h"
#include "component/call_trace.h"
#include "db/call.h"
#include "db/session.h"
#include "db/value.h"
#include "history_window/history_window.h"
#include "results/results.h"
#include "send/send.h"
#include "session/db_open.h"
#include "upload/upload.h"

namespace taviksms::core {

namespace {

// The function that carries out each method of the list; the compiler checks each against the
// method's parameters where the methods below call it.
namespace impl {
constexpr auto FTP_Upload = &upload::ftp_upload;
constexpr auto FTP_Connect = &upload::ftp_connect;
constexpr auto FTP_DisConnect = &upload::ftp_disconnect;
constexpr auto Login = &login;
constexpr auto Logout = &logout;
constexpr auto SmsJanek = &sms_janek;
constexpr auto SmsIbgum = &sms_ibgum;
constexpr auto SmsHist = &history::sms_hist;
constexpr auto SmsResultV2 = &results::sms_result_v2;
constexpr auto SmsResult1 = &results::sms_result1;
constexpr auto SmsResult2 = &results::sms_result2;
constexpr auto SmsSend = &send::sms_send;
constexpr auto LmsSend = &send::lms_send;
constexpr auto MmsSend = &send::mms_send;
constexpr auto YaeyakDelete = &results::yaeyak_delete;
constexpr auto YaeyakData = &results::yaeyak_data;
constexpr auto YaeyakDataV2 = &results::yaeyak_data_v2;
constexpr auto YaeyakDataText = &results::yaeyak_data_text;
constexpr auto AddMember = &add_member;
}  // namespace impl

// Each method's rule from the list (TAVIKSMS_METHOD_RULE): what a run-time error inside it
// becomes, and whether it opens the thread's session first.
enum class Errors : std::uint8_t { text, text_closing, balance, escapes, own };
enum class Database : std::uint8_t { session, opens, closes, as_is, no };
enum class LostLink : std::uint8_t { retried, not_repeated };
struct Rule {
  Errors errors;
  Database database;
  LostLink lost_link;
};
namespace rule {
#define TAVIKSMS_METHOD(...)
#define TAVIKSMS_METHOD_RULE(name, errors, database, lost_link) \
  constexpr Rule name{Errors::errors, Database::database, LostLink::lost_link};
#include <taviksms/methods.def>
}  // namespace rule

constexpr char16_t kDbConnectError[] = u"DB Connect Error";

// What a method answers when its session cannot be opened: DbOpen's text, the balance's failure
// value, or (a method without a handler) "DB Connect Error".
Value session_failure(const Rule& r, const std::u16string& db_open_text) {
  if (r.errors == Errors::balance) return kJanekFailure;
  if (r.errors == Errors::escapes) return std::u16string(kDbConnectError);
  return db_open_text;
}

// Runs a method's function under its rule: the session opened first where the method needs it
// (and opened again when its link was lost), a method that only reads tried once more after a
// lost link, and a run-time error handled as the rule says. A failure that lost the link marks
// the session, so the next call opens it again.
template <typename F>
Value under_rule(const Rule& r, F&& run_method) {
  ModuleState& s = module_state();
  auto opened_and_run = [&]() -> Value {
    if (r.database == Database::session) {
      if (auto failed = preamble(s)) return session_failure(r, *failed);
    }
    if (r.lost_link == LostLink::retried) {
      return once_more_after_lost_link(s, run_method, r.database == Database::opens);
    }
    try {
      return run_method();
    } catch (...) {
      mark_if_link_lost(s);
      throw;
    }
  };
  switch (r.errors) {
    case Errors::text:
      return db::with_handler(opened_and_run);
    case Errors::text_closing:
      return db::with_handler(opened_and_run, [&] { db::close_if_open(s); });
    case Errors::balance:
      try {
        return opened_and_run();
      } catch (const std::exception&) {
        return kJanekFailure;
      }
    case Errors::escapes:
    case Errors::own:
      break;
  }
  return opened_and_run();
}

// Each method's function under its rule, the one form both entries (the methods and invoke)
// call.
namespace ruled {
#define TAVIKSMS_METHOD(id, name, result, ...)                     \
  Value name(TAVIKSMS_EACH(TAVIKSMS_PARAM, __VA_ARGS__)) {         \
    return under_rule(rule::name, [&]() -> Value {                 \
      return impl::name(TAVIKSMS_EACH(TAVIKSMS_ARG, __VA_ARGS__)); \
    });                                                            \
  }
#include <taviksms/methods.def>
}  // namespace ruled

// Argument coercion as a script host does it: numbers to text, numeric text to int32.
template <typename T>
T argument(const Value& v);

template <>
std::u16string argument<std::u16string>(const Value& v) {
  if (const auto* s = std::get_if<std::u16string>(&v)) return *s;
  std::string a = std::to_string(std::get<std::int32_t>(v));
  return std::u16string(a.begin(), a.end());
}

template <>
std::int32_t argument<std::int32_t>(const Value& v) {
  if (const auto* i = std::get_if<std::int32_t>(&v)) return *i;
  std::int32_t out = 0;
  bool overflow = false;
  if (!db::round_half_even_to_int32(std::get<std::u16string>(v), out, overflow)) {
    if (overflow) throw Error(err::kOverflow, u"TavikSmsDll", u"Overflow");
    throw Error(err::kTypeMismatchDisp, u"TavikSmsDll", u"Type mismatch");
  }
  return out;
}

// `f` called with `args` converted to the parameter types P...
template <typename... P, typename F, std::size_t... I>
Value apply_converted(F f, [[maybe_unused]] std::span<const Value> args,
                      std::index_sequence<I...>) {
  return f(argument<P>(args[I])...);
}
template <typename... P, typename F>
Value apply_converted(F f, std::span<const Value> args) {
  return apply_converted<P...>(f, args, std::index_sequence_for<P...>{});
}

}  // namespace

TavikSms::TavikSms() : thread_(current_thread()) {
  module_state().logged_in = false;
}

TavikSms::~TavikSms() {
  // Class_Terminate touches the creating thread's session only: released on another thread, the
  // instance is just freed.
  if (thread_ != current_thread()) return;
  // The shared connection and recordset go, whoever else still uses them. Unlike DbClose, the
  // command stays: another instance's next call then meets a closed connection, not a missing
  // object.
  ModuleState& s = module_state();
  db::close_and_release(s.session.conn);
  db::close_and_release(s.session.rs);
  // Closed by its owner, not lost: the other instances fail until Login.
  s.session.reopen = false;
}

Value TavikSms::call(const MethodInfo& method, Arguments args, Body body) {
  auto checked = [&]() -> Value {
    if (thread_ != current_thread()) {
      throw Error(err::kWrongThread, u"TavikSmsDll",
                  u"The application called an interface that was marshalled for a different "
                  u"thread.");
    }
    try {
      return body();
    } catch (const Error&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw Error(err::kOutOfMemory, u"TavikSmsDll", u"Out of memory");
    } catch (...) {
      throw Error(err::kUnexpected, u"TavikSmsDll", u"Unexpected failure inside the component");
    }
  };
  // Off (the default), the trace costs one relaxed load; the arguments are not even gathered.
  if (!trace::enabled()) return checked();
  const std::vector<Value> values = args();
  return trace::traced_call(method, values, checked);
}

// The methods: each hands its arguments to its function through call().
#define TAVIKSMS_METHOD(id, name, result, ...)                                              \
  TAVIKSMS_RESULT(result) TavikSms::name(TAVIKSMS_EACH(TAVIKSMS_PARAM, __VA_ARGS__)) {      \
    return std::get<TAVIKSMS_RESULT(result)>(call(                                          \
        method_info(Method::name),                                                          \
        [&] { return std::vector<Value>{TAVIKSMS_EACH(TAVIKSMS_ARG, __VA_ARGS__)}; },       \
        [&]() -> Value { return ruled::name(TAVIKSMS_EACH(TAVIKSMS_ARG, __VA_ARGS__)); })); \
  }
#include <taviksms/methods.def>

Value TavikSms::invoke(const MethodInfo& method, std::span<const Value> args) {
  return call(
      method, [&] { return std::vector<Value>(args.begin(), args.end()); },
      [&]() -> Value {
        if (args.size() != method.param_count) {
          throw Error(err::kBadParamCount, u"TavikSmsDll", u"Invalid number of parameters.");
        }
        switch (method.dispid) {
#define TAVIKSMS_PARAM_TYPE(type, name) TAVIKSMS_RESULT(type)
#define TAVIKSMS_METHOD(id, name, result, ...) \
  case id:                                     \
    return apply_converted<TAVIKSMS_EACH(TAVIKSMS_PARAM_TYPE, __VA_ARGS__)>(ruled::name, args);
#include <taviksms/methods.def>
#undef TAVIKSMS_PARAM_TYPE
        }
        throw Error(err::kUnknownName, u"TavikSmsDll", u"Unknown name.");
      });
}

}  // namespace taviksms::core
