"""Starts a taviksms-sandbox on ephemeral ports for client tests and talks to its control port."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.request

SANDBOX_EXE = os.environ.get("TAVIKSMS_SANDBOX_EXE", "taviksms-sandbox")
# The Windows sandbox, run under Wine by sandbox/tests/wine/sandbox-under-wine.
UNDER_WINE = bool(os.environ.get("TAVIKSMS_SANDBOX_WINE_EXE"))
DB_USER = "sms_app"
DB_PASSWORD = "tavik2024db"


class Sandbox:
    """A taviksms-sandbox child: every port ephemeral, or with ephemeral=False the ports that
    extra_args name. Its ports by service ("database", "control", ...) are in self.ports."""

    def __init__(self, *extra_args, ephemeral=True, prefix="taviksms-clients-"):
        self.data_dir = tempfile.mkdtemp(prefix=prefix)
        self.proc = subprocess.Popen(
            [SANDBOX_EXE, *(["--ephemeral"] if ephemeral else []), "--data", self.data_dir,
             *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.ports = {}
        deadline = time.monotonic() + 10
        lines = []
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            lines.append(line.rstrip("\n"))
            if line.strip() == "ready":
                break
            m = re.search(r"^(\w+) \S*?127\.0\.0\.1:(\d+)", line)
            if m:
                self.ports[m.group(1)] = int(m.group(2))
        if "database" not in self.ports or "control" not in self.ports or lines[-1:] != ["ready"]:
            self.stop()
            raise RuntimeError("sandbox did not start: %r" % lines)
        self.base = "http://127.0.0.1:%d" % self.ports["control"]

    @property
    def pid(self):
        """The sandbox's own process: under Wine the wrapper's child (the Windows program)."""
        if not UNDER_WINE:
            return self.proc.pid
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            return int(f.read().split()[0])

    @property
    def tds_port(self):
        return self.ports["database"]

    def control(self, method, path, body=None):
        url = "http://127.0.0.1:%d%s" % (self.ports["control"], path)
        data = body.encode() if isinstance(body, str) else body
        req = urllib.request.Request(url, data=data, method=method)
        with urllib.request.urlopen(req, timeout=10) as resp:
            text = resp.read().decode()
        return json.loads(text) if text else None

    def calls(self, proc=None):
        path = "/calls" + ("?proc=" + proc if proc else "")
        return self.control("GET", path)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            if stream:
                stream.close()
        shutil.rmtree(self.data_dir, ignore_errors=True)
        return self.proc.returncode


class SandboxTestCase(unittest.TestCase):
    """A test class with a sandbox of its own (self.sandbox), started with `sandbox_args`."""

    sandbox_args = ()

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox(*cls.sandbox_args)

    @classmethod
    def tearDownClass(cls):
        cls.sandbox.stop()
