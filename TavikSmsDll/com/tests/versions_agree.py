#!/usr/bin/env python3
"""One version everywhere: the project's version against what each deliverable states.

    versions_agree.py --version X.Y.Z --shell TAVIKSMS --sandbox TAVIKSMS_SANDBOX
                      --x64-bin DIR --x86-bin DIR

`taviksms --version` and `taviksms-sandbox --version`; the version blocks of both DLLs and both
taviksms.exe (file and product version, company, product and copyright as cmake/identity.cmake
names them); both MSIs' ProductVersion and Manufacturer and their File table's versions (the MSIs
made by cmake/windows_package.cmake from the two bin folders). One line each; exits 1 when any
disagrees.
"""
import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pe_check import RT_VERSION, PeFile, version_strings  # noqa: E402

SOURCE = Path(__file__).resolve().parents[3]


def identity():
    text = (SOURCE / "cmake" / "identity.cmake").read_text(encoding="utf-8")
    return dict(re.findall(r'^set\((TAVIKSMS_\w+) "([^"]*)"\)', text, re.M))


def main():
    ap = argparse.ArgumentParser()
    for a in ("--version", "--shell", "--sandbox", "--x64-bin", "--x86-bin"):
        ap.add_argument(a, required=True)
    args = ap.parse_args()
    v, ident = args.version, identity()
    rows = []  # (what, stated, wanted)

    def run(cmd):
        return subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout

    rows.append(("taviksms --version", run([args.shell, "--version"]).splitlines()[0],
                 f"taviksms {v}"))
    rows.append(("taviksms-sandbox --version", run([args.sandbox, "--version"]).strip(),
                 f"taviksms-sandbox {v}"))
    for arch, folder in (("x64", args.x64_bin), ("x86", args.x86_bin)):
        for exe in ("TavikSmsDll.dll", "taviksms.exe"):
            strings = version_strings(PeFile(Path(folder) / exe).resources().get((RT_VERSION, 1), b""))
            for key, want in (("FileVersion", v), ("ProductVersion", v),
                              ("CompanyName", ident["TAVIKSMS_COMPANY"]),
                              ("ProductName", ident["TAVIKSMS_PRODUCT"]),
                              ("LegalCopyright", ident["TAVIKSMS_COPYRIGHT"])):
                rows.append((f"{arch}/{exe} {key}", strings.get(key, "<none>"), want))
    with tempfile.TemporaryDirectory(prefix="taviksms-versions-") as out:
        made = subprocess.run(
            ["cmake", f"-DX64_BIN={args.x64_bin}", f"-DX86_BIN={args.x86_bin}",
             f"-DOUTPUT_DIR={out}", "-P", str(SOURCE / "cmake" / "windows_package.cmake")],
            capture_output=True, text=True, timeout=300)
        if made.returncode != 0:
            print(made.stdout + made.stderr)
            return 1
        for arch in ("x64", "x86"):
            msi = Path(out) / f"TavikSms-{v}-{arch}.msi"
            props = dict(line.split("\t", 1) for line in run(["msiinfo", "export", str(msi),
                                                             "Property"]).splitlines()[3:])
            rows.append((f"{msi.name} ProductVersion", props.get("ProductVersion", "<none>"), v))
            rows.append((f"{msi.name} Manufacturer", props.get("Manufacturer", "<none>"),
                         ident["TAVIKSMS_COMPANY"]))
            files = [line.split("\t") for line in run(["msiinfo", "export", str(msi),
                                                       "File"]).splitlines()[3:]]
            for f in files:
                if f[2] in ("TavikSmsDll.dll", "taviksms.exe"):
                    rows.append((f"{msi.name} File {f[0]}", f[4], f"{v}.0"))
    bad = 0
    for what, stated, wanted in rows:
        ok = stated == wanted
        bad += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {what}: {stated}" + ("" if ok else f" (want {wanted})"))
    print(f"versions_agree: {'FAILED' if bad else 'PASSED'} ({len(rows)} checked)")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
