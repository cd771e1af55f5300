// The type library's IDL and the method list state the same interface: dispatch ids, names,
// parameter names, types and order, result types. Runs on every machine (no COM needed).
#include "idl_contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace taviksms::idl {
namespace {

std::string idl_text() {
  std::ifstream f(TAVIKSMS_IDL_PATH, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The IDL with the help strings of its method attributes taken out, so the cases below can edit
// "[id(...)]" and the declarations as plain text (help strings are read: see the next tests).
std::string plain_idl() {
  static const std::regex help(R"(, helpstring\("(?:[^"\\]|\\.)*"\))");
  return std::regex_replace(idl_text(), help, "");
}

std::vector<std::string> check(const std::string& idl) {
  return compare(parse_interface(idl, "_TavikSms"), methods());
}

// `idl` with the first `from` replaced by `to` (the test fails when there is none).
std::string edited(std::string idl, const std::string& from, const std::string& to) {
  const auto at = idl.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) idl.replace(at, from.size(), to);
  return idl;
}

bool has(const std::vector<std::string>& v, const std::string& line) {
  return std::find(v.begin(), v.end(), line) != v.end();
}

std::string joined(const std::vector<std::string>& v) {
  std::string out;
  for (const auto& s : v) out += s + "\n";
  return out;
}

TEST(IdlContract, TheIdlAndTheMethodListAgree) {
  const std::string idl = idl_text();
  ASSERT_FALSE(idl.empty()) << TAVIKSMS_IDL_PATH;
  const IdlInterface parsed = parse_interface(idl, "_TavikSms");
  EXPECT_EQ(parsed.methods.size(), methods().size());
  const auto problems = compare(parsed, methods());
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST(IdlContract, AttributesCommentsAndLineBreaksAreRead) {
  std::string idl = plain_idl();
  // Help strings that hold the characters the reader splits on, and comments of both kinds.
  idl = edited(idl, "[id(0x600300D2)]",
               "[id(0x600300D2), helpstring(\"Logs in; then (see [1]) \\\"calls\\\", ok\")]\n"
               "    /* HRESULT Fake([out, retval] BSTR* r); */");
  idl = edited(idl, "[id(0x600300D4)]",
               "// [id(0x600300D9)] HRESULT Old();\n[ helpstring(\"x\") , id( 0x600300D4 ) ]");
  idl = edited(idl, "[in] long typ", "[in, helpstring(\"a, b\")]\n  long\n  typ");
  const auto problems = check(idl);
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST(IdlContract, EachDisagreementNamesTheMethodAndTheField) {
  const std::string idl = plain_idl();
  struct Case {
    std::string from, to, message;
  };
  const Case cases[] = {
      {"[id(0x600300D2)]", "[id(0x600300D7)]",
       "Login: dispatch id: IDL 0x600300D7, list 0x600300D2"},
      {"BSTR Passwd", "BSTR Password", "Login: parameter 2 name: IDL Password, list Passwd"},
      {"[in] long typ", "[in] BSTR typ", "SmsSend: parameter 7 (typ) type: IDL text, list int32"},
      {"[in] long Key_id", "[in] short Key_id",
       "YaeyakDelete: parameter 1 (Key_id) type: IDL short, list int32"},
      {"SmsJanek([out, retval] long* result)", "SmsJanek([out, retval] BSTR* result)",
       "SmsJanek: result type: IDL text, list int32"},
      {"[in] BSTR fr_dTime, [in] BSTR to_dTime", "[in] BSTR to_dTime, [in] BSTR fr_dTime",
       "SmsResultV2: parameter 2 name: IDL to_dTime, list fr_dTime"},
      {"Logout([out", "Logout([in] BSTR why, [out", "Logout: parameter count: IDL 1, list 0"},
      {"[in] BSTR tax_damdang,", "", "AddMember: parameter count: IDL 12, list 13"},
      {"[id(0x600300E0)] HRESULT YaeyakData([out, retval] BSTR* result);", "",
       "YaeyakData: in the method list, not in the IDL"},
      {"[id(0x600300E0)]",
       "[id(0x600300E0)] HRESULT SmsExtra([out, retval] BSTR* result);\n"
       "    [id(0x600300E0)]",
       "SmsExtra: in the IDL, not in the method list"},
      {"HRESULT SmsResult1(", "HRESULT SmsResultOne(",
       "SmsResultOne: in the IDL, not in the method list"},
      {"[id(0x600300D3)] HRESULT Logout", "HRESULT Logout",
       "Logout: dispatch id: IDL none, list 0x600300D3"},
      {"[id(0x600300D3)]", "[id(0x6003ZZ)]",
       "unreadable dispatch id id(0x6003ZZ) in: [id(0x6003ZZ)] "
       "HRESULT Logout([out, retval] BSTR* result)"},
  };
  for (const auto& c : cases) {
    const auto problems = check(edited(idl, c.from, c.to));
    EXPECT_TRUE(has(problems, c.message)) << "expected: " << c.message << "\ngot:\n"
                                          << joined(problems);
  }
  // A method moved within the interface changes its position (the vtable order is the contract).
  std::string moved =
      edited(idl, "    [id(0x600300D0)] HRESULT FTP_Connect([out, retval] BSTR* result);\n", "");
  moved = edited(moved, "    [id(0x600300E0)]",
                 "    [id(0x600300D0)] HRESULT FTP_Connect([out, retval] BSTR* result);\n    "
                 "[id(0x600300E0)]");
  EXPECT_TRUE(has(check(moved), "FTP_Connect: position: IDL 15, list 2")) << joined(check(moved));
}

TEST(IdlContract, AMethodOnTheListSideOnlyIsNamed) {
  const IdlInterface parsed = parse_interface(idl_text(), "_TavikSms");
  std::vector<MethodInfo> list(methods().begin(), methods().end());
  const ParamInfo extra_params[] = {{"SUB_ID", ArgType::text}};
  list.push_back(MethodInfo{0x600300E4, "SmsCancel", extra_params, 1, ArgType::text});
  EXPECT_EQ(compare(parsed, list),
            std::vector<std::string>{"SmsCancel: in the method list, not in the IDL"});
  list.pop_back();
  list.erase(list.begin() + 5);  // SmsJanek
  EXPECT_TRUE(has(compare(parsed, list), "SmsJanek: in the IDL, not in the method list"));
}

TEST(IdlContract, AnIdlWithoutTheInterfaceIsReported) {
  const auto problems = compare(
      parse_interface("library L { interface _Other : IDispatch {}; };", "_TavikSms"), methods());
  EXPECT_TRUE(has(problems, "no interface _TavikSms")) << joined(problems);
  EXPECT_TRUE(has(problems, "Login: in the method list, not in the IDL")) << joined(problems);
}

}  // namespace
}  // namespace taviksms::idl
