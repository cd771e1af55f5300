// The soak: mixed calls on two threads, each with its own session, against one sandbox for a
// given time. Every call must answer as it does when all is well; the program prints calls per
// second, peak resident memory and how resident memory moved after the warm-up, and fails when
// any call failed or memory kept growing. Run under AddressSanitizer (leaks are reported at exit)
// or valgrind: see scripts/soak.
//   taviksms_soak [seconds] [--no-memory-check]
// The resident-memory check is left out under AddressSanitizer and valgrind, whose quarantine of
// freed blocks grows by design; they find leaks themselves.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <taviksms/taviksms.h>

#include "base/text.h"
#include "component_fixture.h"

namespace {

using namespace taviksms;
using Clock = std::chrono::steady_clock;

long status_kib(const char* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return -1;
}

struct Tally {
  std::atomic<long> calls{0};
  std::atomic<long> failures{0};
  std::mutex mu;
  std::string first_failure;

  std::atomic<long> refused{0};

  void expect(bool ok, const std::string& what) {
    ++calls;
    if (ok) return;
    ++failures;
    std::lock_guard lock(mu);
    if (first_failure.empty()) first_failure = what;
  }
  // An export: "OK", or refused because the other thread has the same file open.
  void exported(const std::u16string& result, const std::string& what) {
    if (result == u"Permission denied") ++refused;
    expect(result == u"OK" || result == u"Permission denied", what);
  }
};

void worker(taviksms::testing::SandboxProcess& sandbox, int id, Clock::time_point until, Tally& t) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "taviksms-soak-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    t.expect(false, "mkdtemp");
    return;
  }
  const std::filesystem::path folder = tmpl;
  {
    test::ThreadSession session(sandbox, folder);
    const std::filesystem::path pic = folder / ("soak" + std::to_string(id) + ".jpg");
    std::ofstream(pic, std::ios::binary) << std::string(20000, static_cast<char>('a' + id));
    const std::u16string pic16 = core::utf8_to_utf16(pic.string());
    const std::u16string tel = id == 0 ? u"01000000001;01000000002" : u"01000000003";

    for (long round = 0; Clock::now() < until; ++round) {
      TavikSms c;
      t.expect(c.Login(u"demo", u"demo1234") == u"OK", "Login");
      t.expect(c.SmsJanek() >= 0, "SmsJanek");
      t.expect(c.SmsSend(u"sub01", u"02", u"c", u"이름", tel, u"soak 본문", 0, u"") == u"OK",
               "SmsSend");
      t.expect(c.LmsSend(u"", u"02", u"c", u"n", tel, u"제목", std::u16string(3000, u'가'),
                         u"2406011230") == u"OK",
               "LmsSend");
      // Exports: results (acknowledging what the advancing clock delivered), a window of the
      // seeded results, reservations and deposits. Both threads write the same files in the
      // current directory: an export that meets the other's open file is refused.
      t.exported(c.SmsResult1(), "SmsResult1");
      if (round % 2 == 0) {
        t.exported(c.SmsResult2(u"2403040000", u"2403082359"), "SmsResult2");
        t.exported(c.YaeyakData(), "YaeyakData");
        t.exported(c.SmsIbgum(), "SmsIbgum");
      }
      if (round % 4 == 0) {
        t.expect(c.FTP_Upload(pic16) == u"OK", "FTP_Upload");
        t.expect(c.MmsSend(u"", u"02", u"c", u"n", tel, u"s", u"m", pic16, u"", u"", u"") == u"OK",
                 "MmsSend");
        t.expect(c.FTP_DisConnect() == u"OK", "FTP_DisConnect");
      }
      t.expect(c.Logout() == u"OK", "Logout");
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
  const bool memory_check =
      !kSanitized && !(argc > 2 && std::string(argv[2]) == "--no-memory-check");
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: taviksms_soak [seconds] [--no-memory-check]\n");
    return 2;
  }
  // The export files are written to the current directory: a scratch one for the run.
  std::string scratch =
      (std::filesystem::temp_directory_path() / "taviksms-soak-cwd-XXXXXX").string();
  if (mkdtemp(scratch.data()) == nullptr) return 2;
  const std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(scratch);
  taviksms::testing::SandboxProcess sandbox;
  // Plenty of balance for however many sends the run makes (SmsJanek answers in int32).
  sandbox.post("/accounts?user=demo&balance=2000000000");

  Tally tally;
  const auto start = Clock::now();
  const auto duration =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto until = start + duration;
  std::vector<std::thread> threads;
  for (int id = 0; id < 2; ++id) {
    threads.emplace_back([&, id] { worker(sandbox, id, until, tally); });
  }

  // Resident memory, sampled once the first fifth of the run (the warm-up) is over.
  long rss_after_warmup = -1;
  long rss_last = -1;
  long rss_max = -1;
  for (int tick = 0; Clock::now() < until; ++tick) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Half a minute of service time a second: the sends become results that SmsResult1 takes.
    if (tick % 5 == 4) sandbox.post("/clock?advance=30");
    const long rss = status_kib("VmRSS");
    rss_max = std::max(rss_max, rss);
    if (rss_after_warmup < 0 && Clock::now() - start > duration / 5) rss_after_warmup = rss;
    rss_last = rss;
  }
  for (auto& th : threads) th.join();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();

  const long peak = std::max(status_kib("VmHWM"), rss_max);
  std::printf("soak: %.1f s, %ld calls, %.1f calls/s, %ld failed, %ld exports refused\n", took,
              tally.calls.load(), static_cast<double>(tally.calls.load()) / took,
              tally.failures.load(), tally.refused.load());
  std::printf("soak: resident memory peak %ld KiB, after warm-up %ld KiB, at the end %ld KiB\n",
              peak, rss_after_warmup, rss_last);
  std::printf("soak: server stored %zu messages\n", sandbox.get("/messages").size());
  std::printf("soak: server received %zu acknowledgements\n", sandbox.get("/acks").size());
  std::filesystem::current_path(old_cwd);
  std::error_code ec;
  std::filesystem::remove_all(scratch, ec);
  int status = 0;
  if (tally.failures > 0) {
    std::printf("soak: FAILED, first failing call: %s\n", tally.first_failure.c_str());
    status = 1;
  }
  // Steady state: allocator caches settle during the warm-up; a leak grows with every call.
  if (memory_check && rss_after_warmup > 0 && rss_last - rss_after_warmup > 32 * 1024) {
    std::printf("soak: FAILED, resident memory grew by %ld KiB after the warm-up\n",
                rss_last - rss_after_warmup);
    status = 1;
  }
  return status;
}
