// The seam's trace file: where the user asked the trace to go, and that file opened for
// appending. Bindings: posix/trace_file.cpp, win32/trace_file.cpp.
#pragma once

#include <memory>
#include <string>

#include "base/platform/files.h"

namespace taviksms::platform {

// A per-user setting as the environment (or on Windows the registry) gives it. `source` names
// where it came from ("TAVIKSMS_TRACE", "HKCU\Software\TavikSms\TraceFile"); `problem` says
// why the value cannot be used. All empty: not set.
struct UserSetting {
  std::string value, source, problem;
};

class TraceFiles {
 public:
  virtual ~TraceFiles() = default;

  // The trace file the user asked for (TAVIKSMS_TRACE; Windows: also the per-user registry value
  // HKCU\Software\TavikSms\TraceFile); an empty value: no trace. A setting with a problem (a
  // registry value that is not a string) writes no trace; doctor names it.
  virtual UserSetting trace_setting() const { return {}; }
  // `path` opened for appending trace lines (created when missing); nullptr when it cannot be.
  // Its write() never waits and never stops or ends the process: a file that cannot take a line
  // at once (a pipe or terminal nobody reads, a pipe whose reader has gone) raises core::Error,
  // and the trace gives it up.
  virtual std::unique_ptr<OutputFile> open_trace_file(const std::string& path);
  // The calling process's id, on every trace line.
  virtual unsigned long process_id() const { return 0; }
};

}  // namespace taviksms::platform
