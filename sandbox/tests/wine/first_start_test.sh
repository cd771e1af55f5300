#!/usr/bin/env bash
# The Windows sandbox as a Windows developer first meets it, under Wine, in a network namespace
# of its own (isolated.sh) where the default ports belong to this test:
#   1. started without options (a double-click) it listens on its default ports, keeps its data
#      in %LOCALAPPDATA%\TavikSms\sandbox and says where its web console is;
#   2. a second one started meanwhile fails, naming the port in use and the option to change it;
#   3. the Linux shell runs the demo session (examples/demo.tsms) against it: logins, sends, an
#      SFTP upload, results, reservations, deposits, a member;
#   4. Ctrl-C (SIGINT, which Wine delivers as CTRL_C_EVENT) stops it with exit status 0 and the
#      store closed (no write-ahead log left behind);
#   5. started again, it has everything the session stored.
# Usage: first_start_test.sh SANDBOX_EXE TAVIKSMS_SHELL EXAMPLES_DIR
set -uo pipefail
exe=$1 shell=$2 examples=$3
run=$(cd "$(dirname "$0")" && pwd)/sandbox-under-wine
work=$(mktemp -d /tmp/taviksms-wine-first.XXXXXX)
export TAVIKSMS_SANDBOX_WINE_EXE=$exe TAVIKSMS_SANDBOX_WINE_PREFIX=$work/prefix
failures=0
pid=
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
cleanup() {
  [[ -n $pid ]] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  WINEPREFIX=$work/prefix timeout 60 /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
  if ((failures == 0)); then rm -rf "$work"; else echo "kept $work"; fi
}
trap cleanup EXIT

# start LOG [ARG]...: the sandbox in the background until it says "ready" (the first start also
# makes the Wine prefix).
start() {
  local log=$1
  shift
  "$run" "$@" >"$log" 2>"$log.err" </dev/null &
  pid=$!
  for _ in $(seq 1200); do
    grep -qx ready "$log" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" "$log.err"
  return 1
}
# stop: Ctrl-C (the wrapper turns SIGTERM into SIGINT for Wine; a job started with & ignores
# SIGINT itself); its exit status.
stop() {
  kill -TERM "$pid"
  local rc=0
  wait "$pid" || rc=$?
  pid=
  return $rc
}
control() { curl -s --max-time 10 "http://127.0.0.1:18090$1"; }
count() { python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

started=$SECONDS
start "$work/first.out" || { fail "the sandbox did not start"; exit 1; }
echo "first start (Wine prefix made too): $((SECONDS - started)) s"
for line in "mirror1 http://127.0.0.1:18081/uini/ip1.ini" "database 127.0.0.1:11433 sms" \
  "sftp 127.0.0.1:12222" "control http://127.0.0.1:18090" \
  "The web console: http://127.0.0.1:18090/ (open it in a browser)"; do
  grep -qxF "$line" "$work/first.out" || fail "no line '$line'"
done
grep -qE '^The data: C:\\users\\[^\\]+\\AppData\\Local\\TavikSms\\sandbox$' "$work/first.out" ||
  fail "the data folder is not %LOCALAPPDATA%\\TavikSms\\sandbox: $(grep 'The data' "$work/first.out")"
data=$(echo "$work"/prefix/drive_c/users/*/AppData/Local/TavikSms/sandbox)
[[ -f $data/sandbox.sqlite3 ]] || fail "no store in $data"

# A second sandbox on the same ports.
second_rc=0
timeout 120 "$run" --data "$work/second" >"$work/second.out" 2>&1 </dev/null || second_rc=$?
[[ $second_rc == 1 ]] || fail "a second sandbox on the same ports exited with $second_rc"
grep -qF "port 11433 (database) is in use: another program, perhaps another sandbox, listens there. Choose another with --tds-port N, or start with --ephemeral for free ports" \
  "$work/second.out" || fail "the second sandbox said: $(cat "$work/second.out")"

# The Linux shell's demo session against it.
mkdir -p "$work/run"
ln -s "$examples" "$work/run/examples"
shell_rc=0
(cd "$work/run" && timeout 120 "$shell" --echo examples/demo.tsms) >"$work/shell.out" 2>&1 ||
  shell_rc=$?
[[ $shell_rc == 0 ]] || fail "the demo session exited with $shell_rc: $(tail -20 "$work/shell.out")"
grep -q "안녕하세요" "$work/shell.out" || fail "the demo's results do not show the SMS sent"
messages=$(control /messages | count)
uploads=$(control /uploads)
((messages >= 5)) || fail "the sandbox stored $messages messages"
[[ $uploads == *'.jpg"'* ]] || fail "no picture uploaded: $uploads"

stop_rc=0
stop || stop_rc=$?
[[ $stop_rc == 0 ]] || fail "Ctrl-C: exit status $stop_rc"
[[ ! -s $data/sandbox.sqlite3-wal ]] || fail "the store was left with its write-ahead log"

start "$work/again.out" || { fail "the sandbox did not start again"; exit 1; }
again=$(control /messages | count)
[[ $again == "$messages" ]] || fail "after the restart $again messages, before $messages"
[[ $(control /uploads) == "$uploads" ]] || fail "after the restart the uploads differ"
stop || fail "the second Ctrl-C: exit status $?"

echo "$((SECONDS - started)) s in all"
if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "first start: all checks passed"
