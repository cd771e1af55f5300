// The C++ host API: forwards each method of the list to the core class, whose call() keeps each
// instance on the thread that created it, and turns the errors that escape into ComError.
#include <new>

#include <taviksms/taviksms.h>

#include "base/error.h"
#include "base/text.h"
#include "component/taviksms.h"

namespace taviksms {

ComError::ComError(std::int32_t n, std::u16string src, std::u16string desc)
    : number(n), source(std::move(src)), description(std::move(desc)) {
  what_ = core::utf16_to_utf8(description);
}

const char* ComError::what() const noexcept {
  return what_.c_str();
}

namespace {

template <typename F>
auto translated(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const core::Error& e) {
    throw ComError(e.number(), e.source(), e.description());
  }
}

}  // namespace

TavikSms::TavikSms() : impl_(std::make_unique<core::TavikSms>()) {}

TavikSms::~TavikSms() = default;

#define TAVIKSMS_METHOD(id, name, result, ...)                                                \
  TAVIKSMS_RESULT(result) TavikSms::name(TAVIKSMS_EACH(TAVIKSMS_PARAM, __VA_ARGS__)) {        \
    return translated([&] { return impl_->name(TAVIKSMS_EACH(TAVIKSMS_ARG, __VA_ARGS__)); }); \
  }
#include <taviksms/methods.def>

Value TavikSms::invoke(std::string_view method, std::span<const Value> args) {
  const MethodInfo* mi = find_method(method);
  if (!mi) throw ComError(core::err::kUnknownName, u"TavikSmsDll", u"Unknown name.");
  return translated([&] { return impl_->invoke(*mi, args); });
}

}  // namespace taviksms
