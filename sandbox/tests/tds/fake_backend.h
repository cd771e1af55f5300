// A scripted Backend for the TDS layer's tests: records what the codec decoded and answers with
// whatever the test installs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"

namespace sandbox::tds::testing {

struct RecordedCall {
  std::string kind;            // "batch", "rpc", "sql"
  std::u16string text;         // batch text, RPC name, or sp_executesql statement
  std::u16string declaration;  // sp_executesql only
  std::vector<RpcParam> params;
};

class FakeBackend : public Backend {
 public:
  // Defaults: login u/p succeeds into "sms"; every request answers an empty StatementResult.
  std::function<LoginResult(const LoginRequest&)> on_login = [](const LoginRequest& r) {
    LoginResult res;
    if (r.user == u"u" && r.password == u"p") {
      res.database = u"sms";
    } else {
      ServerMessage e;
      e.number = 18456;
      e.severity = 14;
      e.text = u"Login failed for user '" + r.user + u"'.";
      res.error = e;
    }
    return res;
  };
  std::function<std::vector<StatementResult>(const std::u16string&)> on_batch =
      [](const std::u16string&) { return std::vector<StatementResult>{StatementResult{}}; };
  std::function<StatementResult(const std::u16string&, const std::vector<RpcParam>&)> on_rpc =
      [](const std::u16string&, const std::vector<RpcParam>&) {
        StatementResult r;
        r.return_status = 0;
        return r;
      };
  std::function<std::vector<StatementResult>(const std::u16string&)> on_sql =
      [](const std::u16string&) { return std::vector<StatementResult>{StatementResult{}}; };

  std::vector<RecordedCall> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void record(RecordedCall c) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(c));
  }

  std::unique_ptr<Session> open_session() override;

 private:
  mutable std::mutex mutex_;
  std::vector<RecordedCall> calls_;
};

class FakeSession : public Session {
 public:
  explicit FakeSession(FakeBackend& b) : b_(b) {}
  LoginResult login(const LoginRequest& r) override { return b_.on_login(r); }
  std::vector<StatementResult> execute_batch(const std::u16string& sql) override {
    b_.record({"batch", sql, {}, {}});
    return b_.on_batch(sql);
  }
  StatementResult call_rpc(const std::u16string& name, const std::vector<RpcParam>& p) override {
    b_.record({"rpc", name, {}, p});
    return b_.on_rpc(name, p);
  }
  std::vector<StatementResult> execute_sql(const std::u16string& statement,
                                           const std::u16string& declaration,
                                           const std::vector<RpcParam>& p) override {
    b_.record({"sql", statement, declaration, p});
    return b_.on_sql(statement);
  }

 private:
  FakeBackend& b_;
};

inline std::unique_ptr<Session> FakeBackend::open_session() {
  return std::make_unique<FakeSession>(*this);
}

// A result set with one column of each type and a row of values plus a row of NULLs.
inline ResultSet every_type_result_set() {
  ResultSet rs;
  rs.columns = {
      {u"v", SqlType::VarChar, 20, 0, 0, true}, {u"n", SqlType::NVarChar, 20, 0, 0, true},
      {u"i", SqlType::Int, 0, 0, 0, true},      {u"b", SqlType::BigInt, 0, 0, 0, true},
      {u"m", SqlType::Money, 0, 0, 0, true},    {u"d", SqlType::Decimal, 0, 10, 2, true},
      {u"t", SqlType::DateTime, 0, 0, 0, true}, {u"x", SqlType::Bit, 0, 0, 0, true},
      {u"vm", SqlType::VarChar, 0, 0, 0, true}, {u"nm", SqlType::NVarChar, 0, 0, 0, true},
  };
  // 2024-02-29 13:45:30.123 = 1709214330123 ms since 1970.
  rs.rows.push_back({SqlValue::varchar(u"\uAC00\uB098 abc"), SqlValue::nvarchar(u"\uD55C\uAE00"),
                     SqlValue::int32(-42), SqlValue::int64(9000000000LL), SqlValue::money(123456),
                     SqlValue::decimal(-12345, 10, 2),
                     SqlValue::datetime(DateTime{1709214330123LL}), SqlValue::bit(true),
                     SqlValue::varchar(std::u16string(30, u'x')),
                     SqlValue::nvarchar(u"long \uD55C")});
  Row nulls;
  for (const Column& c : rs.columns) nulls.push_back(SqlValue::null(c.type));
  rs.rows.push_back(nulls);
  return rs;
}

}  // namespace sandbox::tds::testing
