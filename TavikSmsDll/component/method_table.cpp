// The interface's method table (dispatch ids, names, parameters in order) and the late-bound
// dispatcher over it. Both the shell's help and its dispatch are driven by this one table.
#include <array>
#include <string>

#include "component/error.h"
#include "component/taviksms.h"
#include "component/text.h"
#include "component/trace.h"
#include "db/value.h"

namespace taviksms {

namespace {

constexpr ArgType T = ArgType::text;
constexpr ArgType I = ArgType::int32;

constexpr ParamInfo kFtpUpload[] = {{"fnam", T}};
constexpr ParamInfo kLogin[] = {{"User_ID", T}, {"Passwd", T}};
constexpr ParamInfo kSmsHist[] = {{"SUB_ID", T}, {"xx", I}, {"yy", I}, {"ww", I}, {"hh", I}};
constexpr ParamInfo kSmsResultV2[] = {{"SUB_ID", T}, {"fr_dTime", T}, {"to_dTime", T}};
constexpr ParamInfo kSmsResult2[] = {{"fr_dTime", T}, {"to_dTime", T}};
constexpr ParamInfo kSmsSend[] = {{"SUB_ID", T},     {"user_tel", T},   {"Custom_id", T},
                                  {"Custom_nam", T}, {"Custom_tel", T}, {"msg", T},
                                  {"typ", I},        {"YK_Time", T}};
constexpr ParamInfo kLmsSend[] = {{"SUB_ID", T},     {"user_tel", T},   {"Custom_id", T},
                                  {"Custom_nam", T}, {"Custom_tel", T}, {"subject", T},
                                  {"msg", T},        {"YK_Time", T}};
constexpr ParamInfo kMmsSend[] = {{"SUB_ID", T},     {"user_tel", T},   {"Custom_id", T},
                                  {"Custom_nam", T}, {"Custom_tel", T}, {"subject", T},
                                  {"msg", T},        {"fnam1", T},      {"fnam2", T},
                                  {"fnam3", T},      {"YK_Time", T}};
constexpr ParamInfo kYaeyakDelete[] = {{"Key_id", I}};
constexpr ParamInfo kSubId[] = {{"SUB_ID", T}};
constexpr ParamInfo kAddMember[] = {
    {"User_ID", T},  {"user_pw", T},     {"recommender", T}, {"TAX_NO", T},  {"tax_ltd", T},
    {"tax_name", T}, {"tax_jongmok", T}, {"tax_upte", T},    {"tax_tel", T}, {"tax_fax", T},
    {"tax_mail", T}, {"tax_juso", T},    {"tax_damdang", T}};

template <std::size_t N>
constexpr MethodInfo m(std::int32_t id, const char* name, const ParamInfo (&p)[N], ArgType r) {
  return MethodInfo{id, name, p, N, r};
}
constexpr MethodInfo m0(std::int32_t id, const char* name, ArgType r) {
  return MethodInfo{id, name, nullptr, 0, r};
}

constexpr std::array<MethodInfo, 19> kMethods = {
    m(0x600300CF, "FTP_Upload", kFtpUpload, T),
    m0(0x600300D0, "FTP_Connect", T),
    m0(0x600300D1, "FTP_DisConnect", T),
    m(0x600300D2, "Login", kLogin, T),
    m0(0x600300D3, "Logout", T),
    m0(0x600300D4, "SmsJanek", I),
    m0(0x600300D5, "SmsIbgum", T),
    m(0x600300D6, "SmsHist", kSmsHist, T),
    m(0x600300D8, "SmsResultV2", kSmsResultV2, T),
    m0(0x600300DA, "SmsResult1", T),
    m(0x600300DB, "SmsResult2", kSmsResult2, T),
    m(0x600300DC, "SmsSend", kSmsSend, T),
    m(0x600300DD, "LmsSend", kLmsSend, T),
    m(0x600300DE, "MmsSend", kMmsSend, T),
    m(0x600300DF, "YaeyakDelete", kYaeyakDelete, T),
    m0(0x600300E0, "YaeyakData", T),
    m(0x600300E1, "YaeyakDataV2", kSubId, T),
    m0(0x600300E2, "YaeyakDataText", T),
    m(0x600300E3, "AddMember", kAddMember, T),
};

}  // namespace

std::span<const MethodInfo> methods() {
  return kMethods;
}

const MethodInfo* find_method(std::string_view name) {
  for (const auto& mi : kMethods) {
    std::string_view n = mi.name;
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < n.size() && same; ++i) {
      auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
      same = lower(n[i]) == lower(name[i]);
    }
    if (same) return &mi;
  }
  return nullptr;
}

namespace core {

namespace {

[[noreturn]] void type_mismatch_arg() {
  throw Error(err::kTypeMismatchDisp, u"TavikSmsDll", u"Type mismatch");
}

// Argument coercion as a script host does it: numbers to text, numeric text to int32.
std::u16string text_arg(const Value& v) {
  if (const auto* s = std::get_if<std::u16string>(&v)) return *s;
  std::string a = std::to_string(std::get<std::int32_t>(v));
  return std::u16string(a.begin(), a.end());
}
std::int32_t int_arg(const Value& v) {
  if (const auto* i = std::get_if<std::int32_t>(&v)) return *i;
  std::int32_t out = 0;
  bool overflow = false;
  if (!db::round_half_even_to_int32(std::get<std::u16string>(v), out, overflow)) {
    if (overflow) throw Error(err::kOverflow, u"TavikSmsDll", u"Overflow");
    type_mismatch_arg();
  }
  return out;
}

}  // namespace

Value dispatch(TavikSms& o, const MethodInfo& mi, std::span<const Value> a) {
  if (a.size() != mi.param_count) {
    throw Error(err::kBadParamCount, u"TavikSmsDll", u"Invalid number of parameters.");
  }
  auto t = [&](std::size_t i) { return text_arg(a[i]); };
  auto n = [&](std::size_t i) { return int_arg(a[i]); };
  switch (mi.dispid) {
    case 0x600300CF:
      return o.FTP_Upload(t(0));
    case 0x600300D0:
      return o.FTP_Connect();
    case 0x600300D1:
      return o.FTP_DisConnect();
    case 0x600300D2:
      return o.Login(t(0), t(1));
    case 0x600300D3:
      return o.Logout();
    case 0x600300D4:
      return o.SmsJanek();
    case 0x600300D5:
      return o.SmsIbgum();
    case 0x600300D6:
      return o.SmsHist(t(0), n(1), n(2), n(3), n(4));
    case 0x600300D8:
      return o.SmsResultV2(t(0), t(1), t(2));
    case 0x600300DA:
      return o.SmsResult1();
    case 0x600300DB:
      return o.SmsResult2(t(0), t(1));
    case 0x600300DC:
      return o.SmsSend(t(0), t(1), t(2), t(3), t(4), t(5), n(6), t(7));
    case 0x600300DD:
      return o.LmsSend(t(0), t(1), t(2), t(3), t(4), t(5), t(6), t(7));
    case 0x600300DE:
      return o.MmsSend(t(0), t(1), t(2), t(3), t(4), t(5), t(6), t(7), t(8), t(9), t(10));
    case 0x600300DF:
      return o.YaeyakDelete(n(0));
    case 0x600300E0:
      return o.YaeyakData();
    case 0x600300E1:
      return o.YaeyakDataV2(t(0));
    case 0x600300E2:
      return o.YaeyakDataText();
    case 0x600300E3:
      return o.AddMember(t(0), t(1), t(2), t(3), t(4), t(5), t(6), t(7), t(8), t(9), t(10), t(11),
                         t(12));
  }
  throw Error(err::kUnknownName, u"TavikSmsDll", u"Unknown name.");
}

// Every late-bound call passes here; the trace writes it when switched on.
Value invoke(TavikSms& o, const MethodInfo& mi, std::span<const Value> a) {
  return trace::traced_call(mi, a, [&] { return dispatch(o, mi, a); });
}

}  // namespace core
}  // namespace taviksms
