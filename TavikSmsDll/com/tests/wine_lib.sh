# Shared by the package tests (package_test.sh, msi_test.sh), sourced after they set `work`:
# Wine's programs, the cleanup on exit, failure counting, and `win`, which runs a Wine command
# bounded with its output in a file. A test that runs Wine as another user defines wine_as
# (the command as that user) after sourcing this.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
pids=()           # background processes (sandboxes) to stop on exit
server_started=0  # set once a wineserver runs, so cleanup stops it
failures=0
wine_as() { "$@"; }
cleanup() {
  ((server_started)) && wine_as timeout 60 "$wineserver" -k >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if ((failures == 0)); then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# win LOG COMMAND...: a Wine command, bounded, its output in LOG and LOG.txt (without CRs). Never
# a pipe: Wine's background processes would hold it open.
win() {
  local log=$1
  shift
  local rc=0
  wine_as timeout -k 10 180 "$wine" "$@" >"$log" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$log" >"$log.txt"
  return $rc
}
# fast_clock_start PORT...: the service clock of the sandboxes on those control ports moves on
# 10 s every 0.3 s until fast_clock_stop, so the examples' delivery results come within their
# first wait.
fast_clock_start() {
  (while sleep 0.3; do
    for port in "$@"; do curl -s -o /dev/null -d '' "http://127.0.0.1:$port/clock?advance=10"; done
  done) &
  fast_clock_pid=$!
}
fast_clock_stop() {
  kill "$fast_clock_pid" 2>/dev/null || true
  wait "$fast_clock_pid" 2>/dev/null || true
}
# example_did_the_job OUTPUT: the VBScript example's output (without CRs) shows every step done
# and its own three delivery results read back from sms1.txt.
example_did_the_job() {
  local out=$1 step
  for step in "Login: OK" "SmsSend to 2 recipients: OK" "FTP_Upload Photo1.JPG: OK" "MmsSend: OK" \
    "YaeyakData: OK" "Logout: OK"; do
    grep -qxF "$step" "$out" || return 1
  done
  grep -qE '^YaeyakDelete [0-9]+: OK$' "$out" &&
    [[ $(grep -cE '^result [0-9]+ to 010[0-9]+ \(vbs[0-9]+-(sms|mms)\): code 0 ' "$out") == 3 ]]
}
