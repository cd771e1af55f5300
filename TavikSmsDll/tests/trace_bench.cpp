// Benchmark (not a test): what the trace costs a method call. A cheap method (FTP_DisConnect: no
// database, no file) through TavikSms::call (the one path every call takes: thread check,
// exception translation, the trace hook) with the trace off, against the method's own function
// called directly, and with the trace writing to a file; the late-bound invoke too. Prints
// figures; asserts nothing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <utility>

#include "base/trace.h"
#include "component/taviksms.h"
#include "upload/upload.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename F>
double ns_per_call(F&& f, int iterations) {
  const auto t0 = Clock::now();
  for (int i = 0; i < iterations; ++i) f();
  return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / iterations;
}

// The best of 15 rounds of each, the rounds of the two alternating so both see the same load
// (the machine is shared).
template <typename F, typename G>
std::pair<double, double> best_of_alternating(F&& f, G&& g, int iterations) {
  double bf = 1e300, bg = 1e300;
  for (int round = 0; round < 15; ++round) {
    bf = std::min(bf, ns_per_call(f, iterations));
    bg = std::min(bg, ns_per_call(g, iterations));
  }
  return {bf, bg};
}

}  // namespace

int main() {
  using namespace taviksms;
  core::TavikSms obj;
  const MethodInfo& m = *find_method("FTP_DisConnect");
  const int n = 1000000;
  volatile std::size_t sink = 0;

  trace::configure("");
  const auto [plain, off] =
      best_of_alternating([&] { sink = sink + upload::ftp_disconnect().size(); },
                          [&] { sink = sink + obj.FTP_DisConnect().size(); }, n / 2);
  const double late_off =
      ns_per_call([&] { sink = sink + std::get<std::u16string>(obj.invoke(m, {})).size(); }, n / 2);
  const double off_check = ns_per_call([&] { sink = sink + trace::enabled(); }, n * 10);

  const auto file = std::filesystem::temp_directory_path() / "taviksms-trace-bench.log";
  trace::configure(file.string());
  const double on = ns_per_call([&] { sink = sink + obj.FTP_DisConnect().size(); }, n / 20);
  trace::configure("");
  std::filesystem::remove(file);

  std::printf("FTP_DisConnect, best of 15 alternating rounds:\n");
  std::printf("  its function, directly          %8.1f ns/call\n", plain);
  std::printf("  the method, trace off           %8.1f ns/call  (%+.1f ns: the whole call path)\n",
              off, off - plain);
  std::printf("  late-bound invoke, trace off    %8.1f ns/call\n", late_off);
  std::printf("  the method, trace on, to a file %8.1f ns/call\n", on);
  std::printf("  trace::enabled() off            %8.2f ns/check\n", off_check);
  return 0;
}
