"""The host developer's examples: the Linux C++ one against a sandbox, the others checked for
what can be checked on Linux."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest
from pathlib import Path

from sandbox_harness import Sandbox

SOURCE = Path(os.environ.get("TAVIKSMS_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXAMPLES = SOURCE / "examples"
METHOD_LIST = SOURCE / "include" / "taviksms" / "methods.def"
IDL = SOURCE / "TavikSmsDll" / "com" / "taviksms.idl"


def method_list():
    """{name: [(type, parameter), ...]} and {name: (dispid, result)} from methods.def."""
    text = METHOD_LIST.read_text(encoding="utf-8")
    params, heads = {}, {}
    for m in re.finditer(r"^TAVIKSMS_METHOD\((0x[0-9A-Fa-f]+), (\w+), (\w+)((?:,\s*\(\w+, \w+\))*)\)",
                         text, re.M):
        params[m.group(2)] = re.findall(r"\((\w+), (\w+)\)", m.group(4))
        heads[m.group(2)] = (int(m.group(1), 16), m.group(3))
    return params, heads


def env_file_vars(path):
    """The variables an env file written by the sandbox exports."""
    return dict(re.findall(r"^export (\w+)='([^']*)'$", Path(path).read_text(), re.M))


class LinuxCppExample(unittest.TestCase):
    """examples/linux-cpp, built in this build as a host builds it, against a sandbox it finds
    through the file --env-file writes; the service clock runs fast meanwhile."""

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="taviksms-example-"))
        cls.sandbox = Sandbox("--env-file", str(cls.work / "sandbox.env"))
        cls.env = dict(os.environ, **env_file_vars(cls.work / "sandbox.env"))

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_example(self, user, password, locale="C.UTF-8"):
        done = threading.Event()

        def advance():
            while not done.wait(0.3):
                self.sandbox.control("POST", "/clock?advance=10")

        clock = threading.Thread(target=advance)
        clock.start()
        run_dir = self.work / "run"
        run_dir.mkdir(exist_ok=True)
        try:
            return subprocess.run([os.environ["TAVIKSMS_EXAMPLE_EXE"], user, password],
                                  cwd=run_dir, env=dict(self.env, LC_ALL=locale),
                                  capture_output=True, timeout=200)
        finally:
            done.set()
            clock.join()

    def test_cases(self):
        own = re.compile(r"^result \d+ to (01012345678|01087654321) \((cpp\d+)-(sms|mms)\): "
                         r"code 0 성공, fee (20|200), sent \d{14}$", re.M)
        cases = [
            # name, user, password, locale, fault to arm, exit status, lines that must be there
            ("whole job", "demo", "demo1234", "C.UTF-8", None, 0,
             ["Login: OK", "SmsSend to 2 recipients: OK", "FTP_Upload Photo1.JPG: OK", "MmsSend: OK",
              "Reserved SmsSend: OK", "YaeyakData: OK", r"YaeyakDelete \d+: OK", "Logout: OK"]),
            # sms1.txt and sms2.txt in EUC-KR, read back into UTF-8.
            ("Korean EUC-KR locale", "demo", "demo1234", "ko_KR.EUC-KR", None, 0,
             ["MmsSend: OK", "Logout: OK"]),
            ("login refused", "demo", "wrong", "C.UTF-8", None, 1,
             ["Login failed: 비밀번호가 일치하지 않습니다."]),
            ("cancellation refused: an exception", "demo", "demo1234", "C.UTF-8",
             "/faults/raise?proc=sp_YaeyakDelete&message=refused%20by%20test", 1,
             [r"YaeyakDelete \d+ failed: error 0x80040E14: refused by test", "Logout: OK"]),
        ]
        for name, user, password, locale, fault, status, lines in cases:
            with self.subTest(name):
                if fault:
                    self.sandbox.control("POST", fault)
                r = self.run_example(user, password, locale)
                self.sandbox.control("DELETE", "/faults")
                out = r.stdout.decode("utf-8", "replace")
                self.assertEqual(r.returncode, status, out + r.stderr.decode(errors="replace"))
                for line in lines:
                    self.assertRegex(out, re.compile("^" + line + "$", re.M))
                if status == 0:
                    tags = {m.group(2) for m in own.finditer(out)}
                    self.assertEqual(len(own.findall(out)), 3, out)
                    self.assertEqual(len(tags), 1, out)
                    sms_id = tags.pop() + "-sms"
                    sent = [c for c in self.sandbox.calls("sp_sms_send")
                            if any(p["name"] == "@Custom_id" and p.get("text") == sms_id
                                   for p in c["params"])]
                    self.assertEqual(len(sent), 2)
                    msg = [p["text"] for p in sent[0]["params"] if p["name"] == "@msg"]
                    self.assertEqual(msg, ["안녕하세요, example.cpp입니다."])
                elif user == "demo" and password == "wrong":
                    self.assertEqual(out, "Login failed: 비밀번호가 일치하지 않습니다.\n")


def calls_in(text, language):
    """(method, argument count, line number) of each `sms.Method ...` call in an example."""
    string = r'"(?:[^"\\]|\\.)*"' if language == "cs" else r'"(?:[^"]|"")*"'
    found = []
    for m in re.finditer(r"\bsms\.(\w+)", text):
        rest = text[m.end():]
        depth, args, token, i = 0, 0, False, 0
        if language == "vb" and not rest.lstrip(" ").startswith("("):
            # A VB statement call: its arguments run to the end of the line (or a continuation).
            rest = " (" + re.split(r"(?<! _)\n", rest, maxsplit=1)[0].replace(" _\n", " ") + ")"
        rest = rest.lstrip(" ")
        if not rest.startswith("("):
            continue
        while i < len(rest):
            s = re.match(string, rest[i:])
            if s:
                token, i = True, i + s.end()
                continue
            c = rest[i]
            if c == "(":
                depth += 1
                if depth > 1:
                    token = True
            elif c == ")":
                depth -= 1
                if depth == 0:
                    break
            elif c == "," and depth == 1:
                args += 1
            elif not c.isspace() and not (language == "vb" and c == "_"):
                token = True
            i += 1
        line = text.count("\n", 0, m.start()) + 1
        found.append((m.group(1), args + 1 if token else 0, line))
    return found


class StaticChecks(unittest.TestCase):
    def test_every_call_names_a_method_with_its_arguments(self):
        params, _ = method_list()
        files = [("vbscript/example.vbs", "vb"), ("vba/TavikSmsExample.bas", "vb"),
                 ("csharp/ExampleDynamic.cs", "cs")]
        for path, language in files:
            text = (EXAMPLES / path).read_text(encoding="utf-8")
            calls = calls_in(text, language)
            self.assertGreaterEqual(len({c[0] for c in calls}), 10, path)
            for name, count, line in calls:
                with self.subTest(f"{path}:{line} {name}"):
                    self.assertIn(name, params)
                    self.assertEqual(count, len(params[name]), f"{path}:{line}")

    def test_the_checker_counts_arguments_as_written(self):
        cases = [
            ('r = sms.Login("a,b", "c""d")', "vb", [("Login", 2)]),
            ("sms.FTP_DisConnect\nx = 1", "vb", [("FTP_DisConnect", 0)]),
            ('Succeeded "x", sms.SmsSend("", A, B & "-s", "H", R, _\n   "m", 0, "")', "vb",
             [("SmsSend", 8)]),
            ('sms.Logout()', "cs", [("Logout", 0)]),
            ('sms.YaeyakDelete(Max(a, b))', "cs", [("YaeyakDelete", 1)]),
            ('sms.Login("a\\",b", f(x))', "cs", [("Login", 2)]),
        ]
        for text, language, want in cases:
            with self.subTest(text):
                self.assertEqual([c[:2] for c in calls_in(text, language)], want)


def interop_source():
    """C# declarations of the type library's interop assembly as tlbimp makes them (namespace
    TavikSmsDll: the interface _TavikSms, the coclass TavikSms and its class TavikSmsClass), from
    the method list and the IDL's GUIDs."""
    idl = IDL.read_text(encoding="utf-8")
    uuids = re.findall(r"uuid\(([0-9A-Fa-f-]{36})\)(?:(?!uuid\().)*?\b(library|interface|coclass)\s+(\w+)",
                       idl, re.S)
    guid = {name: u for u, _, name in uuids}
    params, heads = method_list()
    cs_type = {"text": "string", "int32": "int"}
    members = []
    for name, plist in params.items():
        dispid, result = heads[name]
        args = ", ".join(
            (f"[In, MarshalAs(UnmanagedType.BStr)] string {p}" if t == "text" else f"[In] int {p}")
            for t, p in plist)
        ret = "[return: MarshalAs(UnmanagedType.BStr)] " if result == "text" else ""
        members.append(f"        [DispId({dispid - (1 << 32) if dispid >= 1 << 31 else dispid})] "
                       f"{ret}{cs_type[result]} {name}({args});")
    body = "\n".join(members)
    impl = "\n".join(
        f"        public virtual extern {cs_type[heads[n][1]]} {n}("
        + ", ".join(f"{cs_type[t]} {p}" for t, p in plist) + ");"
        for n, plist in params.items())
    return f"""using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
namespace TavikSmsDll
{{
    [ComImport, Guid("{guid['_TavikSms']}"), InterfaceType(ComInterfaceType.InterfaceIsDual)]
    public interface _TavikSms
    {{
{body}
    }}
    [ComImport, Guid("{guid['_TavikSms']}"), CoClass(typeof(TavikSmsClass))]
    public interface TavikSms : _TavikSms {{ }}
    [ComImport, Guid("{guid['TavikSms']}"), ClassInterface(ClassInterfaceType.None)]
    public class TavikSmsClass : _TavikSms, TavikSms
    {{
{impl.replace("public virtual extern", "[MethodImpl(MethodImplOptions.InternalCall, MethodCodeType = MethodCodeType.Runtime)] public virtual extern")}
    }}
}}
"""


def compile_csharp():
    """Compiles both C# examples with mcs; exits 77 (skipped) where no C# compiler is installed."""
    mcs = shutil.which("mcs")
    if not mcs:
        print("SKIPPED: no C# compiler (mcs, Debian package mono-mcs) on this machine")
        return 77
    work = Path(tempfile.mkdtemp(prefix="taviksms-csharp-"))
    try:
        (work / "Interop.cs").write_text(interop_source(), encoding="utf-8")
        cs = EXAMPLES / "csharp"
        steps = [
            [mcs, "-nologo", "-warnaserror", "-target:library", "-out:" + str(work / "Interop.TavikSmsDll.dll"),
             str(work / "Interop.cs")],
            [mcs, "-nologo", "-warnaserror", "-r:Microsoft.CSharp", "-out:" + str(work / "ExampleDynamic.exe"),
             str(cs / "ExampleDynamic.cs"), str(cs / "ExportFile.cs")],
            [mcs, "-nologo", "-warnaserror", "-r:" + str(work / "Interop.TavikSmsDll.dll"),
             "-out:" + str(work / "ExampleInterop.exe"), str(cs / "ExampleInterop.cs"),
             str(cs / "ExportFile.cs")],
        ]
        for step in steps:
            r = subprocess.run(step, capture_output=True, text=True, timeout=120)
            print(" ".join(Path(a).name for a in step[:1] + step[-2:]), "->", r.returncode)
            if r.returncode != 0:
                print(r.stdout + r.stderr)
                return 1
        print("both C# examples compiled")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__" and sys.argv[1:] == ["csharp"]:
    sys.exit(compile_csharp())
