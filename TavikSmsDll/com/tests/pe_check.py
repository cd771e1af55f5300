#!/usr/bin/env python3
"""What can be checked of a Windows build without running it, on any machine.

    pe_check.py --arch i686|x86_64 --idl taviksms.idl --version 0.1.0 BIN_DIR

For TavikSmsDll.dll: the PE machine type and optional-header kind of its architecture; imports
from system DLLs only (the compiler's runtimes are linked in); exactly the five exports a COM
server has and TavikSmsDoctor (the checks taviksms.exe doctor runs inside the DLL); the type library (resource TYPELIB 1) is a type library naming the library, the
class, the interface and every method of the IDL; the manifest (resource 24, id 2) asks for
Common Controls 6. For taviksms.exe: the machine type and system-only imports. For both: a version
resource whose file and product versions are the project's, naming company, product and
copyright. Prints one line per check; exits 1 on any failure.
"""
import argparse
import re
import struct
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

MACHINES = {"i686": (0x014C, 0x10B), "x86_64": (0x8664, 0x20B)}  # machine, optional-header magic
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
    "comctl32.dll", "comdlg32.dll", "shell32.dll", "shlwapi.dll", "urlmon.dll", "wininet.dll",
    "odbc32.dll", "ws2_32.dll", "msvcrt.dll", "bcrypt.dll", "crypt32.dll", "secur32.dll",
    "rpcrt4.dll", "uxtheme.dll", "version.dll", "iphlpapi.dll", "ntdll.dll", "userenv.dll",
}
COM_EXPORTS = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer",
               "DllInstall"}
DLL_EXPORTS = COM_EXPORTS | {"TavikSmsDoctor"}
RT_VERSION, RT_MANIFEST = 16, 24


class PeFile:
    def __init__(self, path):
        self.path = path
        self.data = Path(path).read_bytes()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsect, _, _, _, opt_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        ndirs = struct.unpack_from("<I", d, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        sect = opt + opt_size
        for i in range(nsect):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", d, sect + 40 * i)
            self.sections.append((va, max(vsize, rsize), rptr, rsize))

    def offset(self, rva):
        for va, size, rptr, rsize in self.sections:
            if va <= rva < va + size and rva - va < rsize:
                return rptr + rva - va
        raise ValueError(f"address {rva:#x} is in no section")

    def cstr(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode("ascii", "replace")

    def imports(self):
        rva, size = self.dirs[1]
        names = []
        if not rva:
            return names
        off = self.offset(rva)
        while True:
            name_rva = struct.unpack_from("<IIIII", self.data, off)[3]
            if not name_rva:
                return names
            names.append(self.cstr(name_rva))
            off += 20

    def exports(self):
        rva, size = self.dirs[0]
        if not rva:
            return []
        off = self.offset(rva)
        count, names_rva = struct.unpack_from("<I", self.data, off + 24)[0], \
            struct.unpack_from("<I", self.data, off + 32)[0]
        noff = self.offset(names_rva)
        return [self.cstr(struct.unpack_from("<I", self.data, noff + 4 * i)[0])
                for i in range(count)]

    def resources(self):
        """{(type, name): bytes} over the first language of each; types and names are ints or
        upper-case strings."""
        rva, size = self.dirs[2]
        out = {}
        if not rva:
            return out
        base = self.offset(rva)

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                key, val = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                if key & 0x80000000:
                    soff = base + (key & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", self.data, soff)[0]
                    key = self.data[soff + 2:soff + 2 + 2 * n].decode("utf-16-le").upper()
                yield key, val

        for rtype, tval in entries(base):
            for rname, nval in entries(base + (tval & 0x7FFFFFFF)):
                lang_dir = base + (nval & 0x7FFFFFFF)
                for _, lval in entries(lang_dir):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + lval)
                    off = self.offset(data_rva)
                    out[(rtype, rname)] = self.data[off:off + data_size]
                    break
        return out


def version_strings(block):
    """The StringFileInfo values of a version resource (VS_VERSIONINFO), {name: value}."""
    def node(off, end):
        length, value_length, kind = struct.unpack_from("<HHH", block, off)
        key_end = off + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = block[off + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        stop = min(off + length, end)
        if kind == 1 and value_length:  # a text value, counted in characters
            text = block[value:value + 2 * value_length].decode("utf-16-le").rstrip("\0")
            return key, text, stop, []
        children_at = (value + (value_length if kind == 0 else 2 * value_length) + 3) & ~3
        children = []
        while children_at < stop:
            child = node(children_at, stop)
            children.append(child)
            children_at = (child[2] + 3) & ~3
        return key, None, stop, children

    strings = {}

    def walk(n):
        key, text, _, children = n
        if text is not None:
            strings[key] = text
        for c in children:
            walk(c)

    if block:
        walk(node(0, len(block)))
    return strings


# The interface's one list of methods, beside the installed header.
METHOD_LIST = Path(__file__).resolve().parents[3] / "include" / "taviksms" / "methods.def"


def idl_names(idl_text):
    """The library, coclass and interface names and the methods of the IDL."""
    methods = re.findall(r"HRESULT\s+(\w+)\s*\(", idl_text)
    blocks = re.findall(r"\b(?:library|coclass|interface|dispinterface)\s+(\w+)\s*[{:]", idl_text)
    return blocks, methods


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--arch", required=True, choices=sorted(MACHINES))
    ap.add_argument("--idl", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("bin_dir")
    args = ap.parse_args()
    failures = []

    def check(ok, what, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
        if not ok:
            failures.append(what)

    want_machine, want_magic = MACHINES[args.arch]
    bin_dir = Path(args.bin_dir)
    for exe in ("TavikSmsDll.dll", "taviksms.exe"):
        path = bin_dir / exe
        try:
            pe = PeFile(path)
        except (OSError, ValueError, struct.error) as e:
            check(False, f"{exe} is a PE file", str(e))
            continue
        check(pe.machine == want_machine and pe.magic == want_magic,
              f"{exe}: machine type {args.arch}", f"machine {pe.machine:#x}, magic {pe.magic:#x}")
        imports = [n.lower() for n in pe.imports()]
        foreign = [n for n in imports if n not in SYSTEM_DLLS and not n.startswith("api-ms-win-")]
        check(bool(imports) and not foreign, f"{exe}: imports system DLLs only",
              f"imports {', '.join(imports) or 'nothing'}; not system: {', '.join(foreign)}")
        res = pe.resources()
        ver = res.get((RT_VERSION, 1), b"")
        fixed = ver.find(struct.pack("<I", 0xFEEF04BD))
        major, minor, patch = (int(x) for x in args.version.split("."))
        ok = fixed >= 0 and "VS_VERSION_INFO".encode("utf-16-le") in ver
        if ok:
            ms, ls = struct.unpack_from("<II", ver, fixed + 8)
            pms, pls = struct.unpack_from("<II", ver, fixed + 16)
            ok = (ms >> 16, ms & 0xFFFF, ls >> 16) == (major, minor, patch) and (pms, pls) == (ms, ls)
        strings = version_strings(ver)
        want = {"FileVersion": args.version, "ProductVersion": args.version}
        ok = ok and all(strings.get(k) == v for k, v in want.items())
        check(ok, f"{exe}: version resource says {args.version} (file and product)",
              f"{len(ver)} bytes, {strings}")
        named = [k for k in ("CompanyName", "ProductName", "LegalCopyright", "FileDescription")
                 if strings.get(k)]
        check(len(named) == 4, f"{exe}: version resource names company, product, copyright",
              f"{strings}")
        if exe != "TavikSmsDll.dll":
            continue
        exports = set(pe.exports())
        check(exports == DLL_EXPORTS,
              f"{exe}: exports the five COM server entry points and TavikSmsDoctor",
              f"exports {sorted(exports)}")
        tlb = res.get(("TYPELIB", 1), b"")
        check(tlb[:4] == b"MSFT", f"{exe}: resource TYPELIB 1 is a type library",
              f"{len(tlb)} bytes starting {tlb[:4]!r}")
        blocks, methods = idl_names(Path(args.idl).read_text(encoding="utf-8"))
        listed = len(re.findall(r"^TAVIKSMS_METHOD\(", METHOD_LIST.read_text(encoding="utf-8"),
                                re.M))
        check(len(methods) == listed, f"the IDL declares the method list's {listed} methods",
              f"found {len(methods)}")
        missing = [n for n in blocks + methods if n.encode("ascii") not in tlb]
        check(not missing, f"{exe}: the type library names the library, class, interface and "
              f"{len(methods)} methods", f"missing {missing}")
        manifest = res.get((RT_MANIFEST, 2), b"")
        try:
            root = ET.fromstring(manifest)
            ids = [e.attrib for e in root.iter("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")]
            ok = any(a.get("name") == "Microsoft.Windows.Common-Controls" and
                     a.get("version") == "6.0.0.0" for a in ids)
        except ET.ParseError as e:
            ok, ids = False, str(e)
        check(ok, f"{exe}: manifest (24/2) asks for Common Controls 6", f"{ids}")
    print(f"pe_check {args.arch}: {'FAILED' if failures else 'PASSED'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
