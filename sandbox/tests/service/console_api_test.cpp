// The control routes the web console reads: filtered message lists, one message with its exact
// UTF-16, cancelling a reservation, and the faults that are armed.
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "control/event_routes.h"
#include "control/service_routes.h"
#include "service/service_impl.h"
#include "service/stored_data.h"
#include "support.h"

namespace sandbox::test {
namespace {

using nlohmann::json;

class ConsoleApiTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    register_service_routes(server_, *service_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    loop_ = std::thread([this] { server_.listen_after_bind(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_connection_timeout(5);
    client_->set_read_timeout(5);
  }
  void TearDown() override {
    server_.stop();
    if (loop_.joinable()) loop_.join();
    ServiceTest::TearDown();
  }

  json get(const std::string& path, int expect = 200) {
    auto r = client_->Get(path.c_str());
    EXPECT_TRUE(r) << path;
    if (!r) return json();
    EXPECT_EQ(r->status, expect) << path << ": " << r->body;
    return json::parse(r->body);
  }
  int post(const std::string& path) {
    auto r = client_->Post(path.c_str());
    return r ? r->status : -1;
  }
  // The list and its X-Total-Count.
  std::pair<json, std::int64_t> get_counted(const std::string& path) {
    auto r = client_->Get(path.c_str());
    EXPECT_TRUE(r && r->status == 200) << path.substr(0, 100);
    if (!r || r->status != 200) return {json::array(), -1};
    return {json::parse(r->body), std::stoll(r->get_header_value("X-Total-Count"))};
  }
  std::pair<int, json> del(const std::string& path) {
    auto r = client_->Delete(path.c_str());
    if (!r) return {-1, json()};
    return {r->status, json::parse(r->body)};
  }
  // Ids of a message list, in the order given.
  static std::vector<std::int64_t> ids(const json& list) {
    std::vector<std::int64_t> out;
    for (const auto& m : list) out.push_back(m["id"].get<std::int64_t>());
    return out;
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread loop_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ConsoleApiTest, MessageFiltersAndLimitPickTheNewestMatches) {
  // Seed messages are 1-6; these get 7..10.
  ASSERT_FALSE(sms(u"demo", u"010-1111-2222").error);
  ASSERT_FALSE(sms(u"demo", u"01099990042").error);
  ASSERT_EQ(post("/accounts?user=kim&balance=100"), 200);
  ASSERT_FALSE(sms(u"KIM ", u"01033334444", u"hi", u"", u"").error);
  ASSERT_FALSE(rpc(u"sp_lms_send", {p(u"@user_id", u"demo"), p(u"@Sub_ID", u"sub02"),
                                    p(u"@User_tel", u"0212345678"), p(u"@Custom_id", u"c"),
                                    p(u"@Custom_nam", u"n"), p(u"@Custom_tel", u"01055556666"),
                                    p(u"@subject", u"s"), p(u"@msg", u"long"), p(u"@YK_Time", u"")})
                   .error);

  const json all = get("/messages");
  ASSERT_GE(all.size(), 10u);
  const auto all_ids = ids(all);
  EXPECT_TRUE(std::is_sorted(all_ids.begin(), all_ids.end()));
  const std::int64_t last = all_ids.back();

  // The newest N, still in id order.
  EXPECT_EQ(ids(get("/messages?limit=2")), (std::vector<std::int64_t>{last - 1, last}));
  // The user compares as the service does (case, trailing blanks).
  EXPECT_EQ(ids(get("/messages?user=kim")), std::vector<std::int64_t>{last - 1});
  EXPECT_EQ(ids(get("/messages?kind=lms")), std::vector<std::int64_t>{last});
  // Recipient digits match whatever separators were typed or stored.
  EXPECT_EQ(ids(get("/messages?recipient=1111-2222")), std::vector<std::int64_t>{last - 3});
  EXPECT_EQ(ids(get("/messages?recipient=%2B82%201111%202222")).size(), 0u);
  // Filters combine; the limit counts matches, not rows scanned.
  const json waiting_demo = get("/messages?user=demo&state=waiting&limit=1");
  ASSERT_EQ(waiting_demo.size(), 1u);
  EXPECT_EQ(waiting_demo[0]["id"], last);
  for (const auto& m : get("/messages?state=delivered")) EXPECT_EQ(m["state"], "delivered");
  // Only the seeded reservation is reserved.
  const json reserved = get("/messages?reserved=1");
  ASSERT_EQ(reserved.size(), 1u);
  EXPECT_EQ(reserved[0]["due"], "2030-01-01 09:00:00");
  EXPECT_EQ(get("/messages?reserved=0").size(), all.size() - 1);

  for (const char* bad :
       {"/messages?kind=fax", "/messages?state=sent", "/messages?limit=0", "/messages?limit=x"}) {
    get(bad, 400);
  }
}

TEST_F(ConsoleApiTest, MessageDetailHasEveryParameterWithItsExactUtf16) {
  std::u16string text = u"줄1\n\t끝 ";
  text.push_back(static_cast<char16_t>(0xDC00));  // a lone surrogate stays as it came
  ASSERT_FALSE(sms(u"demo", u"01012345678", text).error);
  const std::int64_t id = get("/messages?limit=1")[0]["id"].get<std::int64_t>();

  const json m = get("/messages/" + std::to_string(id));
  EXPECT_EQ(m["proc"], "sp_sms_send");
  EXPECT_EQ(m["state"], "waiting");
  const json& params = m["params"];
  ASSERT_EQ(params.size(), 10u);
  // Declared order of the send procedure.
  const char* names[] = {"@user_id",    "@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam",
                         "@Custom_tel", "@msg",    "@typ",      "@n_code",    "@YK_Time"};
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(params[i]["name"], names[i]);
  EXPECT_EQ(params[6]["utf16"], utf16le_hex(text));
  EXPECT_EQ(params[6]["text"], to_utf8(text));
  EXPECT_EQ(params[7]["type"], "int");
  EXPECT_EQ(params[7]["value"], 0);
  EXPECT_FALSE(params[7].contains("utf16"));
  EXPECT_EQ(params[8]["utf16"], "");  // empty, not NULL
  EXPECT_FALSE(params[8]["null"].get<bool>());
  // A seeded result has no name: NULL, without a text.
  bool null_name = false;
  for (int seeded = 1; seeded <= 5; ++seeded) {
    const json detail = get("/messages/" + std::to_string(seeded));
    for (const auto& param : detail["params"]) {
      if (param["name"] == "@Custom_nam" && param["null"].get<bool>()) {
        null_name = true;
        EXPECT_FALSE(param.contains("text"));
      }
    }
  }
  EXPECT_TRUE(null_name);

  get("/messages/999999", 404);
}

TEST_F(ConsoleApiTest, CancellingAReservationRefundsItOnceAndOnlyWhilePending) {
  const std::int64_t before = balance(u"demo");
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"later", u"2024-06-01 13:00").error);
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"now").error);
  const json latest = get("/messages?limit=2");
  const std::int64_t reserved = latest[0]["id"].get<std::int64_t>();
  const std::int64_t immediate = latest[1]["id"].get<std::int64_t>();
  ASSERT_TRUE(latest[0]["reserved"].get<bool>());
  EXPECT_EQ(balance(u"demo"), before - 2 * kPriceSms);

  EXPECT_EQ(post("/messages/" + std::to_string(immediate) + "/cancel"), 409);
  EXPECT_EQ(post("/messages/" + std::to_string(reserved) + "/cancel"), 200);
  EXPECT_EQ(get("/messages/" + std::to_string(reserved))["state"], "cancelled");
  EXPECT_EQ(balance(u"demo"), before - kPriceSms);
  // A second cancel changes nothing.
  EXPECT_EQ(post("/messages/" + std::to_string(reserved) + "/cancel"), 409);
  EXPECT_EQ(balance(u"demo"), before - kPriceSms);
  EXPECT_EQ(post("/messages/424242/cancel"), 404);

  // Once due, a reservation is no longer the user's to cancel.
  ASSERT_FALSE(sms(u"demo", u"01012345678", u"soon", u"2024-06-01 12:05").error);
  const std::int64_t soon = get("/messages?limit=1")[0]["id"].get<std::int64_t>();
  ASSERT_EQ(post("/clock?advance=300"), 200);
  EXPECT_EQ(post("/messages/" + std::to_string(soon) + "/cancel"), 409);
  // The seeded reservation for 2030 is still pending, and the service stops listing it.
  const json pending = get("/messages?state=waiting");
  std::int64_t seeded = 0;
  for (const auto& m : pending) {
    if (m["reserved"].get<bool>() && m["due"] == "2030-01-01 09:00:00") seeded = m["id"];
  }
  ASSERT_NE(seeded, 0);
  EXPECT_EQ(post("/messages/" + std::to_string(seeded) + "/cancel"), 200);
  const auto listed = rpc(u"sp_YaeyakData", {p(u"demo")});
  ASSERT_EQ(listed.result_sets.size(), 1u);
  EXPECT_EQ(listed.result_sets[0].rows.size(), 0u);
}

TEST_F(ConsoleApiTest, ArmedFaultsAreShownAndCountDownAsTheyFire) {
  json f = get("/faults");
  EXPECT_EQ(f["raise"].size(), 0u);
  EXPECT_EQ(f["drop"].size(), 0u);
  EXPECT_EQ(f["rows"].size(), 0u);
  EXPECT_FALSE(f["janek_null"].get<bool>());

  ASSERT_EQ(post("/faults/raise?proc=SP_SMS_SEND&message=%EC%9E%A5%EC%95%A0&number=50123&times=2"),
            200);
  ASSERT_EQ(post("/faults/drop?after=3"), 200);
  ASSERT_EQ(post("/faults/rows?proc=sp_ibgum_data&count=7"), 200);
  ASSERT_EQ(post("/faults/janek-null?on=1"), 200);
  ASSERT_EQ(post("/faults/ack?mode=drop&after=4"), 200);
  ASSERT_EQ(post("/faults/ack?mode=raise&after=2&number=50777"), 200);
  f = get("/faults");
  ASSERT_EQ(f["ack"].size(), 2u);
  EXPECT_TRUE(f["ack"][0]["drop"].get<bool>());
  EXPECT_EQ(f["ack"][0]["after"], 4);
  EXPECT_FALSE(f["ack"][1]["drop"].get<bool>());
  EXPECT_EQ(f["ack"][1]["number"], 50777);
  ASSERT_EQ(f["raise"].size(), 1u);
  EXPECT_EQ(f["raise"][0]["proc"], "sp_sms_send");  // the catalog's spelling
  EXPECT_EQ(f["raise"][0]["message"], "장애");
  EXPECT_EQ(f["raise"][0]["number"], 50123);
  EXPECT_EQ(f["raise"][0]["times"], 2);
  ASSERT_EQ(f["drop"].size(), 1u);
  EXPECT_TRUE(f["drop"][0]["proc"].is_null());
  EXPECT_EQ(f["drop"][0]["after"], 3);
  EXPECT_EQ(f["rows"][0]["proc"], "sp_ibgum_data");
  EXPECT_EQ(f["rows"][0]["count"], 7);
  EXPECT_TRUE(f["janek_null"].get<bool>());

  EXPECT_TRUE(sms(u"demo", u"01012345678").error);
  f = get("/faults");
  EXPECT_EQ(f["raise"][0]["times"], 1);
  EXPECT_EQ(f["drop"][0]["after"], 2);
  EXPECT_TRUE(sms(u"demo", u"01012345678").error);
  f = get("/faults");
  EXPECT_EQ(f["raise"].size(), 0u);
  EXPECT_EQ(f["drop"][0]["after"], 1);

  ASSERT_EQ(client_->Delete("/faults")->status, 200);
  f = get("/faults");
  EXPECT_EQ(f["drop"].size(), 0u);
  EXPECT_EQ(f["ack"].size(), 0u);
  EXPECT_EQ(f["rows"].size(), 0u);
  EXPECT_FALSE(f["janek_null"].get<bool>());
}

// The call log is bounded in bytes as well as in entries: huge parameters push the oldest
// entries out, and the newest entry stays whatever its size.
TEST(CallLogBound, OldestEntriesGoWhenTheBytesRunOver) {
  CallLog log(1000, 100000);
  const SqlValue big = SqlValue::nvarchar(std::u16string(20000, u'x'));  // 40,000 bytes
  const SqlValue small = SqlValue::int32(1);
  std::vector<std::int64_t> seqs;
  for (int i = 0; i < 5; ++i) {
    seqs.push_back(log.append(1, u"sp_sms_send", false, {CallParam{u"@msg", &big}}, std::nullopt));
  }
  EXPECT_EQ(log.size(), 2u);
  EXPECT_LE(log.bytes(), 100000u);
  auto kept = log.list(std::nullopt, 0);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].seq, seqs[3]);
  EXPECT_EQ(kept[1].seq, seqs[4]);
  EXPECT_EQ(kept[1].params.at(0).value.s.size(), 20000u);

  // Small entries fill the room the big ones leave.
  for (int i = 0; i < 50; ++i) log.append(2, u"f_login", false, {CallParam{u"@n", &small}}, {});
  EXPECT_LE(log.bytes(), 100000u);
  EXPECT_EQ(log.list(u"f_login", 0).size(), 50u);

  // One entry larger than the whole bound: it alone stays.
  const SqlValue huge = SqlValue::nvarchar(std::u16string(80000, u'y'));
  const auto last = log.append(3, u"sp_lms_send", false, {CallParam{u"@msg", &huge}}, {});
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log.list(std::nullopt, 0).at(0).seq, last);
  log.clear();
  EXPECT_EQ(log.bytes(), 0u);
}

TEST_F(ConsoleApiTest, SearchCountsAndPagesGiveTheTrueTotals) {
  ASSERT_FALSE(sms(u"demo", u"01011112222", u"Meeting at NOON", u"", u"sub02").error);
  ASSERT_FALSE(sms(u"demo", u"01033334444", u"<b>\"quoted\"</b> & more").error);
  for (int i = 0; i < 5; ++i) ASSERT_FALSE(sms(u"demo", u"01055556666", u"bulk").error);
  const std::int64_t all = get_counted("/messages").second;
  ASSERT_EQ(all, 6 + 7);

  // Case folded over A-Z; recipient, name, text and sub-account are searched.
  EXPECT_EQ(get_counted("/messages?q=noon").first.size(), 1u);
  EXPECT_EQ(get_counted("/messages?q=3333").first.size(), 1u);
  EXPECT_EQ(get_counted("/messages?q=%ED%99%8D%EA%B8%B8%EB%8F%99").second, 1);  // a seeded name
  EXPECT_EQ(get_counted("/messages?q=SUB02").second, 1 + 2);  // two seeded results on sub02
  // Quotes and markup are plain text to search.
  EXPECT_EQ(get_counted("/messages?q=%3Cb%3E%22quoted%22").second, 1);
  EXPECT_EQ(get_counted("/messages?q=" + std::string(kMaxSearchLength, 'x')).second, 0);
  // A longer search text or recipient is refused, saying so.
  for (const char* param : {"q", "recipient"}) {
    const std::string path =
        std::string("/messages?") + param + "=" + std::string(kMaxSearchLength + 1, 'x');
    EXPECT_NE(get(path, 400)["error"].get<std::string>().find("at most"), std::string::npos);
  }
  // Past the HTTP layer's limit on a request line: refused, not cut.
  auto too_long = client_->Get(("/messages?q=" + std::string(10000, 'x')).c_str());
  ASSERT_TRUE(too_long);
  EXPECT_EQ(too_long->status, 414);

  // The total counts past the limit; "before" pages back from an id.
  auto [page, total] = get_counted("/messages?q=bulk&limit=2");
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(total, 5);
  const std::int64_t oldest_shown = page[0]["id"].get<std::int64_t>();
  auto [rest, rest_total] =
      get_counted("/messages?q=bulk&limit=10&before=" + std::to_string(oldest_shown));
  EXPECT_EQ(rest.size(), 3u);
  EXPECT_EQ(rest_total, 3);
  for (const auto& m : rest) EXPECT_LT(m["id"].get<std::int64_t>(), oldest_shown);

  // The list carries the three times the page shows.
  const json newest = page[1];
  EXPECT_EQ(newest["i_time"].get<std::string>().substr(0, 10), "2024-06-01");
  EXPECT_TRUE(newest.contains("due"));
  EXPECT_TRUE(newest["s_time"].is_null());
}

TEST_F(ConsoleApiTest, UnknownFiltersAreRefusedByNameAndDeleteNothing) {
  auto r = client_->Get("/messages?kidn=sms");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_NE(r->body.find("kidn"), std::string::npos) << r->body;
  auto [status, body] = del("/messages?recipent=0101");
  EXPECT_EQ(status, 400);
  EXPECT_NE(body["error"].get<std::string>().find("recipent"), std::string::npos);
  // Paging belongs to listing, not deleting.
  EXPECT_EQ(del("/messages?limit=1").first, 400);
  get("/messages?before=x", 400);
  EXPECT_EQ(get_counted("/messages").second, 6);
}

TEST_F(ConsoleApiTest, DeleteRemovesAllOrTheFilteredMessages) {
  ASSERT_FALSE(sms(u"demo", u"01011112222", u"keep").error);
  ASSERT_FALSE(sms(u"demo", u"01077776666", u"drop me").error);
  ASSERT_FALSE(sms(u"demo", u"010-7777-6666", u"drop me too").error);
  auto [status, body] = del("/messages?recipient=0107777");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(body["deleted"], 2);
  EXPECT_EQ(get_counted("/messages?q=drop").second, 0);
  EXPECT_EQ(get_counted("/messages?q=keep").second, 1);
  std::tie(status, body) = del("/messages");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(body["deleted"], 7);
  EXPECT_EQ(get_counted("/messages").second, 0);
  // The service goes on storing.
  ASSERT_FALSE(sms(u"demo", u"01011112222").error);
  EXPECT_EQ(get_counted("/messages").second, 1);
}

TEST_F(ConsoleApiTest, ResetReturnsTheSeedStateWithoutARestart) {
  const json seed_accounts = get("/accounts");
  const json seed_messages = get("/messages");
  const json seed_deposits = get("/deposits");
  ASSERT_EQ(post("/accounts?user=kim&balance=5"), 200);
  ASSERT_EQ(post("/accounts?user=demo&balance=1&blocked=1"), 200);
  ASSERT_EQ(post("/accounts?user=poor&blocked=0"), 200);
  ASSERT_FALSE(sms(u"poor", u"01011112222").error);
  ASSERT_EQ(post("/faults/drop?after=5"), 200);
  ASSERT_EQ(post("/faults/janek-null?on=1"), 200);
  ASSERT_EQ(post("/clock?set=2031-01-01%2000:00:00"), 200);
  ASSERT_GT(get("/calls").size(), 0u);

  ASSERT_EQ(post("/reset"), 200);
  EXPECT_EQ(get("/accounts"), seed_accounts);
  EXPECT_EQ(get("/messages"), seed_messages);  // ids start over too
  EXPECT_EQ(get("/deposits"), seed_deposits);
  EXPECT_EQ(get("/faults")["drop"].size(), 0u);
  EXPECT_FALSE(get("/faults")["janek_null"].get<bool>());
  EXPECT_EQ(get("/clock")["now"].get<std::string>().substr(0, 16), "2024-06-01 12:00");
  EXPECT_EQ(get("/calls").size(), 0u);
  EXPECT_EQ(balance(u"demo"), 100000LL * 10000);
  // Sessions opened before the reset go on working.
  ASSERT_FALSE(sms(u"demo", u"01011112222").error);
  EXPECT_EQ(get("/messages?limit=1")[0]["id"], 7);
}

// A reset meets sends from another connection: each message is stored whole with its charge, or
// not at all, whatever the interleaving.
TEST_F(ConsoleApiTest, ResetDuringSendsLeavesNoHalfStoredMessage) {
  std::atomic<bool> done{false};
  std::thread sender([&] {
    auto other = open_logged_in();
    for (int i = 0; i < 300; ++i) {
      const std::u16string text =
          u"race " + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
      other->call_rpc(
          u"sp_sms_send",
          {p(u"@user_id", u"demo"), p(u"@Sub_ID", u"sub01"), p(u"@User_tel", u"0212345678"),
           p(u"@Custom_id", u"C1"), p(u"@Custom_nam", u"name"), p(u"@Custom_tel", u"01012345678"),
           p(u"@msg", text), pi(u"@typ", 0), p(u"@n_code", u""), p(u"@YK_Time", u"")});
    }
    done = true;
  });
  int resets = 0;
  while (!done) {
    EXPECT_EQ(post("/reset"), 200);
    ++resets;
  }
  sender.join();
  EXPECT_GT(resets, 0);
  // Since the last reset: the demo balance is the seed's less exactly the fees of what is stored.
  double fees = 0;
  for (const auto& m : get("/messages?q=race")) {
    EXPECT_EQ(m["user_id"], "demo");
    EXPECT_EQ(m["custom_tel"], "01012345678");
    EXPECT_EQ(m["msg"].get<std::string>().size(), 6u);
    ASSERT_FALSE(m["fee"].is_null());
    fees += m["fee"].get<double>();
  }
  EXPECT_DOUBLE_EQ(static_cast<double>(balance(u"demo")) / 10000.0, 100000.0 - fees);
}

TEST_F(ConsoleApiTest, CallLogEntriesCarryTheServiceTime) {
  ASSERT_EQ(post("/clock?set=2025-02-03%2004:05:06"), 200);
  ASSERT_FALSE(sms(u"demo", u"01011112222").error);
  const json calls = get("/calls?proc=sp_sms_send");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["at"].get<std::string>().substr(0, 16), "2025-02-03 04:05");
}

// GET /calls?limit=N: the newest N, in seq order, with the total past the limit.
TEST_F(ConsoleApiTest, CallLogPagesFromTheNewest) {
  for (int i = 0; i < 5; ++i)
    ASSERT_FALSE(sms(u"demo", u"0101111222" + std::u16string(1, u'0' + i)).error);
  balance(u"demo");
  const auto [sends, sends_total] = get_counted("/calls?proc=sp_sms_send");
  ASSERT_EQ(sends.size(), 5u);
  const std::int64_t third = sends[2]["seq"].get<std::int64_t>();
  struct Case {
    std::string query;
    std::vector<std::int64_t> seqs;  // of sends, by index; -1: the f_sms_janek call
    std::int64_t total;
  };
  const Case cases[] = {
      {"/calls?proc=sp_sms_send&limit=2", {3, 4}, 5},
      {"/calls?limit=2", {4, -1}, 6},
      {"/calls?proc=sp_sms_send&since=" + std::to_string(third) + "&limit=10", {3, 4}, 2},
      {"/calls?proc=sp_sms_send&since=" + std::to_string(third) + "&limit=1", {4}, 2},
  };
  for (const Case& c : cases) {
    const auto [page, total] = get_counted(c.query);
    EXPECT_EQ(total, c.total) << c.query;
    ASSERT_EQ(page.size(), c.seqs.size()) << c.query;
    for (std::size_t i = 0; i < page.size(); ++i) {
      if (c.seqs[i] < 0) {
        EXPECT_EQ(page[i]["proc"], "f_sms_janek") << c.query;
      } else {
        EXPECT_EQ(page[i]["seq"], sends[static_cast<std::size_t>(c.seqs[i])]["seq"]) << c.query;
      }
    }
  }
  EXPECT_EQ(get("/calls?limit=0", 400)["error"], "limit: expected a positive integer");
}

// GET /events: a first event at once, another after each change; a bounded number of streams.
TEST_F(ConsoleApiTest, EventStreamTellsOfChangesAndIsBounded) {
  std::mutex m;
  std::condition_variable cv;
  int events = 0;
  httplib::Client watcher("127.0.0.1", port_);
  watcher.set_read_timeout(10);
  std::thread reader([&] {
    watcher.Get("/events", [&](const char* data, std::size_t n) {
      const std::string chunk(data, n);
      std::lock_guard lock(m);
      for (std::size_t at = chunk.find("event: change"); at != std::string::npos;
           at = chunk.find("event: change", at + 1)) {
        ++events;
      }
      cv.notify_all();
      return events < 2;
    });
  });
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return events >= 1; }));
  }
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_FALSE(sms(u"demo", u"01011112222").error);
  {
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return events >= 2; }));
  }
  std::printf("event %lld ms after the send\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - sent)
                                         .count()));
  reader.join();

  // Fill every slot; one more is refused with a reason.
  std::atomic<int> open{0};
  std::atomic<bool> release{false};
  std::vector<std::thread> holders;
  for (int i = 0; i < kMaxEventStreams; ++i) {
    holders.emplace_back([&] {
      httplib::Client c("127.0.0.1", port_);
      c.set_read_timeout(10);
      bool counted = false;
      c.Get("/events", [&](const char*, std::size_t) {
        if (!counted) ++open;
        counted = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return false;
      });
    });
  }
  for (int i = 0; i < 500 && open < kMaxEventStreams; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(open, kMaxEventStreams);
  auto refused = client_->Get("/events");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_NE(refused->body.find("poll"), std::string::npos);
  release = true;
  for (auto& t : holders) t.join();
  // A change makes the abandoned streams write, fail and give their slots back.
  bool freed = false;
  for (int i = 0; i < 50 && !freed; ++i) {
    ASSERT_EQ(client_->Delete("/calls")->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    httplib::Client probe("127.0.0.1", port_);
    probe.Get("/events", [&](const char* data, std::size_t n) {
      freed = std::string(data, n).find("event: change") != std::string::npos;
      return false;
    });
  }
  EXPECT_TRUE(freed);
}

}  // namespace
}  // namespace sandbox::test
