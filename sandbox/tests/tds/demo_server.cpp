// A TDS server over the fake backend, for trying clients (tsql, pymssql) by hand:
//   sandbox_tds_demo_server [port]    then: tsql -H 127.0.0.1 -p PORT -U u -P p
// "select types" answers a result set of every column type; "exec" a procedure-like answer;
// "fail" an error; anything else a plain DONE.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "fake_backend.h"
#include "tds/server.h"

int main(int argc, char** argv) {
  using namespace sandbox;
  tds::testing::FakeBackend backend;
  backend.on_batch = [](const std::u16string& sql) {
    StatementResult r;
    if (sql.find(u"types") != std::u16string::npos) {
      r.result_sets.push_back(tds::testing::every_type_result_set());
    } else if (sql.find(u"exec") != std::u16string::npos) {
      r.result_sets.push_back(tds::testing::every_type_result_set());
      r.return_status = 7;
    } else if (sql.find(u"fail") != std::u16string::npos) {
      r.error = ServerMessage{102, 1, 15, u"Incorrect syntax near 'fail'.", {}, 1};
    }
    return std::vector<StatementResult>{r};
  };
  backend.on_sql = [](const std::u16string&) {
    StatementResult r;
    ResultSet rs;
    rs.columns = {{u"", SqlType::Money, 0, 0, 0, true}};
    rs.rows = {{SqlValue::money(1234500)}};
    r.result_sets.push_back(rs);
    return std::vector<StatementResult>{r};
  };
  // Blocked before any thread starts, so only sigwait below sees them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const auto port = static_cast<std::uint16_t>(argc > 1 ? std::atoi(argv[1]) : 0);
  tds::TdsServer server(backend, "127.0.0.1", port);
  server.start();
  std::printf("port %u\n", server.port());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&set, &sig);
  server.stop();
  return 0;
}
