#!/usr/bin/env bash
# The Debian packages as a Debian user meets them, in a fresh root:
#   1. apt-get install ./*.deb resolves and installs them all (the -dbgsym ones too);
#   2. from the installed files only: the library is stripped and its debug file is found by
#      build id, the versions agree, the demo session runs against the installed sandbox (found
#      through the file its --env-file writes), and the C++ example builds against
#      libtaviksms-dev (CMake package and pkg-config) and does the whole job;
#   3. apt-get purge removes them, and no file is left that was not there before (ip1.ini,
#      which the library kept beside itself, included);
#   4. without the FreeTDS driver (tdsodbc purged): apt-get's plan for libtaviksms0 brings it in
#      (simulated: nothing is downloaded), and dpkg -i refuses to configure libtaviksms0, naming
#      it.
# The fresh root is this machine's own root seen through an overlay whose upper layer is a tmpfs,
# in a mount and PID namespace of its own: dpkg and apt work on a copy of the system's package
# database, nothing reaches the real system, every process ends with the namespace, and the
# upper layer shows exactly which files the packages left. It costs a second, where a
# debootstrap'd root costs minutes and the network; it does not prove the dependencies resolve
# on a bare system, only that they are stated (the same as the system's own packages').
# Needs root, mount namespaces and overlayfs; elsewhere it says so and exits 77 (skipped).
# Usage: install_test.sh PACKAGES_DIR VERSION
set -euo pipefail
packages=$(realpath "$1") version=$2
if [[ ${TAVIKSMS_FRESH_ROOT:-} != 1 ]]; then
  if (($(id -u) != 0)); then
    echo "SKIPPED: needs root (dpkg and apt run in a namespace of their own over the system's root)"
    exit 77
  fi
  if ! unshare --mount --pid --fork --propagation private true 2>/dev/null; then
    echo "SKIPPED: no mount and PID namespace can be made here (unshare --mount --pid failed)"
    exit 77
  fi
  work=$(mktemp -d /tmp/taviksms-debroot.XXXXXX)
  rc=0
  TAVIKSMS_FRESH_ROOT=1 TAVIKSMS_FRESH_WORK=$work unshare --mount --pid --fork \
    --propagation private "$0" "$@" || rc=$?
  rmdir "$work" 2>/dev/null || true
  exit $rc
fi

# From here each check reports its own failure and the test goes on.
set +e
work=$TAVIKSMS_FRESH_WORK
if ! mount -t tmpfs -o size=4g tmpfs "$work" 2>/dev/null ||
  ! mkdir -p "$work/upper" "$work/scratch" "$work/root" ||
  ! mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/scratch" \
    "$work/root" 2>/dev/null; then
  echo "SKIPPED: no overlay of the root file system can be mounted here (overlayfs)"
  exit 77
fi
root=$work/root
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mkdir -p "$root/tmp/debs"
mount --bind -o ro "$packages" "$root/tmp/debs"
# A command in the fresh root, with a plain environment.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
step() { echo "== $*"; }
t0=$SECONDS

ours=(libtaviksms0 libtaviksms-dev taviksms taviksms-sandbox taviksms-doc libtaviksms0-dbgsym
  taviksms-dbgsym taviksms-sandbox-dbgsym)
for p in "${ours[@]}"; do
  [[ -e "$packages/${p}_${version}_$(dpkg --print-architecture).deb" ||
    -e "$packages/${p}_${version}_all.deb" ]] || fail "no package $p $version in $packages"
done
in_root dpkg -s libtaviksms0 >/dev/null 2>&1 && fail "libtaviksms0 is installed before the test"

step "1. apt-get install ./*.deb"
# Every dependency is installed on the machines that run this (scripts/setup), so nothing is
# downloaded. (Not --no-download: apt-get then refuses package files as "not absolute".)
if ! in_root sh -c 'cd /tmp/debs && apt-get install -y -q ./*.deb' >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "apt-get install ./*.deb failed"
fi
for p in "${ours[@]}"; do
  [[ "$(in_root dpkg-query -W -f '${Status} ${Version}' "$p" 2>/dev/null)" == "install ok installed $version" ]] ||
    fail "$p $version is not installed"
done

step "2. the installed files"
lib=$(in_root sh -c 'readlink -f "$(ldconfig -p | sed -n "s/.*libtaviksms.so.0 .*=> //p" | head -1)"')
[[ -n "$lib" ]] || fail "ldconfig does not know libtaviksms.so.0"
if [[ -n "$lib" ]]; then
  in_root readelf -S "$lib" | grep -q debug_info && fail "$lib carries debug information"
  build_id=$(in_root readelf -n "$lib" | sed -n 's/.*Build ID: //p')
  debug_file=/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
  in_root readelf -S "$debug_file" 2>/dev/null | grep -q debug_info ||
    fail "no debug information at $debug_file (libtaviksms0-dbgsym)"
  echo "$lib: $(stat -c %s "$root$lib") bytes; debug information in $debug_file"
fi
[[ "$(in_root taviksms --version | head -1)" == "taviksms $version" ]] || fail "taviksms --version"
[[ "$(in_root taviksms-sandbox --version)" == "taviksms-sandbox $version" ]] ||
  fail "taviksms-sandbox --version"
in_root test -s /usr/share/doc/taviksms-doc/reference.html || fail "no reference.html"
# The history window's plug-in is found in the library's own folder (taviksms/): without a
# display it is the plug-in that answers.
hist=$(in_root taviksms -c 'SmsHist "" 0 0 0 0' 2>&1)
[[ "$hist" == *"no display"* ]] || fail "SmsHist did not reach the installed plug-in: $hist"

# The installed sandbox; the service clock runs fast while the example waits for its results.
in_root sh -c 'taviksms-sandbox --ephemeral --data /tmp/sandbox --env-file /tmp/sandbox.env \
  >/tmp/sandbox.out 2>&1 & echo $! >/tmp/sandbox.pid'
for _ in $(seq 100); do [[ -e "$root/tmp/sandbox.env" ]] && break; sleep 0.1; done
[[ -e "$root/tmp/sandbox.env" ]] || fail "the sandbox wrote no env file: $(cat "$root/tmp/sandbox.out")"
control=$(sed -n "s/^export TAVIKSMS_SANDBOX_CONTROL='\(.*\)'$/\1/p" "$root/tmp/sandbox.env")

step "demo session (examples/demo.tsms of taviksms-doc)"
if ! in_root sh -c '. /tmp/sandbox.env && mkdir -p /tmp/run && cd /tmp/run &&
    ln -s /usr/share/doc/taviksms-doc/examples examples && taviksms -x --echo examples/demo.tsms' \
  >"$work/demo.log" 2>&1; then
  cat "$work/demo.log"
  fail "the demo session failed"
fi
echo "demo: $(grep -c '^> ' "$work/demo.log") calls and commands"

step "the C++ example built against libtaviksms-dev"
# pkg-config's flags build a program that finds the library by itself (no run path).
printf '#include <taviksms/utf8.h>\n#include <cstdio>\nint main() { std::printf("%%zu\\n", taviksms::methods().size()); }\n' \
  >"$root/tmp/methods.cpp"
[[ "$(in_root sh -c 'g++ -std=c++20 /tmp/methods.cpp $(pkg-config --cflags --libs taviksms) \
  -o /tmp/methods && /tmp/methods' 2>&1)" == 19 ]] || fail "a program built with pkg-config's flags"
if ! in_root sh -c 'cmake -S /usr/share/doc/taviksms-doc/examples/linux-cpp -B /tmp/example \
    -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build /tmp/example' >"$work/example-build.log" 2>&1; then
  cat "$work/example-build.log"
  fail "the example does not build against the installed package"
else
  (while sleep 0.3; do curl -s -o /dev/null -d '' "$control/clock?advance=10"; done) &
  clock=$!
  rc=0
  in_root sh -c '. /tmp/sandbox.env && mkdir -p /tmp/example-run && cd /tmp/example-run &&
    /tmp/example/taviksms_example demo demo1234' >"$work/example.log" 2>&1 || rc=$?
  kill "$clock"
  wait "$clock" 2>/dev/null || true
  ((rc == 0)) && grep -qx "Logout: OK" "$work/example.log" ||
    { cat "$work/example.log"; fail "the example exited $rc"; }
  echo "example: $(grep -c '^result' "$work/example.log") results read back"
fi
# (This script shares the namespace's process ids with the root's processes.)
sandbox_pid=$(cat "$root/tmp/sandbox.pid")
kill "$sandbox_pid"
for _ in $(seq 50); do kill -0 "$sandbox_pid" 2>/dev/null || break; sleep 0.1; done

step "3. apt-get purge"
# Run as root, the library may write beside itself and kept ip1.ini there; postrm removes it.
[[ -n "$lib" && -s "$root$(dirname "$lib")/ip1.ini" ]] &&
  echo "ip1.ini was kept beside the library ($(dirname "$lib")); purging must remove it"
in_root apt-get purge -y -q "${ours[@]}" >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge failed"; }
for p in "${ours[@]}"; do
  in_root dpkg-query -W -f '${Status}' "$p" 2>/dev/null | grep -q installed && fail "$p is still installed"
done
# Whatever the packages left is in the overlay's upper layer; dpkg's and apt's own records, the
# logs, ld.so.cache and root's home (the user's history and cache) are expected there.
left=$(cd "$work/upper" && find . \( -type f -o -type l \) |
  grep -vE '^\./(var/lib/(dpkg|apt)/|var/cache/(apt|debconf|ldconfig|man)/|var/log/|etc/ld\.so\.cache$|root/)' || true)
[[ -z "$left" ]] || fail "left behind after purge: $(tr '\n' ' ' <<<"$left")"

step "4. without the FreeTDS driver"
# (Every architecture's tdsodbc: the i386 one is there where the i686 DLL's Wine suite runs.)
in_root sh -c 'dpkg --purge --force-depends $(dpkg-query -W -f "\${binary:Package} " tdsodbc)' \
  >"$work/tdsodbc.log" 2>&1 || { cat "$work/tdsodbc.log"; fail "purging tdsodbc failed"; }
in_root sh -c 'cd /tmp/debs && apt-get install -s ./libtaviksms0_*.deb' >"$work/apt-nodriver.log" 2>&1
# The plan installs the driver, or (package lists not downloaded here) names it as missing.
grep -qE '^Inst tdsodbc|Depends: tdsodbc' "$work/apt-nodriver.log" ||
  fail "apt-get's plan for libtaviksms0 does not bring tdsodbc: $(cat "$work/apt-nodriver.log")"
rc=0
in_root sh -c 'dpkg -i /tmp/debs/libtaviksms0_*.deb' >"$work/dpkg-nodriver.log" 2>&1 || rc=$?
((rc != 0)) || fail "dpkg configured libtaviksms0 without tdsodbc"
grep -q "depends on tdsodbc" "$work/dpkg-nodriver.log" ||
  fail "dpkg did not name tdsodbc: $(cat "$work/dpkg-nodriver.log")"
echo "apt: $(grep -m1 -E '^Inst tdsodbc|Depends: tdsodbc' "$work/apt-nodriver.log" | sed 's/^ *//')"
echo "dpkg: $(grep -m1 'depends on tdsodbc' "$work/dpkg-nodriver.log" | sed 's/^ *//')"

echo "install test: $((SECONDS - t0)) s"
if ((failures)); then
  echo "install test: FAILED ($failures)"
  exit 1
fi
echo "install test: PASSED"
