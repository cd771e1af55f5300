// Benchmark (not a test): the database round trips each method takes, and its time, against a
// sandbox whose endpoints answer 20 ms late (a 20 ms round trip, as across the internet). Three
// sandboxes: no TLS; the login encrypted (the sandbox's default and SQL Server's: it offers
// encryption, FreeTDS then encrypts the login packet); the whole session encrypted (a server
// that requires it). The sandbox counts the round trips (GET /connections); the time per
// recipient is printed as a multiple of the round-trip time. Prints figures; asserts nothing.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>

#include "bench_figures.h"
#include "component_fixture.h"

namespace {

using namespace taviksms::bench;
using nlohmann::json;
using taviksms::TavikSms;

constexpr int kLatencyMs = 20;
constexpr int kRecipients = 50;
const char* const kKinds[] = {"prelogin", "tls", "login", "sql", "rpc", "other"};

std::u16string recipients(int n, int first) {
  std::u16string list;
  for (int i = 0; i < n; ++i) {
    const std::string tel = "010" + std::to_string(30000000 + first + i);
    list += (i ? u";" : u"") + std::u16string(tel.begin(), tel.end());
  }
  return list;
}

// The round trips of the newest database connection, by kind, and its number ("number").
std::map<std::string, long> newest_connection(taviksms::testing::SandboxProcess& sb) {
  const json conns = sb.get("/connections")["connections"];
  std::map<std::string, long> out;
  if (conns.empty()) return out;
  for (const auto& [kind, n] : conns.back()["round_trips"].items()) out[kind] = n.get<long>();
  out["number"] = conns.back()["number"].get<long>();
  return out;
}

std::string by_kind(const std::map<std::string, long>& after,
                    const std::map<std::string, long>& before) {
  std::string out;
  for (const char* kind : kKinds) {
    const long n =
        after.count(kind) ? after.at(kind) - (before.count(kind) ? before.at(kind) : 0) : 0;
    if (n == 0) continue;
    out += (out.empty() ? "" : ", ") + std::to_string(n) + " " + kind;
  }
  return out;
}

// The procedures the call log saw from `since` on, in order, repeats counted
// ("sp_sproc_columns sp_sms_send x50").
std::string calls_since(taviksms::testing::SandboxProcess& sb, long since) {
  std::string out, last;
  int repeats = 0;
  auto flush = [&] {
    if (repeats == 0) return;
    out += (out.empty() ? "" : " ") + last + (repeats > 1 ? " x" + std::to_string(repeats) : "");
  };
  for (const auto& c : sb.get("/calls?since=" + std::to_string(since))) {
    const std::string proc = c["proc"].get<std::string>();
    if (proc != last) {
      flush();
      last = proc;
      repeats = 0;
    }
    ++repeats;
  }
  flush();
  return out;
}

long last_call_seq(taviksms::testing::SandboxProcess& sb) {
  const json c = sb.get("/calls?limit=1");
  return c.empty() ? 0 : c.back()["seq"].get<long>();
}

struct Measured {
  double ms = 0;
  long round_trips = 0;
  std::string kinds;
  std::string procs;
  std::u16string result;
};

Measured measure(taviksms::testing::SandboxProcess& sb, const std::function<std::u16string()>& f) {
  const long seq = last_call_seq(sb);
  const long before = sb.get("/state")["tds"]["round_trips"].get<long>();
  const auto kinds_before = newest_connection(sb);
  const auto t0 = Clock::now();
  Measured m;
  m.result = f();
  m.ms = ms(Clock::now() - t0);
  m.round_trips = sb.get("/state")["tds"]["round_trips"].get<long>() - before;
  const auto kinds_after = newest_connection(sb);
  // A new connection (Login) has nothing to subtract.
  const bool same = !kinds_before.empty() && kinds_before.at("number") == kinds_after.at("number");
  m.kinds = by_kind(kinds_after, same ? kinds_before : std::map<std::string, long>{});
  m.procs = calls_since(sb, seq);
  return m;
}

void print(const char* what, const Measured& m, int per = 0, const char* unit = "") {
  std::printf("  %-28s %4ld round trips %8.1f ms = %5.2f RTT", what, m.round_trips, m.ms,
              m.ms / kLatencyMs);
  if (per > 0) {
    std::printf("  | per %s: %.3f round trips, %.1f ms = %.3f RTT", unit,
                static_cast<double>(m.round_trips) / per, m.ms / per, m.ms / per / kLatencyMs);
  }
  std::printf("%s\n", m.result == u"OK" ? "" : "  (did not answer OK)");
  std::printf("  %-28s   %s%s%s\n", "", m.kinds.c_str(),
              m.procs.empty() ? "" : "; calls: ", m.procs.c_str());
}

void run(const char* title, std::vector<std::string> args) {
  args.insert(args.end(), {"--latency", std::to_string(kLatencyMs)});
  taviksms::testing::SandboxProcess sb(args);
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("taviksms-roundtrip-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  std::printf("%s (sandbox: --latency %d %s)\n", title, kLatencyMs,
              args.size() > 2 ? (args[0] + " " + args[1]).c_str() : "");
  {
    taviksms::test::ThreadSession session(sb, folder);
    sb.post("/accounts?user=demo&balance=100000000");
    TavikSms c;
    const Measured login = measure(sb, [&] { return c.Login(u"demo", u"demo1234"); });
    print("Login (ip1.ini, connect)", login);
    const json conn = sb.get("/connections")["connections"].back();
    std::printf("  %-28s   connection: encryption %s, %s\n", "",
                conn["encryption"].get<std::string>().c_str(),
                conn["tls"].is_null() ? "no TLS" : conn["tls"].get<std::string>().c_str());
    print("Login again (same thread)", measure(sb, [&] { return c.Login(u"demo", u"demo1234"); }));
    const std::u16string first = recipients(kRecipients, 0), second = recipients(kRecipients, 100);
    auto send = [&](const std::u16string& list) {
      return c.SmsSend(u"sub01", u"0212345678", u"cid", u"name", list, u"bench", 0, u"");
    };
    print("SmsSend, 50, first", measure(sb, [&] { return send(first); }), kRecipients, "recipient");
    print("SmsSend, 50, again", measure(sb, [&] { return send(second); }), kRecipients,
          "recipient");
    print("SmsJanek", measure(sb, [&] {
            return c.SmsJanek() >= 0 ? std::u16string(u"OK") : std::u16string(u"failed");
          }));
    sb.post("/clock?advance=60");  // the sends are delivered: results to fetch and acknowledge
    print("SmsIbgum", measure(sb, [&] { return c.SmsIbgum(); }));
    const Measured r1 = measure(sb, [&] { return c.SmsResult1(); });
    print("SmsResult1 (acknowledges)", r1, static_cast<int>(sb.get("/acks").size()), "row");
    print("SmsResult2", measure(sb, [&] { return c.SmsResult2(u"2401010000", u"3012312359"); }));
    print("SmsResultV2",
          measure(sb, [&] { return c.SmsResultV2(u"sub01", u"2401010000", u"3012312359"); }));
    print("YaeyakData", measure(sb, [&] { return c.YaeyakData(); }));
    print("YaeyakDataV2", measure(sb, [&] { return c.YaeyakDataV2(u"sub01"); }));
  }
  std::filesystem::current_path(previous);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  std::printf("\n");
}

}  // namespace

int main() {
  std::printf("Database round trips and time per method, %d ms round trip (RTT)\n\n", kLatencyMs);
  run("No TLS", {"--tds-encryption", "off"});
  run("Login encrypted (the server offers encryption; FreeTDS's default)", {});
  run("Whole session encrypted (the server requires it)", {"--tds-encryption", "required"});
  return 0;
}
