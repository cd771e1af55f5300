// Login, procedure name resolution and parameter binding with SQL Server's errors.
#include <set>

#include "service/service_impl.h"
#include "support.h"

namespace sandbox::test {
namespace {

using BindingTest = ServiceTest;

TEST_F(BindingTest, LoginChecksCredentialsAndDatabase) {
  auto s = service_->open_session();
  auto bad = s->login(LoginRequest{u"sms_app", u"wrong", u"", u"", u""});
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->number, 18456);
  EXPECT_EQ(bad.error->severity, 14);
  EXPECT_EQ(bad.error->text, u"Login failed for user 'sms_app'.");

  auto other_user = s->login(LoginRequest{u"sa", u"tavik2024db", u"", u"", u""});
  ASSERT_TRUE(other_user.error);
  EXPECT_EQ(other_user.error->text, u"Login failed for user 'sa'.");

  auto db = s->login(LoginRequest{u"sms_app", u"tavik2024db", u"master", u"", u""});
  ASSERT_TRUE(db.error);
  EXPECT_EQ(db.error->number, 4060);
  EXPECT_EQ(db.error->text,
            u"Cannot open database \"master\" requested by the login. The login failed.");

  for (const char16_t* name : {u"", u"sms", u"SMS"}) {
    auto ok = s->login(LoginRequest{u"sms_app", u"tavik2024db", name, u"", u""});
    EXPECT_FALSE(ok.error);
    EXPECT_EQ(ok.database, u"sms");
  }
  const auto counts = service_->connection_counts();
  EXPECT_EQ(counts.open, 2);  // the fixture's session and this one
  EXPECT_EQ(counts.total_logins, 7);
  EXPECT_EQ(counts.failed_logins, 3);
  s.reset();
  EXPECT_EQ(service_->connection_counts().open, 1);
}

TEST_F(BindingTest, NameResolutionForms) {
  for (const char16_t* name : {u"f_login", u"dbo.f_login", u"[dbo].[f_login]", u"sms.dbo.f_login",
                               u"SMS..F_LOGIN", u"DBO.F_Login"}) {
    auto r = rpc(name, {p(u"demo"), p(u"demo1234")});
    EXPECT_FALSE(r.error) << to_utf8(name) << ": " << to_utf8(error_text(r));
    ASSERT_TRUE(r.function_value) << to_utf8(name);
    EXPECT_EQ(r.function_value->s, u"");
    EXPECT_EQ(r.return_status, 0);
  }
  for (const char16_t* name : {u"f_nothing", u"other.f_login", u"master.dbo.f_login"}) {
    auto r = rpc(name, {});
    ASSERT_TRUE(r.error) << to_utf8(name);
    EXPECT_EQ(r.error->number, 2812);
    EXPECT_EQ(r.error->text, u"Could not find stored procedure '" + std::u16string(name) + u"'.");
    EXPECT_FALSE(r.return_status);
  }
}

TEST_F(BindingTest, ParametersByNamePositionAndMixed) {
  // By name, in any order and letter case.
  auto named = rpc(u"f_login", {p(u"@USER_PW", u"demo1234"), p(u"@user_id", u"demo")});
  ASSERT_TRUE(named.function_value);
  EXPECT_EQ(named.function_value->s, u"");
  // By position.
  auto positional = rpc(u"f_login", {p(u"demo"), p(u"nope")});
  ASSERT_TRUE(positional.function_value);
  EXPECT_EQ(positional.function_value->s, u"비밀번호가 일치하지 않습니다.");
  // Positions first, then names.
  auto mixed = rpc(u"f_login", {p(u"demo"), p(u"@user_pw", u"demo1234")});
  ASSERT_TRUE(mixed.function_value);
  EXPECT_EQ(mixed.function_value->s, u"");
  // A position after a name is refused.
  auto wrong_order = rpc(u"f_login", {p(u"@user_id", u"demo"), p(u"demo1234")});
  ASSERT_TRUE(wrong_order.error);
  EXPECT_EQ(wrong_order.error->number, 119);
}

TEST_F(BindingTest, SqlServerBindingErrors) {
  auto unknown = rpc(u"f_login", {p(u"@user_id", u"demo"), p(u"@password", u"x")});
  ASSERT_TRUE(unknown.error);
  EXPECT_EQ(unknown.error->number, 8145);
  EXPECT_EQ(unknown.error->text, u"@password is not a parameter for procedure f_login.");

  auto missing = rpc(u"sp_YaeyakDelete", {p(u"@user_id", u"demo")});
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->number, 201);
  EXPECT_EQ(missing.error->text,
            u"Procedure or function 'sp_YaeyakDelete' expects parameter '@id', which was not "
            u"supplied.");

  auto too_many = rpc(u"f_sms_janek", {p(u"demo"), p(u"extra")});
  ASSERT_TRUE(too_many.error);
  EXPECT_EQ(too_many.error->number, 8144);
  EXPECT_EQ(too_many.error->text,
            u"Procedure or function f_sms_janek has too many arguments specified.");

  auto twice = rpc(u"f_sms_janek", {p(u"@user_id", u"demo"), p(u"@user_id", u"demo")});
  ASSERT_TRUE(twice.error);
  EXPECT_EQ(twice.error->number, 8143);
}

// The RPC "default" flag: the parameter counts as left out, its value is ignored.
TEST_F(BindingTest, DefaultFlaggedParametersTakeTheDeclaredDefaultOrFail) {
  auto as_default = [](RpcParam param) {
    param.is_default = true;
    return param;
  };
  // No default declared: SQL Server's 201, by position and by name alike.
  auto positional = rpc(u"f_login", {p(u"demo"), as_default(p(u"demo1234"))});
  ASSERT_TRUE(positional.error);
  EXPECT_EQ(positional.error->number, 201);
  EXPECT_EQ(positional.error->text,
            u"Procedure or function 'f_login' expects parameter '@user_pw', which was not "
            u"supplied.");
  auto named = rpc(u"sp_YaeyakDelete", {p(u"@user_id", u"demo"), as_default(pi(u"@id", 7))});
  ASSERT_TRUE(named.error);
  EXPECT_EQ(named.error->number, 201);

  // Declared defaults apply, whatever value came with the flag: @procedure_name's "%" lists
  // every procedure, not the one named by the ignored value.
  auto listed =
      rpc(u"sp_sproc_columns", {as_default(p(u"@procedure_name", u"f_login")), pi(u"@ODBCVer", 3)});
  ASSERT_FALSE(listed.error) << to_utf8(error_text(listed));
  ASSERT_EQ(listed.result_sets.size(), 1u);
  std::set<std::u16string> procs;
  for (const auto& row : listed.result_sets[0].rows) procs.insert(row[2].s);
  EXPECT_GT(procs.size(), 5u);

  // A defaulted parameter is not in the call log.
  const auto log = service_->state().calls.list(u"f_login", 0);
  ASSERT_FALSE(log.empty());
  ASSERT_EQ(log.back().params.size(), 1u);
  EXPECT_EQ(log.back().params[0].name, u"@user_id");
}

TEST_F(BindingTest, ConversionToDeclaredTypes) {
  // Text digits convert to an int parameter; anything else is error 8114.
  auto ok = rpc(u"sp_YaeyakDelete", {p(u"demo"), p(u" 12 ")});
  EXPECT_FALSE(ok.error) << to_utf8(error_text(ok));
  auto bad = rpc(u"sp_YaeyakDelete", {p(u"demo"), p(u"12a")});
  ASSERT_TRUE(bad.error);
  EXPECT_EQ(bad.error->number, 8114);
  EXPECT_EQ(bad.error->text, u"Error converting data type nvarchar to int.");
  auto bad_varchar =
      rpc(u"sp_YaeyakDelete", {p(u"demo"), RpcParam{u"", SqlValue::varchar(u"x"), false}});
  ASSERT_TRUE(bad_varchar.error);
  EXPECT_EQ(bad_varchar.error->text, u"Error converting data type varchar to int.");
  // An integer given for a text parameter arrives as its digits.
  auto as_text = rpc(u"f_sms_janek", {RpcParam{u"", SqlValue::int32(42), false}});
  ASSERT_TRUE(as_text.function_value);
  EXPECT_EQ(as_text.function_value->i, 0);  // user "42" does not exist
}

}  // namespace
}  // namespace sandbox::test
