// Shared helpers of the service tests: a Service on a fresh folder with a fixed clock, and a
// logged-in session.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>

#include "service/service.h"
#include "service/text.h"

namespace sandbox::test {

inline RpcParam p(std::u16string name, std::u16string value) {
  return RpcParam{std::move(name), SqlValue::nvarchar(std::move(value)), false};
}
inline RpcParam p(std::u16string value) {
  return p(u"", std::move(value));
}
inline RpcParam pi(std::u16string name, std::int32_t value) {
  return RpcParam{std::move(name), SqlValue::int32(value), false};
}
inline RpcParam pnull(std::u16string name) {
  return RpcParam{std::move(name), SqlValue::null(SqlType::NVarChar), false};
}

inline DateTime at(int y, int mo, int d, int h, int mi, int s = 0) {
  return make_datetime(CivilTime{y, mo, d, h, mi, s, 0});
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("sandbox-service-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir_);
    ServiceConfig config;
    config.data_dir = dir_;
    config.clock_start = at(2024, 6, 1, 12, 0);
    service_ = std::make_unique<Service>(config);
    session_ = open_logged_in();
  }
  void TearDown() override {
    session_.reset();
    service_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::unique_ptr<Session> open_logged_in() {
    auto s = service_->open_session();
    LoginRequest login{u"sms_app", u"tavik2024db", u"", u"test", u"host"};
    EXPECT_FALSE(s->login(login).error);
    return s;
  }

  StatementResult rpc(const std::u16string& name, std::vector<RpcParam> params) {
    return session_->call_rpc(name, params);
  }

  // sp_sms_send by name with the component's ten parameters.
  StatementResult sms(const std::u16string& user, const std::u16string& tel,
                      const std::u16string& msg = u"hello", const std::u16string& yk = u"",
                      const std::u16string& sub = u"sub01") {
    return rpc(u"sp_sms_send",
               {p(u"@user_id", user), p(u"@Sub_ID", sub), p(u"@User_tel", u"0212345678"),
                p(u"@Custom_id", u"C1"), p(u"@Custom_nam", u"name"), p(u"@Custom_tel", tel),
                p(u"@msg", msg), pi(u"@typ", 0), p(u"@n_code", u""), p(u"@YK_Time", yk)});
  }

  std::u16string error_text(const StatementResult& r) {
    return r.error ? r.error->text : std::u16string(u"(no error)");
  }

  std::int64_t balance(const std::u16string& user) {
    auto r = rpc(u"f_sms_janek", {p(user)});
    EXPECT_TRUE(r.function_value.has_value());
    return r.function_value ? r.function_value->i : -1;
  }

  std::filesystem::path dir_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<Session> session_;
};

// A text column of a row by column name.
inline const SqlValue& cell(const ResultSet& rs, std::size_t row, std::u16string_view column) {
  for (std::size_t i = 0; i < rs.columns.size(); ++i) {
    if (rs.columns[i].name == column) return rs.rows.at(row).at(i);
  }
  ADD_FAILURE() << "no column " << to_utf8(column);
  static const SqlValue none;
  return none;
}

}  // namespace sandbox::test
