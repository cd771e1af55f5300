// The C++ host API: forwards to the core class, turns escaping core errors into ComError and
// keeps each instance on the thread that created it (its session lives in that thread's state).
#include <new>

#include <taviksms/taviksms.h>

#include "component/error.h"
#include "component/taviksms.h"
#include "component/text.h"

namespace taviksms {

ComError::ComError(std::int32_t n, std::u16string src, std::u16string desc)
    : number(n), source(std::move(src)), description(std::move(desc)) {
  what_ = core::utf16_to_utf8(description);
}

const char* ComError::what() const noexcept {
  return what_.c_str();
}

namespace {

// The address of a thread_local is unique among live threads: it names the calling thread.
thread_local char t_marker = 0;
const void* this_thread() {
  return &t_marker;
}

template <typename F>
auto guarded(const void* owner, F&& f) -> decltype(f()) {
  if (owner != this_thread()) {
    throw ComError(core::err::kWrongThread, u"TavikSmsDll",
                   u"The application called an interface that was marshalled for a different "
                   u"thread.");
  }
  try {
    return f();
  } catch (const core::Error& e) {
    throw ComError(e.number(), e.source(), e.description());
  } catch (const std::bad_alloc&) {
    throw ComError(core::err::kOutOfMemory, u"TavikSmsDll", u"Out of memory");
  }
}

}  // namespace

#define TAVIKSMS_CALL(expr) guarded(owner_, [&] { return impl_->expr; })

using S = const std::u16string&;
using I = std::int32_t;

TavikSms::TavikSms() : impl_(std::make_unique<core::TavikSms>()), owner_(this_thread()) {}

// Class_Terminate touches the creating thread's session only; from another thread the instance
// is just freed.
TavikSms::~TavikSms() {
  if (owner_ != this_thread()) {
    impl_->skip_terminate();
  }
}

std::u16string TavikSms::FTP_Upload(S a) {
  return TAVIKSMS_CALL(FTP_Upload(a));
}
std::u16string TavikSms::FTP_Connect() {
  return TAVIKSMS_CALL(FTP_Connect());
}
std::u16string TavikSms::FTP_DisConnect() {
  return TAVIKSMS_CALL(FTP_DisConnect());
}
std::u16string TavikSms::Login(S a, S b) {
  return TAVIKSMS_CALL(Login(a, b));
}
std::u16string TavikSms::Logout() {
  return TAVIKSMS_CALL(Logout());
}
std::int32_t TavikSms::SmsJanek() {
  return TAVIKSMS_CALL(SmsJanek());
}
std::u16string TavikSms::SmsIbgum() {
  return TAVIKSMS_CALL(SmsIbgum());
}
std::u16string TavikSms::SmsHist(S a, I x, I y, I w, I h) {
  return TAVIKSMS_CALL(SmsHist(a, x, y, w, h));
}
std::u16string TavikSms::SmsResultV2(S a, S b, S c) {
  return TAVIKSMS_CALL(SmsResultV2(a, b, c));
}
std::u16string TavikSms::SmsResult1() {
  return TAVIKSMS_CALL(SmsResult1());
}
std::u16string TavikSms::SmsResult2(S a, S b) {
  return TAVIKSMS_CALL(SmsResult2(a, b));
}
std::u16string TavikSms::SmsSend(S a, S b, S c, S d, S e, S f, I typ, S g) {
  return TAVIKSMS_CALL(SmsSend(a, b, c, d, e, f, typ, g));
}
std::u16string TavikSms::LmsSend(S a, S b, S c, S d, S e, S f, S g, S h) {
  return TAVIKSMS_CALL(LmsSend(a, b, c, d, e, f, g, h));
}
std::u16string TavikSms::MmsSend(S a, S b, S c, S d, S e, S f, S g, S h, S i, S j, S k) {
  return TAVIKSMS_CALL(MmsSend(a, b, c, d, e, f, g, h, i, j, k));
}
std::u16string TavikSms::YaeyakDelete(I key) {
  return TAVIKSMS_CALL(YaeyakDelete(key));
}
std::u16string TavikSms::YaeyakData() {
  return TAVIKSMS_CALL(YaeyakData());
}
std::u16string TavikSms::YaeyakDataV2(S a) {
  return TAVIKSMS_CALL(YaeyakDataV2(a));
}
std::u16string TavikSms::YaeyakDataText() {
  return TAVIKSMS_CALL(YaeyakDataText());
}
std::u16string TavikSms::AddMember(S a, S b, S c, S d, S e, S f, S g, S h, S i, S j, S k, S l,
                                   S m) {
  return TAVIKSMS_CALL(AddMember(a, b, c, d, e, f, g, h, i, j, k, l, m));
}

Value TavikSms::invoke(std::string_view method, std::span<const Value> args) {
  const MethodInfo* mi = find_method(method);
  if (!mi) throw ComError(core::err::kUnknownName, u"TavikSmsDll", u"Unknown name.");
  return guarded(owner_, [&] { return core::invoke(*impl_, *mi, args); });
}

}  // namespace taviksms
