// FreeTDS db-lib against the sandbox: RPC with named parameters, the return status, and a scalar
// function's value (RETURNVALUE with status 0x02), which the ODBC driver cannot show.
// sybfront.h defines what sybdb.h uses; keep this order.
#include <sybfront.h>

#include <sybdb.h>

// db-lib owns the names FAIL and SUCCEED; keep gtest from redefining them.
#define GTEST_DONT_DEFINE_FAIL 1
#define GTEST_DONT_DEFINE_SUCCEED 1
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox_process.h"

namespace {

using taviksms::testing::SandboxProcess;

// db-lib's default error handler ends the process on a refused login; report and carry on.
int on_dblib_error(DBPROCESS*, int, int, int, char*, char*) {
  return INT_CANCEL;
}
int on_server_message(DBPROCESS*, DBINT, int, int, char*, char*, char*, int) {
  return 0;
}

struct DbLib {
  DbLib() {
    dbinit();
    dberrhandle(on_dblib_error);
    dbmsghandle(on_server_message);
  }
  ~DbLib() { dbexit(); }
};

class DbLibTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static DbLib dblib;
    sandbox_ = new SandboxProcess();
  }
  static void TearDownTestSuite() {
    delete sandbox_;
    sandbox_ = nullptr;
  }

  DBPROCESS* open(const std::string& password) {
    LOGINREC* login = dblogin();
    DBSETLUSER(login, sandbox_->db_user().c_str());
    DBSETLPWD(login, password.c_str());
    DBSETLCHARSET(login, "UTF-8");
    dbsetlversion(login, DBVERSION_74);
    std::string server = "127.0.0.1:" + std::to_string(sandbox_->ports().tds);
    DBPROCESS* proc = dbopen(login, server.c_str());
    dbloginfree(login);
    if (proc) dbuse(proc, "sms");
    return proc;
  }

  // Sends one RPC with named varchar parameters; returns the return status, fills the returned
  // values (name, text) and counts the rows of all result sets.
  struct RpcOutcome {
    RETCODE sent = FAIL;
    int status = -1;
    bool has_status = false;
    std::vector<std::pair<std::string, std::string>> returns;
    int rows = 0;
  };
  RpcOutcome rpc(DBPROCESS* proc, const char* name,
                 const std::vector<std::pair<std::string, std::string>>& params) {
    RpcOutcome out;
    dbrpcinit(proc, const_cast<char*>(name), 0);
    for (const auto& [pname, value] : params) {
      dbrpcparam(proc, const_cast<char*>(pname.c_str()), 0, SYBVARCHAR, -1,
                 static_cast<DBINT>(value.size()),
                 reinterpret_cast<BYTE*>(const_cast<char*>(value.data())));
    }
    out.sent = dbrpcsend(proc);
    if (out.sent != SUCCEED || dbsqlok(proc) != SUCCEED) return out;
    RETCODE rc;
    while ((rc = dbresults(proc)) != NO_MORE_RESULTS && rc != FAIL) {
      while (dbnextrow(proc) != NO_MORE_ROWS) ++out.rows;
    }
    if (dbhasretstat(proc)) {
      out.has_status = true;
      out.status = dbretstatus(proc);
    }
    for (int i = 1; i <= dbnumrets(proc); ++i) {
      BYTE* data = dbretdata(proc, i);
      int len = dbretlen(proc, i);
      std::string text;
      if (data && len > 0) {
        std::vector<char> buf(static_cast<size_t>(len) * 4 + 64);
        DBINT n = dbconvert(proc, dbrettype(proc, i), data, len, SYBCHAR,
                            reinterpret_cast<BYTE*>(buf.data()), static_cast<DBINT>(buf.size()));
        if (n > 0) text.assign(buf.data(), static_cast<size_t>(n));
      }
      out.returns.emplace_back(dbretname(proc, i) ? dbretname(proc, i) : "", text);
    }
    return out;
  }

  static SandboxProcess* sandbox_;
};

SandboxProcess* DbLibTest::sandbox_ = nullptr;

TEST_F(DbLibTest, FunctionValueComesBackAsReturnValue) {
  DBPROCESS* proc = open(sandbox_->db_password());
  ASSERT_NE(proc, nullptr);
  auto good = rpc(proc, "f_login", {{"@user_id", "demo"}, {"@user_pw", "demo1234"}});
  ASSERT_EQ(good.returns.size(), 1u);
  EXPECT_EQ(good.returns[0].second, "");
  auto bad = rpc(proc, "dbo.f_login", {{"@user_pw", "wrong"}, {"@user_id", "demo"}});
  ASSERT_EQ(bad.returns.size(), 1u);
  EXPECT_EQ(bad.returns[0].second, "비밀번호가 일치하지 않습니다.");
  auto balance = rpc(proc, "[dbo].[f_sms_janek]", {{"@user_id", "demo"}});
  ASSERT_EQ(balance.returns.size(), 1u);
  EXPECT_EQ(balance.returns[0].second.substr(0, 6), "100000");
  dbclose(proc);
}

TEST_F(DbLibTest, ProcedureByNamedParametersReturnsStatusAndRows) {
  DBPROCESS* proc = open(sandbox_->db_password());
  ASSERT_NE(proc, nullptr);
  auto out = rpc(
      proc, "sp_result_data2",
      {{"@to_dtime", "2024-03-31 23:59"}, {"@user_id", "demo"}, {"@fr_dtime", "2024-03-01 00:00"}});
  EXPECT_TRUE(out.has_status);
  EXPECT_EQ(out.status, 0);
  EXPECT_GT(out.rows, 2);
  auto calls = sandbox_->get("/calls?proc=sp_result_data2");
  ASSERT_FALSE(calls.empty());
  // The log lists parameters in declared order whatever order they were sent in.
  EXPECT_EQ(calls.back()["params"][0]["name"], "@user_id");
  EXPECT_EQ(calls.back()["params"][1]["text"], "2024-03-01 00:00");
  dbclose(proc);
}

TEST_F(DbLibTest, WrongPasswordIsRefused) {
  EXPECT_EQ(open("not-the-password"), nullptr);
  EXPECT_GE(sandbox_->get("/connections")["failed_logins"].get<int>(), 1);
}

}  // namespace
