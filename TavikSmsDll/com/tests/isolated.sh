#!/usr/bin/env bash
# Runs a command where the DLLs that ship can be tested under Wine as they are:
#   - in a network namespace of its own with only loopback: the shipped DLLs fetch ip1.ini from
#     127.0.0.1:18081-18083, the sandbox's default ports, which in here belong to this test alone
#     (other tests and sandboxes on the machine keep theirs);
#   - with the ODBC driver name "SQL Server" (what the shipped DLLs connect through when no newer
#     Microsoft driver is installed) given to FreeTDS, speaking TDS 7.4 with UTF-8 texts: under
#     Wine, odbc32 hands the connection to the host's unixODBC.
# Usage: isolated.sh COMMAND [ARG]...  As root the namespace is made directly; otherwise in a user
# namespace of its own (where the caller appears as root).
set -euo pipefail
if [[ ${TAVIKSMS_ISOLATED:-} != 1 ]]; then
  ns=(unshare --net)
  (($(id -u) == 0)) || ns=(unshare --user --map-root-user --net)
  # A kernel or container without network namespaces: say so, and CTest reports a skip.
  if ! "${ns[@]}" true 2>/dev/null; then
    echo "SKIPPED: no network namespace can be made here ('${ns[*]}' failed)"
    exit 77
  fi
  [[ ${TAVIKSMS_ISOLATED_PROBE:-} == 1 ]] && exit 0
  # The caller's own user id: inside a user namespace everyone looks like root.
  exec env TAVIKSMS_ISOLATED=1 TAVIKSMS_ISOLATED_UID="$(id -u)" "${ns[@]}" "$0" "$@"
fi
ip link set lo up
conf=$(mktemp -d /tmp/taviksms-odbc.XXXXXX)
chmod 755 "$conf"
trap 'rm -rf "$conf"' EXIT
printf '[SQL Server]\nDriver=libtdsodbc.so\n\n[FreeTDS]\nDriver=libtdsodbc.so\n' >"$conf/odbcinst.ini"
printf '[global]\n\ttds version = 7.4\n\tclient charset = UTF-8\n' >"$conf/freetds.conf"
chmod 644 "$conf"/*
export ODBCSYSINI=$conf FREETDSCONF=$conf/freetds.conf
"$@"
