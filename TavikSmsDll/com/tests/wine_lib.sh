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
