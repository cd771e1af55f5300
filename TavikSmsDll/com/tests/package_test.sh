#!/usr/bin/env bash
# The Windows package as a host developer gets it: made from the two Windows builds by
# cmake/windows_package.cmake, its contents checked (no runtime DLL needed beside either DLL),
# unpacked into a fresh win64 prefix, register.cmd run through Wine's cmd, the VBScript example
# run by the 64-bit and the 32-bit cscript (the ip1.ini each DLL keeps beside itself shows which
# DLL served; builds with mirrors of their own also reach a sandbox each), unregister.cmd, and the
# same per user (/user).
# Usage: package_test.sh SANDBOX_EXE X64_BIN X86_BIN X64_MIRROR_PORTS X86_MIRROR_PORTS
# (the builds that ship share their mirror ports: run it through isolated.sh, one sandbox serves)
set -euo pipefail
sandbox_exe=$1 x64_bin=$2 x86_bin=$3 x64_ports=$4 x86_ports=$5
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)

work=$(mktemp -d /tmp/taviksms-package.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY=
source "$here/wine_lib.sh"

# --- the zip ---------------------------------------------------------------------------------
cmake -DX64_BIN="$x64_bin" -DX86_BIN="$x86_bin" -DOUTPUT_DIR="$work" \
  -P "$source_dir/cmake/windows_package.cmake" >"$work/package.log" 2>&1 ||
  { cat "$work/package.log"; echo "package: FAILED (cmake/windows_package.cmake)"; exit 1; }
zip=$(ls "$work"/TavikSms-*-windows.zip)
name=$(basename "$zip" .zip)
echo "made $(basename "$zip") ($(stat -c %s "$zip") bytes)"
mkdir -p "$WINEPREFIX/drive_c/Tools"
(cd "$WINEPREFIX/drive_c/Tools" && cmake -E tar xf "$zip")
pkg=$WINEPREFIX/drive_c/Tools/$name
for f in README.txt reference.html register.cmd unregister.cmd "${name%-windows}-x64.msi" \
  "${name%-windows}-x86.msi" examples/example.vbs examples/TavikSmsExample.bas \
  examples/ExampleDynamic.cs examples/ExampleInterop.cs examples/ExportFile.cs examples/example.cpp \
  examples/Photo1.JPG include/TavikSmsDll.h include/TavikSmsDll_i.c licenses/libssh2.txt \
  licenses/mbedtls.txt licenses/mingw-w64-runtime.txt licenses/gcc-runtime.txt \
  x64/TavikSmsDll.dll x64/TavikSmsDll.tlb x64/taviksms.exe \
  x86/TavikSmsDll.dll x86/TavikSmsDll.tlb x86/taviksms.exe sandbox/taviksms-sandbox.exe sandbox/libssh.dll \
  sandbox/licenses/openssl.txt sandbox/licenses/libssh.txt sandbox/licenses/sqlite.txt \
  sandbox/licenses/cpp-httplib.txt sandbox/licenses/nlohmann-json.txt; do
  [[ -s "$pkg/$f" ]] || fail "the package has no $f"
done
grep -q '<h2 id="ftp_connect">FTP_Connect</h2>' "$pkg/reference.html" ||
  fail "reference.html is not the rendered method reference"
grep -q $'\r$' "$pkg/register.cmd" || fail "register.cmd has no CRLF line ends"
x86_64-w64-mingw32-objdump -f "$pkg/x64/TavikSmsDll.dll" | grep -q 'pei-x86-64' ||
  fail "x64/TavikSmsDll.dll is not x86-64"
x86_64-w64-mingw32-objdump -f "$pkg/x86/TavikSmsDll.dll" | grep -q 'pei-i386' ||
  fail "x86/TavikSmsDll.dll is not i386"
# Only system DLLs imported: the compiler's runtimes are linked in.
for arch in x64 x86; do
  for f in TavikSmsDll.dll taviksms.exe; do
    imports=$(x86_64-w64-mingw32-objdump -p "$pkg/$arch/$f" | sed -n 's/^\s*DLL Name: //p')
    [[ -n "$imports" ]] || fail "$arch/$f: no imports read"
    if grep -qiE 'libgcc|libstdc|libwinpthread|libssh2|mbed|msvcp|vcruntime' <<<"$imports"; then
      fail "$arch/$f needs a runtime DLL beside it: $(tr '\n' ' ' <<<"$imports")"
    fi
  done
done

# The sandbox: system DLLs and libssh.dll (beside it), which needs system DLLs only.
for f in taviksms-sandbox.exe libssh.dll; do
  imports=$(x86_64-w64-mingw32-objdump -p "$pkg/sandbox/$f" | sed -n 's/^\s*DLL Name: //p')
  [[ -n "$imports" ]] || fail "sandbox/$f: no imports read"
  if grep -viE '^(advapi32|crypt32|iphlpapi|kernel32|msvcrt|shell32|user32|ws2_32|bcrypt)\.dll$' \
    <<<"$imports" | grep -qvx 'libssh.dll'; then
    fail "sandbox/$f needs a DLL the package does not carry: $(tr '\n' ' ' <<<"$imports")"
  fi
done

# --- two sandboxes: the x64 test build's mirrors and the x86 one's ---------------------------
start_sandbox() {  # start_sandbox TAG PORTS: sets control_<TAG>
  local tag=$1 ports=$2
  mkdir -p "$work/$tag"
  "$sandbox_exe" --data "$work/$tag" --mirror-ports "$ports" --tds-port 0 --sftp-port 0 \
    --control-port 0 >"$work/sandbox-$tag.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 150); do
    grep -q '^ready' "$work/sandbox-$tag.log" && break
    sleep 0.1
  done
  grep -q '^ready' "$work/sandbox-$tag.log" ||
    { cat "$work/sandbox-$tag.log"; echo "package: FAILED (sandbox on $ports)"; exit 1; }
  printf -v "control_$tag" '%s' \
    "$(sed -n 's|^control http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/sandbox-$tag.log")"
}
start_sandbox x64 "$x64_ports"
if [[ "$x86_ports" == "$x64_ports" ]]; then
  control_x86=$control_x64
else
  start_sandbox x86 "$x86_ports"
fi
logins() {  # logins TAG: f_login executions that sandbox saw
  curl -sf "http://127.0.0.1:$1/calls?proc=f_login" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'
}

# --- a fresh prefix; register; the example on each architecture ---------------------------
mkdir -p "$WINEPREFIX"
"$wineserver" -p
server_started=1
t0=$SECONDS
timeout 300 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 </dev/null ||
  { cat "$work/wineboot.log"; echo "package: FAILED (wineboot)"; exit 1; }
echo "prefix ready in $((SECONDS - t0)) s"
winpkg="C:\\Tools\\$name"
# The packaged sandbox starts from its folder (its --help needs libssh.dll loaded).
win "$work/sandbox-help.log" "$winpkg\\sandbox\\taviksms-sandbox.exe" --help ||
  fail "the packaged sandbox did not start: $(cat "$work/sandbox-help.log.txt")"
grep -q -- '--mirror-ports' "$work/sandbox-help.log.txt" ||
  fail "the packaged sandbox's --help: $(cat "$work/sandbox-help.log.txt")"

check_registered() {  # check_registered ROOT: ProgID, and the CLSID in both registry views
  local root=$1
  if [[ $root == HKCU* ]]; then
    # Wine keeps one HKCU\Software\Classes\CLSID for both views (Windows redirects it), so the
    # DLL registered last names it.
    win "$work/q.log" reg query "$root\TavikSmsDll.TavikSms\CLSID" ||
      fail "$root: ProgID not registered"
    win "$work/q.log" 'C:\windows\syswow64\reg.exe' query \
      "$root\CLSID\{F6A4A94F-740D-4C5A-A0CC-31E92811A145}\InprocServer32" ||
      fail "$root: CLSID not registered"
    grep -q 'x86\\TavikSmsDll.dll' "$work/q.log.txt" || fail "$root: CLSID names $(cat "$work/q.log.txt")"
    return
  fi
  win "$work/q.log" reg query "$root\\TavikSmsDll.TavikSms\\CLSID" ||
    fail "$root: ProgID not registered"
  win "$work/q.log" 'C:\windows\system32\reg.exe' query \
    "$root\\CLSID\\{F6A4A94F-740D-4C5A-A0CC-31E92811A145}\\InprocServer32" ||
    fail "$root: 64-bit CLSID not registered"
  grep -q 'x64\\TavikSmsDll.dll' "$work/q.log.txt" || fail "$root: 64-bit CLSID names $(cat "$work/q.log.txt")"
  win "$work/q.log" 'C:\windows\syswow64\reg.exe' query \
    "$root\\CLSID\\{F6A4A94F-740D-4C5A-A0CC-31E92811A145}\\InprocServer32" ||
    fail "$root: 32-bit CLSID not registered"
  grep -q 'x86\\TavikSmsDll.dll' "$work/q.log.txt" || fail "$root: 32-bit CLSID names $(cat "$work/q.log.txt")"
}

win "$work/register.log" cmd /c "$winpkg\\register.cmd" || fail "register.cmd exit $?: $(cat "$work/register.log.txt")"
grep -q '^TavikSmsDll.TavikSms registered.$' "$work/register.log.txt" ||
  fail "register.cmd said: $(cat "$work/register.log.txt")"
check_registered HKCR

# The version each taviksms.exe states is the package's.
version=${name#TavikSms-}
version=${version%-windows}
for arch in x64 x86; do
  win "$work/version-$arch.log" "$winpkg\\$arch\\taviksms.exe" --version ||
    fail "$arch\\taviksms.exe --version exit $?"
  [[ "$(head -1 "$work/version-$arch.log.txt")" == "taviksms $version" ]] ||
    fail "$arch\\taviksms.exe --version: $(head -1 "$work/version-$arch.log.txt"), not $version"
done

run_example() {  # run_example CSCRIPT TAG: the whole job, from a folder of its own
  local cscript=$1 tag=$2
  mkdir -p "$work/run-$tag"
  fast_clock_start "$control_x64" "$control_x86"
  (cd "$work/run-$tag" && win "$work/example-$tag.log" "$cscript" //nologo \
    "$winpkg\\examples\\example.vbs" demo demo1234) ||
    fail "example.vbs ($tag) exit $?: $(cat "$work/example-$tag.log.txt")"
  fast_clock_stop
  example_did_the_job "$work/example-$tag.log.txt" ||
    fail "example.vbs ($tag) printed: $(cat "$work/example-$tag.log.txt")"
  echo "example.vbs ($tag): $(grep -c '^result' "$work/example-$tag.log.txt") results read back"
}
run_example 'C:\windows\system32\cscript.exe' x64
[[ -s "$pkg/x64/ip1.ini" && ! -e "$pkg/x86/ip1.ini" ]] ||
  fail "the 64-bit cscript did not log in through the x64 DLL"
if [[ "$control_x86" != "$control_x64" ]]; then
  [[ "$(logins "$control_x64") $(logins "$control_x86")" == "1 0" ]] ||
    fail "the 64-bit cscript did not log in through the x64 DLL's sandbox"
fi
run_example 'C:\windows\syswow64\cscript.exe' x86
[[ -s "$pkg/x86/ip1.ini" ]] || fail "the 32-bit cscript did not log in through the x86 DLL"
if [[ "$control_x86" != "$control_x64" ]]; then
  [[ "$(logins "$control_x64") $(logins "$control_x86")" == "1 1" ]] ||
    fail "the 32-bit cscript did not log in through the x86 DLL's sandbox"
else
  [[ "$(logins "$control_x64")" == "2" ]] || fail "the sandbox saw $(logins "$control_x64") logins, not 2"
fi

win "$work/unregister.log" cmd /c "$winpkg\\unregister.cmd" || fail "unregister.cmd exit $?"
grep -q '^TavikSmsDll.TavikSms unregistered.$' "$work/unregister.log.txt" ||
  fail "unregister.cmd said: $(cat "$work/unregister.log.txt")"
! win "$work/q.log" reg query 'HKCR\TavikSmsDll.TavikSms' || fail "ProgID still registered"
! win "$work/q.log" 'C:\windows\syswow64\reg.exe' query 'HKCR\CLSID\{F6A4A94F-740D-4C5A-A0CC-31E92811A145}' ||
  fail "32-bit CLSID still registered"

# --- per user -------------------------------------------------------------------------------
win "$work/register-user.log" cmd /c "$winpkg\\register.cmd" /user ||
  fail "register.cmd /user exit $?: $(cat "$work/register-user.log.txt")"
check_registered 'HKCU\Software\Classes'
! win "$work/q.log" reg query 'HKCR\TavikSmsDll.TavikSms' || fail "/user registered machine-wide"
win "$work/unregister-user.log" cmd /c "$winpkg\\unregister.cmd" /user || fail "unregister.cmd /user exit $?"
! win "$work/q.log" reg query 'HKCU\Software\Classes\TavikSmsDll.TavikSms' || fail "per-user ProgID still registered"
win "$work/bad.log" cmd /c "$winpkg\\register.cmd" /bogus && fail "register.cmd /bogus succeeded"

if ((failures)); then
  echo "package: FAILED ($failures)"
  exit 1
fi
echo "package: PASSED"
