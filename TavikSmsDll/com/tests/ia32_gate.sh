#!/usr/bin/env bash
# Runs a test of the i686 DLL under Wine where this machine can run it; elsewhere prints why and
# exits 77, which CTest reports as skipped (SKIP_RETURN_CODE), never as passed.
# Usage: ia32_gate.sh COMMAND [ARG...]
set -uo pipefail
source "$(cd "$(dirname "$0")/../../.." && pwd)/scripts/lib/ia32.sh"
ia32_check
if ((!IA32_OK)); then
  echo "SKIPPED: the i686 DLL's Wine suite cannot run on this machine: $IA32_REASON"
  exit 77
fi
if [[ ! -e /usr/lib/wine/wine ]]; then
  echo "FAIL: this kernel runs IA-32 programs but 32-bit Wine (wine32) is not installed: run scripts/setup"
  exit 1
fi
exec "$@"
