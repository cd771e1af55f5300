#!/usr/bin/env bash
# Runs a test program whose sandboxes are the Windows sandbox under Wine: it starts
# sandbox-under-wine wherever it would start taviksms-sandbox (TAVIKSMS_SANDBOX_EXE), in a Wine
# prefix of this run's own, which is shut down (wineserver -k) and removed afterwards.
# Usage: with_wine_sandbox.sh SANDBOX_EXE PREFIX COMMAND [ARG]...
set -uo pipefail
exe=$1 prefix=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
export TAVIKSMS_SANDBOX_WINE_EXE=$exe TAVIKSMS_SANDBOX_WINE_PREFIX=$prefix
export TAVIKSMS_SANDBOX_EXE=$here/sandbox-under-wine
rm -rf "$prefix"
rc=0
# The prefix is made before the tests time their sandboxes' start-up.
"$TAVIKSMS_SANDBOX_EXE" --help >/dev/null || rc=$?
((rc)) || "$@" || rc=$?
WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wineserver64 -k >/dev/null 2>&1
rm -rf "$prefix" "$prefix.lock"
exit $rc
