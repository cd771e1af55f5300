#include "base/trace.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "base/error.h"
#include "base/platform/platform.h"
#include "base/text.h"

#include <taviksms_common/escape_controls.h>

namespace taviksms::trace {

namespace {

struct Sink {
  std::mutex mutex;
  std::string path;
  std::string problem;
  std::unique_ptr<platform::OutputFile> file;
  bool failed = false;  // a write failed: the file is given up, the reason kept for doctor
};

Sink& sink() {
  static Sink* s = new Sink;  // never destroyed: trace points may run during process exit
  return *s;
}

// Opens the file for `path` under the sink's lock and sets the state.
void open_locked(Sink& s, const std::string& path) {
  s.file.reset();
  s.path = path;
  s.problem.clear();
  s.failed = false;
  if (path.empty()) {
    detail::g_state.store(1, std::memory_order_relaxed);
    return;
  }
  try {
    s.file = platform::default_platform().open_trace_file(path);
  } catch (...) {
    s.file.reset();
  }
  if (!s.file) s.problem = "cannot open the trace file " + path + " for appending";
  // On even when the file failed: the call sites stay cheap either way, and doctor reports it.
  detail::g_state.store(s.file ? 2 : 1, std::memory_order_relaxed);
}

std::atomic<unsigned> g_next_thread{0};

unsigned thread_number() {
  thread_local unsigned n = ++g_next_thread;
  return n;
}

std::string utc_now() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day ymd{day};
  const hh_mm_ss<microseconds> t{duration_cast<microseconds>(now - day)};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%06ldZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(t.hours().count()),
                static_cast<int>(t.minutes().count()), static_cast<int>(t.seconds().count()),
                static_cast<long>(t.subseconds().count()));
  return buf;
}

}  // namespace

bool detail::decide() noexcept {
  try {
    Sink& s = sink();
    std::lock_guard lock(s.mutex);
    if (g_state.load(std::memory_order_relaxed) == 0) {
      const platform::UserSetting setting = platform::default_platform().trace_setting();
      if (setting.problem.empty()) {
        open_locked(s, setting.value);
      } else {
        // A setting that cannot be used (a registry value of the wrong type): no trace, and the
        // reason kept for doctor.
        open_locked(s, {});
        s.problem = setting.source + " " + setting.problem + "; no trace is written";
      }
    }
  } catch (...) {
    g_state.store(1, std::memory_order_relaxed);
  }
  return g_state.load(std::memory_order_relaxed) == 2;
}

void configure(const std::string& path) {
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  open_locked(s, path);
}

std::string current_path() {
  enabled();
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  return s.path;
}

std::string problem() {
  enabled();
  Sink& s = sink();
  std::lock_guard lock(s.mutex);
  return s.problem;
}

void emit(std::string_view topic, std::string_view text, std::chrono::nanoseconds took) noexcept {
  if (!enabled()) return;
  try {
    std::string line = utc_now();
    // The process as well as the thread: several processes may trace into one file.
    line += " p" + std::to_string(platform::default_platform().process_id());
    line += " t" + std::to_string(thread_number()) + ' ';
    if (took.count() < 0) {
      line += '-';
    } else {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.3fms", static_cast<double>(took.count()) / 1e6);
      line += buf;
    }
    line += ' ';
    // What the line quotes comes from outside (a server's message, ip1.ini's values, a refused
    // setting): its control characters are escaped here, once for every trace point, so a
    // terminal showing the file never takes them as commands.
    line += utf::escape_controls(topic);
    line += ' ';
    line += utf::escape_controls(text);
    line += '\n';
    Sink& s = sink();
    std::lock_guard lock(s.mutex);
    if (!s.file || s.failed) return;
    try {
      s.file->write(line);
    } catch (const core::Error& e) {
      // A full disk or a vanished file: stop writing, keep the reason, never fail the caller.
      s.failed = true;
      s.problem =
          "writing the trace file " + s.path + " failed: " + core::utf16_to_utf8(e.description());
    }
  } catch (...) {
  }
}

std::string quote(std::string_view utf8) {
  constexpr std::size_t kMax = 200;
  std::string_view shown = utf8;
  if (shown.size() > kMax) {
    shown = shown.substr(0, kMax);
    // Not inside a character: back to the start of the one the cut falls in.
    std::size_t keep = kMax;
    while (keep > 0 && (static_cast<unsigned char>(utf8[keep]) & 0xC0) == 0x80) --keep;
    shown = utf8.substr(0, keep);
  }
  std::string out = "\"";
  for (char c : shown) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;  // control characters are escaped by emit(), with the rest of the line
  }
  out += '"';
  if (shown.size() < utf8.size()) out += "...(" + std::to_string(utf8.size()) + " bytes)";
  return out;
}

std::string quote(std::u16string_view text) {
  return quote(core::utf16_to_utf8(text));
}

std::string masked(std::size_t length) {
  return "***(" + std::to_string(length) + ")";
}

std::string describe_error(const std::exception& e) {
  if (const auto* ce = dynamic_cast<const core::Error*>(&e)) {
    char num[16];
    std::snprintf(num, sizeof num, "0x%08X", static_cast<unsigned>(ce->number()));
    return quote(ce->description()) + " (" + num + ")";
  }
  return quote(std::string_view(e.what()));
}

Span::Span(std::string_view topic, std::string text)
    : topic_(topic), text_(std::move(text)), start_(std::chrono::steady_clock::now()) {}

Span::~Span() {
  if (!done_) finish("done");
}

void Span::finish(std::string_view outcome) {
  if (done_) return;
  done_ = true;
  const auto took = std::chrono::steady_clock::now() - start_;
  std::string line = text_;
  line += " -> ";
  line += outcome;
  emit(topic_, line, std::chrono::duration_cast<std::chrono::nanoseconds>(took));
}

}  // namespace taviksms::trace
