"""The database's encryption as SQL Server offers it, and the latency the sandbox adds, seen by
clients: FreeTDS's own (tsql, its ODBC driver through pyodbc, pymssql) and a raw TDS client
whose TLS (Python's ssl over memory buffers) travels inside PRELOGIN packets, so that it can
also misbehave."""

import os
import socket
import ssl
import struct
import subprocess
import tempfile
import time
import unittest

import pymssql
import pyodbc

from sandbox_harness import DB_PASSWORD, DB_USER, SANDBOX_EXE, Sandbox

OFF, ON, NOT_SUP, REQ = 0, 1, 2, 3
PRELOGIN, LOGIN7, SQL_BATCH, REPLY = 0x12, 0x10, 0x01, 0x04


def packets(kind, payload, size=4096):
    """A message as TDS packets (the last one flagged end of message)."""
    out, chunk = b"", size - 8
    parts = [payload[i:i + chunk] for i in range(0, len(payload), chunk)] or [b""]
    for n, part in enumerate(parts):
        last = n == len(parts) - 1
        out += struct.pack(">BBHHBB", kind, 1 if last else 0, len(part) + 8, 0, n + 1, 0) + part
    return out


def prelogin(encryption):
    """VERSION and ENCRYPTION options."""
    return bytes([0, 0, 11, 0, 6, 1, 0, 17, 0, 1, 0xFF, 15, 0, 0, 0, 0, 0, encryption])


def login7(user=DB_USER, password=DB_PASSWORD, database="sms"):
    def ucs2(s):
        return s.encode("utf-16-le")

    def scrambled(s):
        return bytes(((b << 4 | b >> 4) & 0xFF) ^ 0xA5 for b in ucs2(s))

    fields = [ucs2("host"), ucs2(user), scrambled(password), ucs2("raw-tls"), ucs2("127.0.0.1"),
              b"", ucs2("raw"), b"", ucs2(database)]
    offset, table, data = 94, b"", b""
    for f in fields:
        table += struct.pack("<HH", offset, len(f) // 2)
        offset += len(f)
        data += f
    fixed = struct.pack("<IIIIII", 0, 0x74000004, 4096, 7, 1, 0) + bytes([0xE0, 3, 0, 0])
    fixed += struct.pack("<II", 0, 0x409) + table + bytes(6) + bytes(8) + struct.pack("<HHI", 0, 0, 0)
    body = fixed + data
    return struct.pack("<I", len(body)) + body[4:]


def sql_batch(text):
    return struct.pack("<IIHQI", 22, 18, 2, 0, 1) + text.encode("utf-16-le")


def encryption_answer(reply):
    """The ENCRYPTION option of a PRELOGIN answer."""
    pos = 0
    while reply[pos] != 0xFF:
        token, offset, length = struct.unpack(">BHH", reply[pos:pos + 5])
        if token == 1:
            return reply[offset]
        pos += 5
    return None


class RawClient:
    """One TDS connection, spoken by hand. After tls(), messages go through TLS."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.tls_obj = None
        self.buffer = b""

    def send(self, kind, payload):
        data = packets(kind, payload)
        if self.tls_obj:
            self.tls_obj.write(data)
            data = self.outgoing.read()
        self.sock.sendall(data)

    def _recv(self, n):
        while len(self.buffer) < n:
            if self.tls_obj:
                try:
                    chunk = self.tls_obj.read(65536)
                except ssl.SSLWantReadError:
                    raw = self.sock.recv(65536)
                    if not raw:
                        raise ConnectionError("closed")
                    self.incoming.write(raw)
                    continue
            else:
                chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def read_message(self):
        """(type, payload) of the next whole message; ConnectionError when the server closes."""
        payload, kind = b"", None
        while True:
            kind, status, length = struct.unpack(">BBH", self._recv(4))
            self._recv(4)
            payload += self._recv(length - 8)
            if status & 1:
                return kind, payload

    def request(self, kind, payload):
        self.send(kind, payload)
        return self.read_message()

    def tls(self, maximum=ssl.TLSVersion.TLSv1_2, stop_after_hello=False):
        """The TLS handshake inside PRELOGIN packets; returns the version agreed."""
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ctx.maximum_version = maximum
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = ctx.wrap_bio(self.incoming, self.outgoing)
        while True:
            try:
                obj.do_handshake()
                done = True
            except ssl.SSLWantReadError:
                done = False
            flight = self.outgoing.read()
            if flight:
                self.sock.sendall(packets(PRELOGIN, flight))
            if done:
                break
            if stop_after_hello:
                return None
            kind, answer = self.read_message()
            self.incoming.write(answer)
        self.tls_obj = obj
        return obj.version()

    def drop_tls(self):
        self.tls_obj = None

    def closed_by_server(self, within=10):
        """True when the server ends the connection within `within` seconds (what it sends
        before, a TLS alert say, is skipped)."""
        deadline = time.monotonic() + within
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                if self.sock.recv(65536) == b"":
                    return True
            except socket.timeout:
                return False
            except OSError:  # a reset counts as closed
                return True
        return False

    def close(self):
        self.sock.close()


def logged_in(reply):
    """A login answer that starts with no ERROR token and ends with a plain DONE."""
    return reply[0] != 0xAA and reply[-13] == 0xFD and reply[-12] == 0


def connection_entry(sandbox, number=None):
    conns = sandbox.control("GET", "/connections")["connections"]
    return conns[-1] if number is None else next(c for c in conns if c["number"] == number)


class Sandboxes:
    """One sandbox per encryption setting, shared by the tests of this module."""
    started = {}

    @classmethod
    def get(cls, setting, *extra):
        key = (setting,) + extra
        if key not in cls.started:
            cls.started[key] = Sandbox("--tds-encryption", setting, "--tds-login-timeout", "3",
                                       *extra)
        return cls.started[key]


def tearDownModule():
    for sb in Sandboxes.started.values():
        sb.stop()


class NegotiationTest(unittest.TestCase):
    def test_prelogin_answers(self):
        # (server setting, client's ENCRYPTION) -> the answer, or None when the server closes.
        table = {
            ("off", OFF): NOT_SUP, ("off", ON): NOT_SUP, ("off", NOT_SUP): NOT_SUP,
            ("off", REQ): None,
            ("offered", OFF): OFF, ("offered", ON): ON, ("offered", NOT_SUP): NOT_SUP,
            ("offered", REQ): ON,
            ("required", OFF): REQ, ("required", ON): ON, ("required", NOT_SUP): REQ,
            ("required", REQ): ON,
            ("offered", 0x42): None,
        }
        for (setting, client), answer in table.items():
            with self.subTest(setting=setting, client=client):
                c = RawClient(Sandboxes.get(setting).tds_port)
                c.send(PRELOGIN, prelogin(client))
                if answer is None:
                    self.assertRaises(ConnectionError, c.read_message)
                else:
                    kind, reply = c.read_message()
                    self.assertEqual((kind, encryption_answer(reply)), (REPLY, answer))
                c.close()

    def test_login_encrypted_as_agreed(self):
        # (setting, client's ENCRYPTION, newest TLS the client offers, sandbox arguments) ->
        # what /connections shows.
        cases = [
            ("offered", OFF, ssl.TLSVersion.TLSv1_2, (), "login", "TLSv1.2"),
            ("offered", ON, ssl.TLSVersion.TLSv1_3, (), "session", "TLSv1.2"),
            ("required", NOT_SUP, ssl.TLSVersion.TLSv1_2, (), "session", "TLSv1.2"),
            ("offered", OFF, ssl.TLSVersion.TLSv1_3, ("--tds-tls-max", "1.3"), "login", "TLSv1.3"),
            ("required", ON, ssl.TLSVersion.TLSv1_3, ("--tds-tls-max", "1.3"), "session",
             "TLSv1.3"),
            ("offered", NOT_SUP, None, (), "none", None),
        ]
        for setting, client, maximum, extra, encryption, version in cases:
            with self.subTest(setting=setting, client=client, extra=extra):
                sb = Sandboxes.get(setting, *extra)
                c = RawClient(sb.tds_port)
                c.request(PRELOGIN, prelogin(client))
                agreed = c.tls(maximum) if maximum else None
                self.assertEqual(agreed, version)
                c.send(LOGIN7, login7())
                if encryption == "login":
                    c.drop_tls()  # the answer and the rest go in clear, as agreed
                kind, reply = c.read_message()
                self.assertTrue(logged_in(reply), reply)
                kind, reply = c.request(SQL_BATCH, sql_batch("SELECT 1"))
                self.assertEqual(kind, REPLY)
                entry = connection_entry(sb)
                self.assertEqual((entry["encryption"], entry["tls"], entry["state"]),
                                 (encryption, version, "logged-in"))
                c.close()


class BadInputTest(unittest.TestCase):
    """Clients that break the agreement lose their connection; the sandbox and its other clients
    go on."""

    def test_broken_agreements_close_the_connection(self):
        def hello_then_silence(c):
            c.tls(stop_after_hello=True)

        def garbage_in_prelogin(c):
            c.sock.sendall(packets(PRELOGIN, b"\x16\x03\x01\x00\x05hello" + os.urandom(200)))

        def login_in_clear(c):
            c.send(LOGIN7, login7())

        def login_in_clear_after_handshake(c):
            c.tls()
            c.drop_tls()
            c.send(LOGIN7, login7())

        def batch_instead_of_login(c):
            c.tls()
            c.send(SQL_BATCH, sql_batch("SELECT 1"))

        # (setting, client's ENCRYPTION, what the client does, why /connections says it closed)
        cases = [
            ("offered", OFF, hello_then_silence, "the TLS handshake did not go on"),
            ("offered", OFF, garbage_in_prelogin, "TLS handshake failed"),
            ("offered", OFF, login_in_clear, "a login in clear after agreeing to encrypt"),
            ("required", NOT_SUP, login_in_clear, "a login in clear after agreeing to encrypt"),
            ("offered", ON, login_in_clear_after_handshake, "not a TLS record"),
            ("offered", OFF, batch_instead_of_login, "a message other than the login"),
        ]
        for setting, client, misbehave, why in cases:
            with self.subTest(setting=setting, misbehave=misbehave.__name__):
                sb = Sandboxes.get(setting)
                # A well-behaved client logged in before, and one after, are served.
                before = pymssql_connect(sb)
                c = RawClient(sb.tds_port)
                c.request(PRELOGIN, prelogin(client))
                misbehave(c)
                self.assertTrue(c.closed_by_server(within=10))
                c.close()
                entry = connection_entry(sb)
                self.assertFalse(entry["open"])
                self.assertIn(why, entry.get("closed_because", ""))
                for conn in (before, pymssql_connect(sb)):
                    cur = conn.cursor()
                    cur.execute("SELECT dbo.f_login(%s, %s)", ("demo", "demo1234"))
                    self.assertEqual(cur.fetchone()[0], "")
                    conn.close()

    def test_refused_start_up_options(self):
        with tempfile.TemporaryDirectory() as d:
            unreadable = os.path.join(d, "cert.pem")
            with open(unreadable, "w") as f:
                f.write("not a certificate\n")
            for args, message in [
                (("--tds-certificate", os.path.join(d, "missing.pem")),
                 "cannot read the TLS certificate"),
                (("--tds-certificate", unreadable), "cannot read the TLS certificate"),
                (("--latency", "60001"), "a latency over 60 s"),
                (("--latency", "database=70000"), "a latency over 60 s"),
                (("--latency", "disk=5"), "expected MS or database=MS"),
                (("--tds-encryption", "maybe"), "expected off, offered or required"),
            ]:
                with self.subTest(args=args):
                    r = subprocess.run([SANDBOX_EXE, "--ephemeral", "--data", d, *args],
                                       capture_output=True, text=True, timeout=20)
                    self.assertEqual(r.returncode, 1)
                    self.assertIn(message, r.stderr)
                    self.assertEqual(r.stderr.count("\n"), 1, r.stderr)

    def test_given_certificate_is_used(self):
        with tempfile.TemporaryDirectory() as d:
            pem = os.path.join(d, "server.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj",
                            "/CN=given-for-tests", "-keyout", pem, "-out", pem],
                           check=True, capture_output=True, timeout=30)
            sb = Sandbox("--tds-certificate", pem)
            try:
                self.assertIn("CN=given-for-tests", sb.control("GET", "/state")["tds"]["certificate"])
                out = tsql(sb.tds_port, "SELECT 1\ngo\nexit\n")
                self.assertIn("1", out)
                self.assertEqual(connection_entry(sb)["encryption"], "login")
            finally:
                sb.stop()


def tsql(port, script, conf=None):
    env = {"TDSVER": "7.4", "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    if conf:
        env["FREETDSCONF"] = conf
    r = subprocess.run(["tsql", "-H", "127.0.0.1", "-p", str(port), "-U", DB_USER, "-P",
                        DB_PASSWORD, "-D", "sms", "-o", "q"],
                       input=script, capture_output=True, text=True, timeout=60, env=env)
    return r.stdout + r.stderr


def pymssql_connect(sb):
    return pymssql.connect(server="127.0.0.1", port=sb.tds_port, user=DB_USER,
                           password=DB_PASSWORD, database="sms", tds_version="7.3",
                           login_timeout=10, autocommit=True)


def pyodbc_connect(sb, extra=""):
    return pyodbc.connect(
        "Driver={FreeTDS};Server=127.0.0.1;Port=%d;Database=sms;UID=%s;PWD=%s;"
        "TDS_Version=7.4;ClientCharset=UTF-8;%s" % (sb.tds_port, DB_USER, DB_PASSWORD, extra),
        autocommit=True, timeout=10)


class FreeTdsClientsTest(unittest.TestCase):
    """FreeTDS (GnuTLS) as Debian builds it, in each mode: its default asks for nothing and
    takes what the server offers (the login encrypted); asked to, it encrypts the session."""

    def test_each_client_in_each_mode(self):
        def via_tsql(sb):
            return "demo" in tsql(sb.tds_port, "exec sp_ibgum_data 'demo'\ngo\nexit\n")

        def via_pyodbc(sb, extra=""):
            cur = pyodbc_connect(sb, extra).cursor()
            return cur.execute("SELECT dbo.f_login(?, ?)", "demo", "demo1234").fetchone()[0] == ""

        def via_pyodbc_encrypting(sb):
            return via_pyodbc(sb, "Encryption=require")

        def via_pymssql(sb):
            cur = pymssql_connect(sb).cursor()
            cur.execute("SELECT dbo.f_login(%s, %s)", ("demo", "demo1234"))
            return cur.fetchone()[0] == ""

        # (setting, client) -> the encryption /connections shows for its connection.
        expected = {
            "off": {via_tsql: "none", via_pyodbc: "none", via_pymssql: "none"},
            "offered": {via_tsql: "login", via_pyodbc: "login", via_pymssql: "login",
                        via_pyodbc_encrypting: "session"},
            "required": {via_tsql: "session", via_pyodbc: "session", via_pymssql: "session",
                         via_pyodbc_encrypting: "session"},
        }
        for setting, clients in expected.items():
            sb = Sandboxes.get(setting)
            for client, encryption in clients.items():
                with self.subTest(setting=setting, client=client.__name__):
                    self.assertTrue(client(sb))
                    seen = {c["encryption"] for c in
                            sb.control("GET", "/connections")["connections"][-1:]}
                    self.assertEqual(seen, {encryption})

    def test_tls13_inside_prelogin_fails_freetds(self):
        # FreeTDS 1.3 leaves its last TLS 1.3 handshake message in the buffer of the login
        # packet; SQL Server never agrees to TLS 1.3 here, a server that did would see this.
        sb = Sandboxes.get("offered", "--tds-tls-max", "1.3")
        out = tsql(sb.tds_port, "SELECT 1\ngo\nexit\n")
        self.assertIn("Adaptive Server connection failed", out)
        self.assertIn("before the client finished the handshake",
                      connection_entry(sb)["closed_because"])


class LatencyTest(unittest.TestCase):
    """Each answer waits for the latency: every round trip costs it (a lower bound only; how
    long things take on a loaded machine is the benchmark's business)."""

    def test_every_answer_waits(self):
        sb = Sandbox("--latency", "database=150,mirrors=150,sftp=0")
        try:
            self.assertEqual(sb.control("GET", "/latency"),
                             {"database": 150, "mirrors": 150, "sftp": 0})
            started = time.monotonic()
            conn = pymssql_connect(sb)
            cur = conn.cursor()
            for _ in range(3):
                cur.execute("SELECT dbo.f_login(%s, %s)", ("demo", "demo1234"))
                cur.fetchone()
            elapsed = time.monotonic() - started
            trips = connection_entry(sb)["round_trips"]["total"]
            self.assertGreaterEqual(trips, 3 + 4)  # three calls; PRELOGIN, TLS, login
            self.assertGreaterEqual(elapsed, trips * 0.150 - 0.005)
            conn.close()

            started = time.monotonic()
            urllib_get("http://127.0.0.1:%d/uini/ip1.ini" % sb.ports["mirror1"])
            self.assertGreaterEqual(time.monotonic() - started, 0.145)

            # SFTP: the key exchange, the login and each request wait too.
            sb.control("POST", "/latency?sftp=100", body="")
            started = time.monotonic()
            r = subprocess.run(
                ["sshpass", "-p", "tavik2024ftp", "sftp", "-q", "-o", "BatchMode=no", "-b", "-", "-P",
                 str(sb.ports["sftp"]), "-o", "StrictHostKeyChecking=no", "-o",
                 "UserKnownHostsFile=/dev/null", "smsftp@127.0.0.1"],
                input="put %s late.jpg\n" % os.path.abspath(__file__), capture_output=True,
                text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertGreaterEqual(time.monotonic() - started, 8 * 0.100)
            self.assertIn("late.jpg", [f["name"] for f in sb.control("GET", "/uploads")["files"]])

            self.assertEqual(sb.control("POST", "/latency?ms=0", body=""),
                             {"database": 0, "mirrors": 0, "sftp": 0})
            self.assertEqual(sb.control("POST", "/latency?sftp=20&database=5", body="")["sftp"], 20)
            for bad in ("ms=60001", "database=-1", "disk=3", ""):
                with self.subTest(bad=bad):
                    with self.assertRaises(Exception) as ctx:
                        sb.control("POST", "/latency?" + bad, body="")
                    self.assertEqual(getattr(ctx.exception, "code", None), 400)
        finally:
            sb.stop()


def urllib_get(url):
    import urllib.request
    with urllib.request.urlopen(url, timeout=10) as r:
        return r.read()


if __name__ == "__main__":
    unittest.main()
