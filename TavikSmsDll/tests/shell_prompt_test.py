"""The taviksms prompt in a pseudo-terminal: keys in, screen out.

No service is needed: help, a mistyped name, exit/quit, Ctrl-C and Ctrl-D are the shell's own.
"""

import os
import pty
import select
import shutil
import signal
import tempfile
import time
import unittest

SHELL_EXE = os.environ.get("TAVIKSMS_SHELL_EXE", "taviksms")


class Prompt:
    # locale: the LC_ALL the shell starts with; None starts it with no locale variable at all.
    def __init__(self, history, locale="C.UTF-8"):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            for name in [n for n in os.environ if n == "LANG" or n.startswith("LC_")]:
                del os.environ[name]
            if locale:
                os.environ["LC_ALL"] = locale
            os.environ["TAVIKSMS_HISTORY"] = history
            os.environ["TAVIKSMS_MIRRORS"] = "http://127.0.0.1:9"  # a Login fails at once
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
        # libedit writes its prompt a moment before it puts the terminal in its own mode; a
        # control key (Ctrl-C, Ctrl-D) typed in between meets the terminal's line discipline
        # instead (an arrow key is then echoed as "^[[A"). A person never types that fast; the
        # test waits as long as one would.
        if b"\x03" in data or b"\x04" in data or b"\x1b" in data:
            time.sleep(0.3)
        os.write(self.fd, data)

    def wait(self, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return status
            # Drain what the shell writes, reading only when there is something: a read of a silent
            # terminal would wait past the deadline.
            try:
                ready, _, _ = select.select([self.fd], [], [], 0.05)
                if ready:
                    os.read(self.fd, 65536)
            except OSError:
                pass
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        raise AssertionError("the shell did not end")

    def close(self):
        if self.fd is None:
            return
        try:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        except OSError:
            pass
        os.close(self.fd)
        self.fd = None


UP = b"\x1b[A"
LEFT = b"\x1b[D"
BACKSPACE = b"\x7f"


class PromptInATerminal(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="taviksms-prompt-")
        self.history = os.path.join(self.dir, "state", "history")
        self.p = Prompt(self.history)
        self.p.read_until(b"taviksms> ")

    def tearDown(self):
        self.p.close()
        shutil.rmtree(self.dir, ignore_errors=True)

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
        # Ctrl-D on an empty line ends the session, normally; the mistyped name counts as a
        # failed line in the exit status, as it always has.
        p.keys(b"\x04")
        status = p.wait()
        self.assertTrue(os.WIFEXITED(status), status)
        self.assertEqual(os.WEXITSTATUS(status), 1)

    def test_ctrl_c_ends_a_wait_and_keeps_the_session(self):
        p = self.p
        p.keys(b".sleep 60\r")
        time.sleep(0.5)
        started = time.monotonic()
        p.keys(b"\x03")
        p.read_until(b"taviksms> ", 5)
        self.assertLess(time.monotonic() - started, 5)
        p.keys(b"Logout\r")
        self.assertIn(b"OK", p.read_until(b"taviksms> "))
        p.keys(b"quit\r")
        self.assertEqual(os.WEXITSTATUS(p.wait()), 0)

    def test_exit_and_quit_end_the_session(self):
        self.p.keys(b"exit\r")
        status = self.p.wait()
        self.assertTrue(os.WIFEXITED(status))
        self.assertEqual(os.WEXITSTATUS(status), 0)

    def test_bad_input_at_the_prompt(self):
        p = self.p
        # Bytes that are no UTF-8 and a NUL (Ctrl-@): whatever the editor made of them, Ctrl-C
        # abandons it and the session goes on.
        p.keys(b"\xff\xfe\x00\r")
        time.sleep(0.3)
        p.keys(b"\x03")
        p.read_until(b"taviksms> ")
        p.keys(b"Logout\r")
        self.assertIn(b"OK", p.read_until(b"taviksms> "))
        p.keys(b"help NoSuchThing\r")
        self.assertIn(b"NoSuchThing: no such method", p.read_until(b"taviksms> "))
        p.keys(b"quit\r")
        self.assertTrue(os.WIFEXITED(p.wait()))

    def test_history_is_kept_between_sessions(self):
        p = self.p
        p.keys(b"Logout\r")
        p.read_until(b"OK")
        p.read_until(b"taviksms> ")
        # The up arrow brings the line back, it is not typed as an escape sequence.
        p.keys(UP + b"\r")
        p.read_until(b"OK")
        p.read_until(b"taviksms> ")
        p.keys(b"exit\r")
        self.assertEqual(os.WEXITSTATUS(p.wait()), 0)
        with open(self.history, "rb") as f:
            self.assertIn(b"Logout", f.read())
        again = Prompt(self.history)
        try:
            again.read_until(b"taviksms> ")
            again.keys(UP + UP)  # "exit", then "Logout" (a repeated line is kept once)
            again.read_until(b"Logout")
            again.keys(b"\x15quit\r")  # Ctrl-U empties the line first
            self.assertEqual(os.WEXITSTATUS(again.wait()), 0)
        finally:
            again.close()

    def test_passwords_stay_out_of_the_history_file(self):
        # A file from a version that kept them is cleaned too.
        self.p.close()
        os.makedirs(os.path.dirname(self.history), exist_ok=True)
        with open(self.history, "w") as f:
            f.write("_HiStOrY_V2_\nLogin\\040demo\\040s3cretOld\nSmsJanek\n")
        p = self.p = Prompt(self.history)
        p.read_until(b"taviksms> ")
        for line in [b"Login demo s3cretA", b"  login \"demo\" \"s3cretB\"", b"ADDMEMBER x s3cretC",
                     b'Login demo "s3cretD', b"Logout"]:
            p.keys(line + b"\r")
            p.read_until(b"taviksms> ")
        # During the session the Login line can be recalled like any other.
        p.keys(UP + UP)
        p.read_until(b"s3cretD")
        p.keys(b"\x15quit\r")
        self.assertTrue(os.WIFEXITED(p.wait()))
        with open(self.history, "rb") as f:
            saved = f.read()
        self.assertNotIn(b"s3cret", saved)
        self.assertIn(b"SmsJanek", saved)
        self.assertIn(b"Logout", saved)

    def test_a_history_file_that_is_a_folder_only_costs_the_history(self):
        self.p.close()
        folder = os.path.join(self.dir, "folder")
        os.makedirs(folder)
        p = self.p = Prompt(folder)
        p.read_until(b"history not kept")
        p.read_until(b"taviksms> ")
        p.keys(b"Logout\r")
        p.read_until(b"OK")
        # Ctrl-D at the prompt, as a person types it (before the prompt it may meet the terminal
        # between two lines, in its own line mode).
        p.read_until(b"taviksms> ")
        p.keys(b"\x04")
        self.assertEqual(os.WEXITSTATUS(p.wait()), 0)
        self.assertTrue(os.path.isdir(folder))

    def test_any_utf8_text_is_taken_shown_edited_by_character_and_kept(self):
        # Korean, an emoji (four bytes, two columns) and a combining mark (no column of its own),
        # under a UTF-8 locale, a Korean one and none at all: the prompt reads UTF-8 whatever the
        # environment names. "help NAME" answers with the name exactly as it arrived.
        self.p.close()
        typed = "홍길동 😀 e\u0301 안녕하세요"
        for n, locale in enumerate(["C.UTF-8", "ko_KR.UTF-8", None]):
            with self.subTest(locale=locale):
                history = os.path.join(self.dir, "history-%d" % n)
                p = self.p = Prompt(history, locale)
                p.read_until(b"taviksms> ")
                p.keys(('help "' + typed + '"').encode())
                p.read_until("안녕하세요".encode())  # shown as typed
                p.keys(b"\r")
                self.assertIn(("help: " + typed + ": no such method").encode(),
                              p.read_until(b"taviksms> "))
                # By character: Left steps over a whole syllable or emoji, Backspace removes one.
                p.keys("help 가😀나".encode() + LEFT + BACKSPACE + b"\r")
                self.assertIn("help: 가나: no such method".encode(), p.read_until(b"taviksms> "))
                p.keys("help e\u0301x".encode() + LEFT + BACKSPACE + b"\r")
                self.assertIn("help: ex: no such method".encode(), p.read_until(b"taviksms> "))
                p.keys(b"quit\r")
                p.wait()
                p.close()
                again = self.p = Prompt(history, locale)
                again.read_until(b"taviksms> ")
                again.keys(UP * 4 + b"\r")  # quit, the two edited lines, then this one
                self.assertIn(("help: " + typed + ": no such method").encode(),
                              again.read_until(b"taviksms> "))
                again.keys(b"quit\r")
                again.wait()
                again.close()

    def test_a_long_line_at_the_prompt(self):
        p = self.p
        p.keys(b"A" * 5000 + b"\r")
        p.read_until(b"Unknown name", 30)
        p.read_until(b"taviksms> ")
        p.keys(b"quit\r")
        self.assertTrue(os.WIFEXITED(p.wait()))


if __name__ == "__main__":
    unittest.main()
