"""The taviksms prompt in a pseudo-terminal: keys in, screen out.

No service is needed: help, a mistyped name, exit/quit, Ctrl-C and Ctrl-D are the shell's own.
"""

import os
import pty
import select
import signal
import time
import unittest

SHELL_EXE = os.environ.get("TAVIKSMS_SHELL_EXE", "taviksms")


class Prompt:
    def __init__(self):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["LC_ALL"] = "C.UTF-8"
            os.execv(SHELL_EXE, [SHELL_EXE])
        self.screen = b""

    def read_until(self, wanted, seconds=10):
        deadline = time.monotonic() + seconds
        while wanted not in self.screen:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("%r not shown; screen: %r" % (wanted, self.screen[-2000:]))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("the shell ended; screen: %r" % self.screen[-2000:])
                self.screen += chunk
        at = self.screen.index(wanted) + len(wanted)
        shown, self.screen = self.screen[:at], self.screen[at:]
        return shown

    def keys(self, data):
        os.write(self.fd, data)

    def wait(self, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return status
            try:
                select.select([self.fd], [], [], 0.05)
                os.read(self.fd, 65536)
            except OSError:
                pass
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        raise AssertionError("the shell did not end")

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        except OSError:
            pass
        os.close(self.fd)


class PromptInATerminal(unittest.TestCase):
    def setUp(self):
        self.p = Prompt()
        self.p.read_until(b"taviksms> ")

    def tearDown(self):
        self.p.close()

    def test_help_typo_ctrl_c_and_ctrl_d(self):
        p = self.p
        p.keys(b"help smsjanek\r")
        self.assertIn(b"SmsJanek  -> int32", p.read_until(b"taviksms> "))
        p.keys(b"SmsJanke\r")
        self.assertIn(b"did you mean SmsJanek?", p.read_until(b"taviksms> "))
        # Ctrl-C drops the half-typed line and the session goes on.
        p.keys(b"Logout extra")
        time.sleep(0.2)
        p.keys(b"\x03")
        p.read_until(b"taviksms> ")
        p.keys(b"Logout\r")
        self.assertIn(b"OK", p.read_until(b"taviksms> "))
        # Ctrl-D on an empty line ends the session, normally.
        p.keys(b"\x04")
        status = p.wait()
        self.assertTrue(os.WIFEXITED(status), status)
        self.assertEqual(os.WEXITSTATUS(status), 0)

    def test_exit_and_quit_end_the_session(self):
        self.p.keys(b"exit\r")
        status = self.p.wait()
        self.assertTrue(os.WIFEXITED(status))
        self.assertEqual(os.WEXITSTATUS(status), 0)

    def test_bad_input_at_the_prompt(self):
        p = self.p
        # Invalid UTF-8 and a NUL byte reach the method table as an unknown name.
        p.keys(b"\xff\xfe\r")
        self.assertIn(b"Unknown name", p.read_until(b"taviksms> "))
        p.keys(b"help NoSuchThing\r")
        self.assertIn(b"no such method", p.read_until(b"taviksms> "))
        p.keys(b"quit\r")
        self.assertEqual(os.WEXITSTATUS(p.wait()), 0)


if __name__ == "__main__":
    unittest.main()
