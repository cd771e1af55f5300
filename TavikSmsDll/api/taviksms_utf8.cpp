// The C++ API in UTF-8: each method of the list checks and converts its text arguments, in
// parameter order, calls the same method of the UTF-16 class and converts a text result back.
#include <taviksms/utf8.h>

#include <string_view>
#include <tuple>

#include "taviksms_common/utf8.h"

namespace taviksms::utf8 {

namespace {

constexpr std::int32_t kInvalidArgument = static_cast<std::int32_t>(0x80070057u);

std::u16string argument(std::string_view text, const char* parameter) {
  if (const auto bad = taviksms::utf::first_invalid_utf8(text)) {
    throw ComError(
        kInvalidArgument, u"TavikSmsDll",
        taviksms::utf::utf8_to_utf16(std::string(parameter) + ": not valid UTF-8 (byte " +
                                     std::to_string(*bad + 1) + ")"));
  }
  return taviksms::utf::utf8_to_utf16(text);
}
std::int32_t argument(std::int32_t number, const char*) {
  return number;
}

std::string result(const std::u16string& text) {
  return taviksms::utf::utf16_to_utf8(text);
}
std::int32_t result(std::int32_t number) {
  return number;
}

}  // namespace

TavikSms::TavikSms() = default;
TavikSms::~TavikSms() = default;

// The converted arguments are gathered in a braced list, which is evaluated left to right, so
// of several invalid arguments the first is the one named.
#define TAVIKSMS_UTF8_CONVERT(type, name) argument(name, #name)
#define TAVIKSMS_UTF8_CONVERTED(type, name) decltype(argument(name, #name))
#define TAVIKSMS_METHOD(id, name, result_type, ...)                                             \
  TAVIKSMS_UTF8_RESULT(result_type)                                                             \
  TavikSms::name(TAVIKSMS_EACH(TAVIKSMS_UTF8_PARAM, __VA_ARGS__)) {                             \
    std::tuple<TAVIKSMS_EACH(TAVIKSMS_UTF8_CONVERTED, __VA_ARGS__)> args{                       \
        TAVIKSMS_EACH(TAVIKSMS_UTF8_CONVERT, __VA_ARGS__)};                                     \
    return result(std::apply([this](const auto&... a) { return instance_.name(a...); }, args)); \
  }
#include <taviksms/methods.def>

}  // namespace taviksms::utf8
