// The opt-in trace: one line per event (time, thread, duration, what happened) appended to the
// file named by TAVIKSMS_TRACE (Windows: also HKCU\Software\TavikSms\TraceFile). Off unless set;
// when off, each trace point costs one relaxed atomic load. Writing never fails a caller: a file
// that cannot be opened or written just loses the line.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <string>
#include <string_view>

namespace taviksms::trace {

namespace detail {
// 0: not yet decided, 1: off, 2: on.
inline std::atomic<int> g_state{0};
bool decide() noexcept;
}  // namespace detail

// Whether trace lines are written. The first call asks the platform for the setting.
inline bool enabled() noexcept {
  const int s = detail::g_state.load(std::memory_order_relaxed);
  if (s == 1) return false;
  if (s == 2) return true;
  return detail::decide();
}

// Points the trace at `path` ("" switches it off), replacing the platform's setting. For tests
// and the shell's doctor; the previous file is closed.
void configure(const std::string& path);
// The setting in force: the path, and why it is not writing when it cannot ("" when it is fine).
std::string current_path();
std::string problem();

// Writes one line: "<UTC time> t<thread> <duration or -> <topic> <text>". `took` < 0: no duration.
void emit(std::string_view topic, std::string_view text,
          std::chrono::nanoseconds took = std::chrono::nanoseconds(-1)) noexcept;

// A text quoted for a trace line: quotes and backslashes escaped, cut at 200 bytes (never inside
// a character); emit() escapes control characters in the whole line.
std::string quote(std::u16string_view text);
std::string quote(std::string_view utf8);
// The length of a secret, never its value: "***(8)".
std::string masked(std::size_t length);

// A component error as "<description> (0x<number>)", anything else by its what().
std::string describe_error(const std::exception& e);

// Times a step and writes its line when it ends.
class Span {
 public:
  Span(std::string_view topic, std::string text);
  ~Span();
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;
  void finish(std::string_view outcome);  // appended to the line: "-> outcome"

 private:
  std::string topic_, text_;
  std::chrono::steady_clock::time_point start_;
  bool done_ = false;
};

}  // namespace taviksms::trace
