// Injected faults, the call log, concurrency, and the control routes served on 127.0.0.1.
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "control/service_routes.h"
#include "service/service_impl.h"
#include "support.h"

namespace sandbox::test {
namespace {

using FaultTest = ServiceTest;

TEST_F(FaultTest, RaiseTheNextKCallsOfAProcedure) {
  service_->state().faults.add_raise(u"SP_SMS_SEND", u"injected", 50001, 2);
  for (int i = 0; i < 2; ++i) {
    auto r = sms(u"demo", u"01012345678");
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->number, 50001);
    EXPECT_EQ(r.error->text, u"injected");
    EXPECT_EQ(r.error->procedure, u"sp_sms_send");
  }
  EXPECT_FALSE(sms(u"demo", u"01012345678").error);
  EXPECT_EQ(balance(u"demo"), (100000 - 20) * 10000LL);
  const auto calls = service_->state().calls.list(u"sp_sms_send", 0);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].error, u"injected");
  EXPECT_FALSE(calls[2].error);
}

TEST_F(FaultTest, DropTheKthExecution) {
  service_->state().faults.add_drop(3, std::nullopt);
  EXPECT_FALSE(rpc(u"f_sms_janek", {p(u"demo")}).drop_connection);
  EXPECT_FALSE(sms(u"demo", u"01012345678").drop_connection);
  auto dropped = sms(u"demo", u"01012345678");
  EXPECT_TRUE(dropped.drop_connection);
  EXPECT_EQ(balance(u"demo"), (100000 - 20) * 10000LL);  // the dropped call did not run

  service_->state().faults.add_drop(2, u"sp_sms_send");
  EXPECT_FALSE(rpc(u"f_sms_janek", {p(u"demo")}).drop_connection);
  EXPECT_FALSE(sms(u"demo", u"01012345678").drop_connection);
  EXPECT_FALSE(rpc(u"f_sms_janek", {p(u"demo")}).drop_connection);
  // A batch stops at the dropped statement.
  auto batch = session_->execute_batch(
      u"SELECT 1\nexec sp_sms_send 'demo','s','1','c','n',"
      u"'01012345678','m',0,'',''\nSELECT 2");
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_TRUE(batch[1].drop_connection);
}

TEST_F(FaultTest, AcknowledgementStatementsRaiseOrDropAtTheKth) {
  auto& faults = service_->state().faults;
  const auto acks = [&] {
    std::lock_guard lock(service_->state().db_mutex);
    auto& q = service_->state().store.stmt("SELECT count(*) FROM acks");
    q.step();
    return q.integer(0);
  };
  faults.add_ack_fault(2, Faults::Raise{u"not now", 50123});
  faults.add_ack_fault(3, std::nullopt);
  // One batch, three statements: the first runs, the second raises and the batch goes on, the
  // third drops the connection.
  auto batch = session_->execute_batch(
      u"update sms_result set reply = 1 where id = 1 ;\n"
      u"update sms_result set reply = 1 where id = 2 ;\n"
      u"update sms_result set reply = 1 where id = 3 ;");
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_FALSE(batch[0].error);
  ASSERT_TRUE(batch[1].error);
  EXPECT_EQ(batch[1].error->number, 50123);
  EXPECT_EQ(batch[1].error->text, u"not now");
  EXPECT_TRUE(batch[2].drop_connection);
  EXPECT_EQ(acks(), 1);
  EXPECT_FALSE(session_->execute_batch(u"update sms_result set reply = 1 where id = 3 ;")[0].error);
  EXPECT_EQ(acks(), 2) << "the faults are spent";
  faults.add_ack_fault(1, std::nullopt);
  faults.clear();
  EXPECT_FALSE(session_->execute_batch(u"update sms_result set reply = 1 where id = 5 ;")[0]
                   .drop_connection);
}

TEST_F(FaultTest, JanekNullAndGeneratedRows) {
  auto& faults = service_->state().faults;
  faults.set_janek_null(true);
  auto r = rpc(u"f_sms_janek", {p(u"demo")});
  ASSERT_TRUE(r.function_value);
  EXPECT_TRUE(r.function_value->is_null);
  faults.set_rows(u"sp_result_data2", 100000);
  const auto start = std::chrono::steady_clock::now();
  auto rows = rpc(u"sp_result_data2", {p(u"demo"), p(u"2024-01-01 00:00"), p(u"2024-01-01 00:00")});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(rows.result_sets.size(), 1u);
  ASSERT_EQ(rows.result_sets[0].rows.size(), 100000u);
  EXPECT_EQ(rows.result_sets[0].rows[99999][0].i, 100000);
  EXPECT_EQ(rows.result_sets[0].rows[0].size(), 15u);
  std::printf("100000 generated rows in %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  faults.clear();
  EXPECT_FALSE(rpc(u"f_sms_janek", {p(u"demo")}).function_value->is_null);
  EXPECT_EQ(rpc(u"sp_result_data2", {p(u"demo"), p(u"2024-01-01 00:00"), p(u"2024-01-01 00:00")})
                .result_sets.at(0)
                .rows.size(),
            0u);
}

TEST_F(FaultTest, ConcurrentSessionsSend) {
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      auto s = open_logged_in();
      for (int i = 0; i < kEach; ++i) {
        std::vector<RpcParam> params = {
            p(u"demo"),        p(u"sub01"), p(u"02"),   p(u"c"), p(u"n"),
            p(u"01012345678"), p(u"m"),     pi(u"", 0), p(u""),  p(u"")};
        if (s->call_rpc(u"sp_sms_send", params).error) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(balance(u"demo"), (100000 - 20LL * kThreads * kEach) * 10000);
  const auto calls = service_->state().calls.list(u"sp_sms_send", 0);
  ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kEach));
  for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].seq, calls[i - 1].seq + 1);
}

TEST_F(FaultTest, ControlRoutes) {
  httplib::Server server;
  register_service_routes(server, *service_);
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread loop([&] { server.listen_after_bind(); });
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);

  auto clock = client.Post("/clock?set=2024-06-01%2012:00:00");
  ASSERT_TRUE(clock);
  EXPECT_EQ(nlohmann::json::parse(clock->body)["now"], "2024-06-01 12:00:00");
  std::u16string odd = u"x";
  odd.push_back(static_cast<char16_t>(0xD834));
  ASSERT_FALSE(sms(u"demo", u"01012345678", odd).error);
  auto calls = client.Get("/calls?proc=sp_sms_send");
  ASSERT_TRUE(calls);
  const auto entries = nlohmann::json::parse(calls->body);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["via"], "rpc");
  EXPECT_EQ(entries[0]["params"][6]["name"], "@msg");
  EXPECT_EQ(entries[0]["params"][6]["utf16"], "780034d8");
  EXPECT_EQ(entries[0]["params"][6]["text"], "x\xEF\xBF\xBD");
  EXPECT_EQ(entries[0]["params"][7]["value"], 0);
  EXPECT_TRUE(entries[0]["error"].is_null());
  const auto seq = entries[0]["seq"].get<std::int64_t>();
  EXPECT_EQ(nlohmann::json::parse(client.Get(("/calls?since=" + std::to_string(seq)).c_str())->body)
                .size(),
            0u);

  ASSERT_TRUE(client.Post("/accounts?user=poor&balance=1234.5&blocked=1"));
  auto accounts = nlohmann::json::parse(client.Get("/accounts")->body);
  bool found = false;
  for (const auto& a : accounts) {
    if (a["user_id"] == "poor") {
      found = true;
      EXPECT_DOUBLE_EQ(a["balance"].get<double>(), 1234.5);
      EXPECT_TRUE(a["blocked"].get<bool>());
    }
  }
  EXPECT_TRUE(found);

  ASSERT_TRUE(client.Post("/faults/raise?proc=f_login&message=down&number=50002"));
  auto raised = rpc(u"f_login", {p(u"demo"), p(u"demo1234")});
  ASSERT_TRUE(raised.error);
  EXPECT_EQ(raised.error->number, 50002);
  ASSERT_TRUE(client.Post("/faults/drop?after=1&proc=f_login"));
  EXPECT_TRUE(rpc(u"f_login", {p(u"demo"), p(u"demo1234")}).drop_connection);
  EXPECT_EQ(client.Post("/faults/rows?proc=f_login&count=3")->status, 400);
  EXPECT_EQ(client.Post("/faults/rows?proc=sp_nosuch&count=3")->status, 400);
  // A procedure without rows of its own answers rows of one "id" column instead of running.
  ASSERT_EQ(client.Post("/faults/rows?proc=sp_YaeyakDelete&count=3")->status, 200);
  auto stray = rpc(u"sp_YaeyakDelete", {p(u"demo"), pi(u"", 1)});
  EXPECT_FALSE(stray.error);
  ASSERT_EQ(stray.result_sets.size(), 1u);
  ASSERT_EQ(stray.result_sets[0].columns.size(), 1u);
  EXPECT_EQ(stray.result_sets[0].columns[0].name, u"id");
  EXPECT_EQ(stray.result_sets[0].rows.size(), 3u);
  ASSERT_TRUE(client.Delete("/faults"));

  auto advanced = client.Post("/clock?advance=11");
  EXPECT_EQ(nlohmann::json::parse(advanced->body)["now"], "2024-06-01 12:00:11");
  const auto results = nlohmann::json::parse(client.Get("/results")->body);
  EXPECT_EQ(results.back()["result_msg"], "성공");
  const auto connections = nlohmann::json::parse(client.Get("/connections")->body);
  EXPECT_EQ(connections["open"], 1);
  EXPECT_EQ(connections["total_logins"], 1);
  EXPECT_EQ(client.Delete("/calls")->status, 200);
  EXPECT_EQ(nlohmann::json::parse(client.Get("/calls")->body).size(), 0u);

  server.stop();
  loop.join();
}

TEST_F(FaultTest, ControlRefusesWhatWouldNeverWorkOrBreakTheService) {
  httplib::Server server;
  register_service_routes(server, *service_);
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread loop([&] { server.listen_after_bind(); });
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  auto status = [&](const char* path) {
    auto r = client.Post(path);
    return r ? r->status : -1;
  };

  // The clock stays a valid datetime whatever step is asked for.
  for (const char* bad : {"/clock?advance=99999999999999999999", "/clock?advance=-1e15",
                          "/clock?advance=nan", "/clock?advance=inf", "/clock?advance=1e300"}) {
    EXPECT_EQ(status(bad), 400) << bad;
  }
  EXPECT_EQ(
      nlohmann::json::parse(client.Get("/clock")->body)["now"].get<std::string>().substr(0, 10),
      "2024-06-01");
  EXPECT_EQ(status("/clock?advance=-60"), 200);

  // A fault naming no procedure would never fire: refused. Names compare case-insensitively.
  EXPECT_EQ(status("/faults/raise?proc=sp_sms_sned&message=x"), 400);
  EXPECT_EQ(status("/faults/raise?proc=f_login&message=x&number=0"), 400);
  EXPECT_EQ(status("/faults/raise?proc=f_login&message=x&number=99999999999"), 400);
  EXPECT_EQ(status("/faults/drop?after=1&proc=nothing"), 400);
  EXPECT_EQ(status("/faults/raise?proc=F_LOGIN&message=down"), 200);
  auto raised = rpc(u"f_login", {p(u"demo"), p(u"demo1234")});
  ASSERT_TRUE(raised.error);
  EXPECT_EQ(raised.error->text, u"down");
  EXPECT_EQ(status("/faults/drop?after=1&proc=SP_IBGUM_DATA"), 200);
  EXPECT_TRUE(rpc(u"sp_ibgum_data", {p(u"demo")}).drop_connection);

  // Generated rows are built in memory: a bounded count.
  EXPECT_EQ(status("/faults/rows?proc=sp_result_data2&count=1000001"), 400);
  EXPECT_EQ(status("/faults/rows?proc=sp_result_data2&count=1000000"), 200);
  ASSERT_EQ(client.Delete("/faults")->status, 200);

  EXPECT_EQ(status("/accounts?user=&balance=5"), 400);
  EXPECT_EQ(status("/accounts?user=%20%20&balance=5"), 400);
  for (const auto& a : nlohmann::json::parse(client.Get("/accounts")->body)) {
    EXPECT_NE(a["user_id"], "");
  }
  EXPECT_EQ(client.Get("/calls?since=abc")->status, 400);

  server.stop();
  loop.join();
}

}  // namespace
}  // namespace sandbox::test
