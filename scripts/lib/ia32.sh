# Whether this machine can run the i686 DLL's Wine suite: 32-bit Wine needs a kernel that runs
# IA-32 programs itself. Sourced by scripts/setup, scripts/test, scripts/test-wine and the i686
# CTest entries (through TavikSmsDll/com/tests/ia32_gate.sh).
#
#   ia32_check           sets IA32_OK (1 or 0) and IA32_REASON (why not, in one sentence)
#
# TAVIKSMS_NO_IA32=1 makes it answer as on a kernel without IA-32 support, so a machine that has
# it can exercise the skip path of setup and the tests.
#
# Kernels of this project's machines differ: some run IA-32 code natively; some have no IA-32
# support at all (a 32-bit ELF gets ENOEXEC, and no WoW64 route exists either); some emulate it
# with qemu-i386 through binfmt_misc, which makes each 32-bit process take about a minute and the
# suite an hour. Only the first runs the suite.

ia32_check() {
  IA32_OK=0
  IA32_REASON=""
  if [[ "${TAVIKSMS_NO_IA32:-}" == 1 ]]; then
    IA32_REASON="TAVIKSMS_NO_IA32=1 is set, so this machine is treated as one whose kernel does not run 32-bit (IA-32) programs"
    return 0
  fi
  # binfmt_misc handlers take precedence over the kernel's own ELF loader, so a registered
  # qemu-i386 emulates even where the kernel could run the program natively.
  if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    IA32_REASON="qemu-i386 is registered with binfmt_misc and would emulate every 32-bit program (a minute each); 'update-binfmts --disable qemu-i386' lets a kernel with IA-32 support run them natively"
    return 0
  fi
  # A 96-byte IA-32 ELF program that exits with status 42, written where programs may run
  # (/tmp can be mounted noexec).
  local dir probe rc=0
  for dir in "${IA32_PROBE_DIR:-}" "${TMPDIR:-/tmp}" /var/tmp "$PWD"; do
    [[ -n "$dir" && -d "$dir" && -w "$dir" ]] || continue
    probe=$(mktemp "$dir/ia32-probe.XXXXXX" 2>/dev/null) || continue
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    rc=0
    "$probe" 2>/dev/null || rc=$?
    rm -f "$probe"
    # 126 here may only mean a noexec mount: try the next folder.
    ((rc == 126)) && continue
    break
  done
  if ((rc == 42)); then
    IA32_OK=1
    return 0
  fi
  IA32_REASON="this kernel does not run 32-bit (IA-32) programs (a 32-bit probe program exited with $rc, not 42: CONFIG_IA32_EMULATION is off, or ia32_emulation=0 is on the kernel's command line)"
}
