// How a shell run went, for its exit status. By default the status is the shell's long-standing
// one (0, or 1 when a call's error escaped or a line was malformed: a method's failure text and
// a shell command that could not do its work, such as .show of a missing file, leave it 0); with
// --stop-on-failure the run stops at the first failure and the status tells them apart: 0 every
// call succeeded, 1 a method reported a failure, an error escaped or a command failed, 2 bad
// options or syntax.
#pragma once

namespace taviksms::shell {

struct RunOutcome {
  bool syntax_error = false;    // a malformed line or an unknown shell command
  bool escaped_error = false;   // an error escaped a method (printed as "error 0x...")
  bool failure_result = false;  // a method answered with a failure text or -12345678
  bool command_failed = false;  // a dot command could not do its work (.show, .use, ...)

  bool any() const { return syntax_error || escaped_error || failure_result || command_failed; }
  int exit_status(bool strict) const {
    if (!strict) return syntax_error || escaped_error ? 1 : 0;
    if (syntax_error) return 2;
    return any() ? 1 : 0;
  }
};

}  // namespace taviksms::shell
