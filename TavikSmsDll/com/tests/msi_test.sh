#!/usr/bin/env bash
# The Windows Installer packages as an ordinary user meets them, under Wine (run through
# isolated.sh, as root: Wine itself runs as the Unix user "nobody", in a prefix of that user's):
#   1. the packages made by cmake/windows_package.cmake from X64_BIN and X86_BIN (the builds that
#      ship), also an older version (0.0.1) of them; the zip holds both MSIs;
#   2. the keys regsvr32 writes for both DLLs, read back per registry view, and unregistered;
#   3. msiexec /i of the older 64-bit package, then of the current one (an upgrade: one product,
#      the newer files), then of the older one again (a downgrade: refused, nothing changed);
#      the 32-bit package refused on 64-bit Windows;
#   4. the package's keys in both views compared with regsvr32's (paths aside);
#   5. the install folders made read-only for the user, as Program Files is for one who is not
#      an administrator: the VBScript example from the installed examples folder, with the 64-bit
#      and the 32-bit cscript, logs in (ip1.ini then lives in %LOCALAPPDATA%\TavikSms, not beside
#      the DLLs); LOCALAPPDATA unset, relative, too long or with a file in the folder's place
#      gives "IP Download Error";
#   6. the folders made writable again, as they are for an administrator: the DLLs keep ip1.ini
#      beside themselves; the sandbox, not installed so far (a feature off by default), added
#      (ADDLOCAL=Sandbox): its folder, the Start-menu entry "TavikSms sandbox", and it runs;
#      msiexec /x: no file (ip1.ini included), no folder, no shortcut, no key, no entry in the
#      installed programs left; the per-user ip1.ini stays;
#   7. in a 32-bit prefix (32-bit Windows, where the kernel runs IA-32 code): the 32-bit package
#      installs (keys as regsvr32's), serves the example from a read-only Program Files, refuses
#      a downgrade, and uninstalls without a trace (ip1.ini beside the DLL included); the 64-bit
#      package is refused.
# Where the kernel runs no IA-32 code, the parts that run 32-bit programs are left out and the
# test exits 77 (skipped) once the rest has passed.
# Usage: isolated.sh msi_test.sh SANDBOX_EXE X64_BIN X86_BIN WORK_PARENT
set -euo pipefail
sandbox_exe=$1 x64_bin=$2 x86_bin=$3 work_parent=$4
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)
if [[ ${TAVIKSMS_ISOLATED:-} != 1 || ${TAVIKSMS_ISOLATED_UID:-} != 0 ]]; then
  echo "msi: SKIPPED (needs root, to run Wine as another user; start it through isolated.sh)"
  exit 77
fi
user_uid=$(id -u nobody) user_gid=$(id -g nobody)
# The parts that run 32-bit programs (syswow64's regsvr32, reg and cscript, a 32-bit prefix) need
# a kernel that runs IA-32 code; elsewhere the rest runs, and the entry ends as skipped, not passed.
source "$source_dir/scripts/lib/ia32.sh"
ia32_check
i686() { ((IA32_OK)); }

mkdir -p "$work_parent"
work=$(mktemp -d "$work_parent/msi-test.XXXXXX")
chmod 755 "$work"
cd "$work"  # Wine's current directory: anything a relative path creates lands here
mkdir -p "$work/home" "$work/prefix" "$work/prefix32" "$work/pkg" "$work/old"
chown "$user_uid:$user_gid" "$work/home" "$work/prefix" "$work/prefix32"
source "$here/wine_lib.sh"
prefix=$work/prefix winearch=win64
as_user() {  # the command as the Wine user, with its prefix
  setpriv --reuid="$user_uid" --regid="$user_gid" --clear-groups \
    env HOME="$work/home" USER=nobody LOGNAME=nobody WINEPREFIX="$prefix" WINEARCH="$winearch" \
    WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY= "$@"
}
wine_as() { as_user "$@"; }

# --- 1. the packages ----------------------------------------------------------------------------
cmake -DX64_BIN="$x64_bin" -DX86_BIN="$x86_bin" -DOUTPUT_DIR="$work/pkg" \
  -P "$source_dir/cmake/windows_package.cmake" >"$work/package.log" 2>&1 ||
  { cat "$work/package.log"; echo "msi: FAILED (cmake/windows_package.cmake)"; exit 1; }
cmake -DX64_BIN="$x64_bin" -DX86_BIN="$x86_bin" -DOUTPUT_DIR="$work/old" -DVERSION=0.0.1 \
  -P "$source_dir/cmake/windows_package.cmake" >"$work/package-old.log" 2>&1 ||
  { cat "$work/package-old.log"; echo "msi: FAILED (older package)"; exit 1; }
msi64=$(ls "$work"/pkg/TavikSms-*-x64.msi)
msi32=$(ls "$work"/pkg/TavikSms-*-x86.msi)
old64=$work/old/TavikSms-0.0.1-x64.msi
old32=$work/old/TavikSms-0.0.1-x86.msi
version=$(basename "$msi64" -x64.msi)
version=${version#TavikSms-}
echo "made $(basename "$msi64") ($(stat -c %s "$msi64") bytes), $(basename "$msi32") ($(stat -c %s "$msi32") bytes)"
listing=$(cmake -E tar tf "$work/pkg/TavikSms-$version-windows.zip")
for f in "TavikSms-$version-x64.msi" "TavikSms-$version-x86.msi" x64/TavikSmsDll.dll README.txt; do
  grep -q "^TavikSms-$version-windows/$f$" <<<"$listing" || fail "the zip holds no $f"
done
mkdir -p "$work/unzipped"
(cd "$work/unzipped" && cmake -E tar xf "$work/pkg/TavikSms-$version-windows.zip")
chmod -R a+rX "$work/pkg" "$work/old"
winmsi64="Z:${msi64//\//\\}" winmsi32="Z:${msi32//\//\\}" winold64="Z:${old64//\//\\}"
winold32="Z:${old32//\//\\}"

# --- the sandbox on the mirror ports the shipped DLLs use ---------------------------------------
mkdir -p "$work/sandbox"
"$sandbox_exe" --data "$work/sandbox" --mirror-ports 18081,18082,18083 --tds-port 0 --sftp-port 0 \
  --control-port 0 >"$work/sandbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do
  grep -q '^ready' "$work/sandbox.log" && break
  sleep 0.1
done
grep -q '^ready' "$work/sandbox.log" || { cat "$work/sandbox.log"; echo "msi: FAILED (sandbox)"; exit 1; }
control=$(sed -n 's|^control http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/sandbox.log")
logins() { curl -sf "http://127.0.0.1:$control/calls?proc=f_login" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }

# --- a fresh prefix, the user's ------------------------------------------------------------------
as_user "$wineserver" -p
server_started=1
t0=$SECONDS
as_user timeout 300 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 </dev/null ||
  { cat "$work/wineboot.log"; echo "msi: FAILED (wineboot)"; exit 1; }
echo "prefix ready in $((SECONDS - t0)) s"
drive=$work/prefix/drive_c
reg64='C:\windows\system32\reg.exe'
reg32='C:\windows\syswow64\reg.exe'

# dump_keys VIEW OUT: every key and value of the component in one registry view (reg.exe of that
# architecture), one "key|name|type|data" line each, sorted; paths to the DLLs and their folders
# replaced by <DLL> and <DIR> (regsvr32 and the package install to different places).
dump_keys() {
  local reg=$1 out=$2 key
  : >"$out.raw"
  for key in 'HKCR\TavikSmsDll.TavikSms' 'HKCR\CLSID\{F6A4A94F-740D-4C5A-A0CC-31E92811A145}' \
    'HKCR\TypeLib\{DF19A491-69D8-441E-9487-3E629F8350BD}' \
    'HKCR\Interface\{F94CE89E-73FE-47F3-8584-3F29342DAB00}'; do
    win "$work/dump.log" "$reg" query "$key" /s || true
    cat "$work/dump.log.txt" >>"$out.raw"
  done
  python3 - "$out.raw" >"$out" <<'PY'
import re, sys
rows, key = [], None
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    line = line.rstrip("\n")
    if line.startswith("HKEY_"):
        key = line
        rows.append(f"{key}|(key)||")
    elif key and line.startswith("    ") and line.strip():
        m = re.match(r"    (.*?)    (REG_\w+)    ?(.*)$", line)
        if m:
            data = m.group(3)
            data = re.sub(r"(?i)^[a-z]:\\.*\\taviksmsdll\.dll$", "<DLL>", data)
            data = re.sub(r"(?i)^[a-z]:\\.*?\\?$", "<DIR>", data) if "\\" in data else data
            rows.append(f"{key}|{m.group(1)}|{m.group(2)}|{data}")
for r in sorted(set(rows)):
    print(r)
PY
}

# --- 2. what regsvr32 writes ----------------------------------------------------------------------
mkdir -p "$drive/reg/x64" "$drive/reg/x86"
cp "$x64_bin/TavikSmsDll.dll" "$drive/reg/x64/"
cp "$x86_bin/TavikSmsDll.dll" "$drive/reg/x86/"
chown -R "$user_uid:$user_gid" "$drive/reg"
win "$work/r.log" 'C:\windows\system32\regsvr32.exe' /s 'C:\reg\x64\TavikSmsDll.dll' || fail "regsvr32 x64: $?"
if i686; then
  win "$work/r.log" 'C:\windows\syswow64\regsvr32.exe' /s 'C:\reg\x86\TavikSmsDll.dll' || fail "regsvr32 x86: $?"
fi
dump_keys "$reg64" "$work/regsvr32-64.keys"
i686 && dump_keys "$reg32" "$work/regsvr32-32.keys"
grep -q 'InprocServer32|(Default)|REG_SZ|<DLL>' "$work/regsvr32-64.keys" ||
  fail "regsvr32 wrote no 64-bit InprocServer32: $(cat "$work/regsvr32-64.keys")"
win "$work/r.log" 'C:\windows\system32\regsvr32.exe' /s /u 'C:\reg\x64\TavikSmsDll.dll' || fail "regsvr32 /u x64: $?"
if i686; then
  win "$work/r.log" 'C:\windows\syswow64\regsvr32.exe' /s /u 'C:\reg\x86\TavikSmsDll.dll' || fail "regsvr32 /u x86: $?"
fi
dump_keys "$reg64" "$work/left.keys"
[[ ! -s "$work/left.keys" ]] || fail "regsvr32 /u left: $(cat "$work/left.keys")"
rm -rf "$drive/reg"

# --- 3. install, upgrade, downgrade ---------------------------------------------------------------
products() {  # "<name>|<version>" of each installed TavikSms product
  win "$work/arp.log" "$reg64" query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s || true
  python3 - "$work/arp.log.txt" <<'PY'
import re, sys
name = ver = None
out = []
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    if line.startswith("HKEY_"):
        if name and name.startswith("TavikSms"): out.append(f"{name}|{ver}")
        name = ver = None
    m = re.match(r"\s+(DisplayName|DisplayVersion)\s+REG_SZ\s+(.*)$", line.rstrip("\n"))
    if m:
        if m.group(1) == "DisplayName": name = m.group(2)
        else: ver = m.group(2)
if name and name.startswith("TavikSms"): out.append(f"{name}|{ver}")
print(" ".join(sorted(out)))
PY
}
# start_menu_of DRIVE: the package's Start-menu folder. A per-machine package puts it in the
# Start menu of all users (ProgramData) on Windows; Wine's msiexec resolves ProgramMenuFolder to
# the installing user's own, whatever ALLUSERS says. Whichever holds it (the first when neither).
start_menu_of() {
  local all="$1/ProgramData/Microsoft/Windows/Start Menu/Programs/TavikSms"
  local own="$1/users/nobody/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/TavikSms"
  if [[ ! -e "$all" && -e "$own" ]]; then echo "$own"; else echo "$all"; fi
}
pf64="$drive/Program Files/TavikSms"
pf32="$drive/Program Files (x86)/TavikSms"
t0=$SECONDS
win "$work/i-old.log" msiexec /i "$winold64" /qn || fail "msiexec /i 0.0.1: exit $?"
[[ "$(products)" == "TavikSms (64-bit and 32-bit)|0.0.1" ]] || fail "after 0.0.1: $(products)"
grep -q "TavikSms 0.0.1 for Windows" "$pf64/README.txt" || fail "0.0.1 README not installed"
win "$work/i.log" msiexec /i "$winmsi64" /qn || fail "msiexec /i $version: exit $?"
echo "install and upgrade in $((SECONDS - t0)) s"
[[ "$(products)" == "TavikSms (64-bit and 32-bit)|$version" ]] || fail "after the upgrade: $(products)"
grep -q "TavikSms $version for Windows" "$pf64/README.txt" || fail "the upgrade kept the old README"
# The documents beside the x64 DLL, the reference and the README in the Start menu.
start_menu=$(start_menu_of "$drive")
for f in "$pf64/TavikSmsDll.dll" "$pf64/TavikSmsDll.tlb" "$pf64/taviksms.exe" "$pf64/examples/example.vbs" \
  "$pf64/examples/example.cpp" "$pf64/examples/Photo1.JPG" "$pf64/include/TavikSmsDll.h" \
  "$pf64/reference.html" "$pf64/licenses/libssh2.txt" "$pf32/TavikSmsDll.dll" "$pf32/TavikSmsDll.tlb" \
  "$pf32/taviksms.exe" "$start_menu/TavikSms method reference.lnk" "$start_menu/TavikSms README.lnk"; do
  [[ -s "$f" ]] || fail "not installed: ${f#"$drive/"}"
done
menu_entry="$start_menu/TavikSms sandbox.lnk"
[[ ! -e "$pf64/sandbox" && ! -e "$menu_entry" ]] || fail "the sandbox was installed by default"
grep -qa 'reference\.html' "$start_menu/TavikSms method reference.lnk" ||
  fail "the Start menu's reference shortcut does not lead to reference.html"
for arch in x64 x86; do
  [[ $arch == x64 ]] && dir=$pf64 || dir=$pf32
  cmp -s "$dir/TavikSmsDll.dll" "$work/unzipped/TavikSms-$version-windows/$arch/TavikSmsDll.dll" ||
    fail "the installed $arch DLL is not the zip's"
done
rc=0
win "$work/down.log" msiexec /i "$winold64" /qn || rc=$?
((rc != 0)) || fail "the downgrade to 0.0.1 was accepted"
[[ "$(products)" == "TavikSms (64-bit and 32-bit)|$version" ]] || fail "after the refused downgrade: $(products)"
rc=0
win "$work/i32.log" msiexec /i "$winmsi32" /qn || rc=$?
((rc != 0)) || fail "the 32-bit package installed on 64-bit Windows"
# What the refusal says (Wine's msiexec shows and logs no launch-condition text, so read it from
# the packages' LaunchCondition tables).
msiinfo export "$msi32" LaunchCondition | grep -q $'^NOT VersionNT64\tThis package is for 32-bit Windows. On 64-bit Windows install TavikSms-'"$version"'-x64.msi' ||
  fail "the 32-bit package's refusal does not name the 64-bit package"
msiinfo export "$msi64" LaunchCondition | grep -q $'^VersionNT64\tThis package is for 64-bit Windows. On 32-bit Windows install TavikSms-'"$version"'-x86.msi' ||
  fail "the 64-bit package's refusal does not name the 32-bit package"
[[ "$(products)" == "TavikSms (64-bit and 32-bit)|$version" ]] || fail "after the refused 32-bit package: $(products)"

# --- 4. the package's keys are regsvr32's ----------------------------------------------------------
dump_keys "$reg64" "$work/msi-64.keys"
views=(64)
i686 && views+=(32) && dump_keys "$reg32" "$work/msi-32.keys"
if ! i686; then
  # Without the 32-bit regsvr32 the i686 DLL wrote nothing to compare with; the type library's
  # win32 entry it registers stands in the shared TypeLib key, so it is left out here.
  grep -v '^HKEY_CLASSES_ROOT\\TypeLib\\.*\\win32|' "$work/msi-64.keys" >"$work/msi-64.x64only" || true
  mv "$work/msi-64.x64only" "$work/msi-64.keys"
fi
for view in "${views[@]}"; do
  diff "$work/regsvr32-$view.keys" "$work/msi-$view.keys" >"$work/keys-$view.diff" ||
    fail "$view-bit view: the package's keys differ from regsvr32's:\n$(cat "$work/keys-$view.diff")"
done
echo "keys: $(wc -l <"$work/msi-64.keys") in the 64-bit view, $(i686 && wc -l <"$work/msi-32.keys" || echo "not read") in the 32-bit view, as regsvr32 writes them"

# --- 5. Program Files read-only for the user: ip1.ini per user --------------------------------------
chmod -R a-w "$pf64" "$pf32"
localdata="$drive/users/nobody/AppData/Local"
run_example() {  # run_example CSCRIPT TAG: the whole job, in the user's own folder
  fast_clock_start "$control"
  (cd "$work/home" && win "$work/example-$2.log" "$1" //nologo \
    'C:\Program Files\TavikSms\examples\example.vbs' demo demo1234) ||
    fail "example.vbs ($2) exit $?: $(cat "$work/example-$2.log.txt")"
  fast_clock_stop
  example_did_the_job "$work/example-$2.log.txt" ||
    fail "example.vbs ($2) printed: $(cat "$work/example-$2.log.txt")"
  echo "example.vbs ($2) from Program Files: $(grep -c '^result' "$work/example-$2.log.txt") results read back"
}
before=$(logins)
run_example 'C:\windows\system32\cscript.exe' x64
[[ -s "$localdata/TavikSms/ip1.ini" ]] || fail "no ip1.ini in %LOCALAPPDATA%\\TavikSms"
grep -q '^sms_id=' "$localdata/TavikSms/ip1.ini" || fail "%LOCALAPPDATA%\\TavikSms\\ip1.ini is no configuration"
rm -f "$localdata/TavikSms/ip1.ini"
if i686; then
  run_example 'C:\windows\syswow64\cscript.exe' x86
  [[ -s "$localdata/TavikSms/ip1.ini" ]] || fail "the x86 DLL kept no ip1.ini in %LOCALAPPDATA%\\TavikSms"
  [[ "$(logins)" == "$((before + 2))" ]] || fail "the sandbox saw $(($(logins) - before)) logins, not 2"
fi
[[ ! -e "$pf64/ip1.ini" && ! -e "$pf32/ip1.ini" ]] || fail "ip1.ini written beside a DLL in Program Files"

# LOCALAPPDATA as a host's environment may have it, through com_probe (which sets it in its own
# process, then Login and Logout on the installed DLL).
mkdir -p "$drive/probe" "$drive/other" "$drive/badlocal"
cp "$x64_bin/com_probe.exe" "$drive/probe/"
echo "not a folder" >"$drive/badlocal/TavikSms"
chown -R "$user_uid:$user_gid" "$drive/probe" "$drive/other" "$drive/badlocal"
long='C:\'$(printf 'x%.0s' $(seq 230))
longer='C:\'$(printf 'y%.0s' $(seq 5000))
declare -A want=(
  [-]="IP Download Error"
  ['relative\place']="IP Download Error"
  ["$long"]="IP Download Error"
  ["$longer"]="IP Download Error"
  ['C:\badlocal']="IP Download Error"
  ['C:\other']="OK"
)
n=0
for value in - 'relative\place' "$long" "$longer" 'C:\badlocal' 'C:\other'; do
  n=$((n + 1))
  win "$work/env-$n.log" 'C:\probe\com_probe.exe' login-env "$value" || fail "com_probe login-env ($n) exit $?"
  got=$(sed -n 's/^login 0x00000000 //p' "$work/env-$n.log.txt")
  [[ "$got" == "${want[$value]}" ]] ||
    fail "LOCALAPPDATA=${value:0:40}: Login gave '$got' ($(tr '\n' ' ' <"$work/env-$n.log.txt"))"
  grep -q '^end$' "$work/env-$n.log.txt" || fail "LOCALAPPDATA=${value:0:40}: com_probe stopped early"
done
[[ -s "$drive/other/TavikSms/ip1.ini" ]] || fail "LOCALAPPDATA=C:\\other: no C:\\other\\TavikSms\\ip1.ini"
[[ -f "$drive/badlocal/TavikSms" ]] || fail "the file in the folder's place was replaced"
[[ ! -e "$work/relative" && ! -e "$drive/relative" && ! -e "$drive/windows/system32/relative" ]] ||
  fail "a relative LOCALAPPDATA was used"
echo "LOCALAPPDATA unset, relative, too long, a file in the folder's place: IP Download Error; elsewhere: OK"
chmod -R u+w "$pf64" "$pf32"
# An administrator's host: the DLL may write beside itself and keeps ip1.ini (the masked service
# passwords) in Program Files, which uninstalling must remove.
run_example 'C:\windows\system32\cscript.exe' x64-beside
[[ -s "$pf64/ip1.ini" ]] || fail "the x64 DLL kept no ip1.ini beside itself in a writable folder"
if i686; then
  run_example 'C:\windows\syswow64\cscript.exe' x86-beside
  [[ -s "$pf32/ip1.ini" ]] || fail "the x86 DLL kept no ip1.ini beside itself in a writable folder"
fi

# --- 6. the sandbox added; uninstall ------------------------------------------------------------
win "$work/i-sandbox.log" msiexec /i "$winmsi64" ADDLOCAL=Sandbox /qn ||
  fail "msiexec /i ADDLOCAL=Sandbox: exit $?"
for f in sandbox/taviksms-sandbox.exe sandbox/libssh.dll sandbox/licenses/libssh.txt; do
  [[ -s "$pf64/$f" ]] || fail "the Sandbox feature did not install $f"
done
[[ -s "$menu_entry" ]] || fail "no Start-menu entry 'TavikSms sandbox'"
win "$work/sandbox-help.log" 'C:\Program Files\TavikSms\sandbox\taviksms-sandbox.exe' --help ||
  fail "the installed sandbox did not run: $(cat "$work/sandbox-help.log.txt")"
t0=$SECONDS
win "$work/x.log" msiexec /x "$winmsi64" /qn || fail "msiexec /x: exit $?"
echo "uninstall in $((SECONDS - t0)) s"
[[ ! -e "$pf64" && ! -e "$pf32" && ! -e "$start_menu" ]] ||
  fail "uninstall left files: $(find "$pf64" "$pf32" "$start_menu" 2>/dev/null | tr '\n' ' ')"
! win "$work/q.log" "$reg64" query 'HKLM\Software\TavikSms\Installer' ||
  fail "uninstall left HKLM\\Software\\TavikSms\\Installer"
# The per-user copy is the user's: it stays.
[[ -s "$drive/other/TavikSms/ip1.ini" ]] || fail "uninstall removed a per-user ip1.ini"
# The download's temporary names need wildcards, which Windows Installer expands and Wine's
# msiexec does not: the rows themselves are checked.
# (Read whole first: grep -q ending early would fail the pipe.)
removed64=$(msiinfo export "$msi64" RemoveFile) removed32=$(msiinfo export "$msi32" RemoveFile)
for bits in x64 x86; do
  grep -q $'^ConfigDownload_'"$bits"$'\tDll_'"$bits"$'\tip1\*\.par|ip1\.ini\.\*\.part\t' <<<"$removed64" ||
    fail "the 64-bit package removes no ip1.ini.*.part beside the $bits DLL"
done
grep -q $'^ConfigFile_x86\tDll_x86\tip1\.ini\tINSTALLDIR_X86\t2' <<<"$removed32" ||
  fail "the 32-bit package does not remove ip1.ini"
dump_keys "$reg64" "$work/left-64.keys"
: >"$work/left-32.keys"
i686 && dump_keys "$reg32" "$work/left-32.keys"
[[ ! -s "$work/left-64.keys" && ! -s "$work/left-32.keys" ]] ||
  fail "uninstall left keys: $(cat "$work/left-64.keys" "$work/left-32.keys")"
[[ -z "$(products)" ]] || fail "uninstall left the product listed: $(products)"
win "$work/gone.log" 'C:\probe\com_probe.exe' login-env 'C:\other' || true
grep -q '^error create' "$work/gone.log.txt" || fail "the object is still creatable: $(cat "$work/gone.log.txt")"

# --- 7. the 32-bit package on 32-bit Windows ------------------------------------------------------
if ! i686; then
  echo "32-bit package on 32-bit Windows: not run ($IA32_REASON)"
elif [[ $(uname -m) == x86_64 ]] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "32-bit package: not tested (no 32-bit Wine; scripts/setup installs it)"
else
  as_user timeout 60 "$wineserver" -k >/dev/null 2>&1 || true
  prefix=$work/prefix32 winearch=win32 wine=/usr/lib/wine/wine wineserver=/usr/lib/wine/wineserver32
  drive=$prefix/drive_c
  as_user "$wineserver" -p
  t0=$SECONDS
  as_user timeout 300 "$wine" wineboot -i >"$work/wineboot32.log" 2>&1 </dev/null ||
    { cat "$work/wineboot32.log"; echo "msi: FAILED (wineboot, win32)"; exit 1; }
  echo "32-bit prefix ready in $((SECONDS - t0)) s"
  reg='C:\windows\system32\reg.exe'
  pf="$drive/Program Files/TavikSms"
  mkdir -p "$drive/reg"
  cp "$x86_bin/TavikSmsDll.dll" "$drive/reg/"
  chown -R "$user_uid:$user_gid" "$drive/reg"
  win "$work/r.log" regsvr32 /s 'C:\reg\TavikSmsDll.dll' || fail "regsvr32 (win32): $?"
  dump_keys "$reg" "$work/regsvr32-w32.keys"
  win "$work/r.log" regsvr32 /s /u 'C:\reg\TavikSmsDll.dll' || fail "regsvr32 /u (win32): $?"
  dump_keys "$reg" "$work/left.keys"
  [[ ! -s "$work/left.keys" ]] || fail "regsvr32 /u (win32) left: $(cat "$work/left.keys")"
  rm -rf "$drive/reg"
  rc=0
  win "$work/w32-i64.log" msiexec /i "$winmsi64" /qn || rc=$?
  ((rc != 0)) || fail "the 64-bit package installed on 32-bit Windows"
  [[ ! -e "$pf" ]] || fail "the refused 64-bit package left $pf"
  win "$work/w32-i.log" msiexec /i "$winmsi32" /qn || fail "msiexec /i (32-bit package): exit $?"
  [[ "$(products)" == "TavikSms (32-bit)|$version" ]] || fail "32-bit Windows: $(products)"
  start_menu=$(start_menu_of "$drive")
  for f in TavikSmsDll.dll TavikSmsDll.tlb taviksms.exe README.txt reference.html examples/example.vbs \
    licenses/mbedtls.txt; do
    [[ -s "$pf/$f" ]] || fail "32-bit package: not installed: $f"
  done
  [[ -s "$start_menu/TavikSms method reference.lnk" ]] || fail "32-bit package: no Start menu entry"
  dump_keys "$reg" "$work/msi-w32.keys"
  diff "$work/regsvr32-w32.keys" "$work/msi-w32.keys" >"$work/keys-w32.diff" ||
    fail "32-bit package: keys differ from regsvr32's:\n$(cat "$work/keys-w32.diff")"
  rc=0
  win "$work/w32-down.log" msiexec /i "$winold32" /qn || rc=$?
  ((rc != 0)) || fail "32-bit package: the downgrade to 0.0.1 was accepted"
  chmod -R a-w "$pf"
  localdata="$drive/users/nobody/AppData/Local"
  run_example 'C:\windows\system32\cscript.exe' win32
  [[ -s "$localdata/TavikSms/ip1.ini" && ! -e "$pf/ip1.ini" ]] ||
    fail "32-bit Windows: ip1.ini not in %LOCALAPPDATA%\\TavikSms"
  chmod -R u+w "$pf"
  run_example 'C:\windows\system32\cscript.exe' win32-beside
  [[ -s "$pf/ip1.ini" ]] || fail "32-bit Windows: no ip1.ini beside the DLL in a writable folder"
  win "$work/w32-x.log" msiexec /x "$winmsi32" /qn || fail "msiexec /x (32-bit package): exit $?"
  [[ ! -e "$pf" && ! -e "$start_menu" ]] ||
    fail "32-bit package: uninstall left $(find "$pf" "$start_menu" 2>/dev/null | tr '\n' ' ')"
  dump_keys "$reg" "$work/left-w32.keys"
  [[ ! -s "$work/left-w32.keys" ]] || fail "32-bit package: uninstall left keys: $(cat "$work/left-w32.keys")"
  [[ -z "$(products)" ]] || fail "32-bit package: uninstall left $(products)"
  echo "32-bit package on 32-bit Windows: installed, keys as regsvr32's, example OK from a read-only Program Files, removed"
fi

if ((failures)); then
  echo "msi: FAILED ($failures)"
  exit 1
fi
if ! i686; then
  echo "msi: the 64-bit parts PASSED; SKIPPED the parts that run 32-bit programs: $IA32_REASON"
  exit 77
fi
echo "msi: PASSED"
