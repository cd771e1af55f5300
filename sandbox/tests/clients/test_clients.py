"""The sandbox's database, proven with clients nobody here wrote: FreeTDS tsql, the FreeTDS ODBC
driver through unixODBC (pyodbc), and pymssql (FreeTDS db-lib underneath)."""

import datetime
import decimal
import subprocess
import unittest

import pymssql
import pyodbc

from sandbox_harness import DB_PASSWORD, DB_USER, SandboxTestCase

SMS_SEND_PARAMS = ["@user_id", "@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam", "@Custom_tel",
                   "@msg", "@typ", "@n_code", "@YK_Time"]
EXPORT_COLUMNS = ["id", "User_ID", "SUB_ID", "user_tel", "Custom_tel", "Custom_id", "Custom_nam",
                  "msg", "result_code", "Result_Msg", "typ", "kun2", "fee2", "i_time", "s_time"]


def pymssql_error_text(exc):
    """pymssql carries the server's message as UTF-8 bytes in the exception's arguments."""
    return " ".join(a.decode("utf-8", "replace") if isinstance(a, bytes) else str(a)
                    for a in exc.args)


def tsql(port, script, password=DB_PASSWORD):
    """Runs tsql with a script on stdin; returns its combined output."""
    result = subprocess.run(
        ["tsql", "-H", "127.0.0.1", "-p", str(port), "-U", DB_USER, "-P", password, "-D", "sms",
         "-o", "q"],
        input=script, capture_output=True, text=True, timeout=60,
        env={"TDSVER": "7.4", "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"})
    return result.stdout + result.stderr


class TsqlTest(SandboxTestCase):
    def test_exec_procedures_and_functions(self):
        out = tsql(self.sandbox.tds_port,
                   "select dbo.f_login('demo', 'demo1234')\ngo\n"
                   "select dbo.f_login('demo', 'wrong')\ngo\n"
                   "exec sp_ibgum_data 'demo'\ngo\n"
                   "exec sp_YaeyakData @user_id = N'demo'\ngo\n"
                   "exit\n")
        self.assertIn("비밀번호가 일치하지 않습니다.", out)
        self.assertIn("User_ID\tkunsu\tibgum\tIbgum_date\tibgum_memo", out)
        self.assertIn("\t".join(EXPORT_COLUMNS), out)

    def test_wrong_login_gets_sql_server_text(self):
        out = tsql(self.sandbox.tds_port, "exit\n", password="nope")
        self.assertIn("Login failed for user 'sms_app'.", out)

    def test_unknown_procedure_and_parameter(self):
        out = tsql(self.sandbox.tds_port,
                   "exec sp_nothing 'x'\ngo\nexec sp_ibgum_data @nope = 'x'\ngo\nexit\n")
        self.assertIn("Could not find stored procedure 'sp_nothing'.", out)
        self.assertIn("@nope is not a parameter for procedure sp_ibgum_data.", out)

    def test_acknowledgement_statement_runs_for_real(self):
        before = {r["id"]: r for r in self.sandbox.control("GET", "/results")}
        target = next(i for i, r in before.items() if not r["reply"])
        tsql(self.sandbox.tds_port,
             "update sms_result set reply = 1 where id = %d ;\ngo\nexit\n" % target)
        after = {r["id"]: r for r in self.sandbox.control("GET", "/results")}
        self.assertTrue(after[target]["reply"])


class OdbcTest(SandboxTestCase):
    """FreeTDS ODBC: parameters by position, functions through SELECT, metadata via
    sp_sproc_columns, errors with the driver's prefixes."""

    def connect(self, password=DB_PASSWORD):
        return pyodbc.connect(
            "Driver={FreeTDS};Server=127.0.0.1;Port=%d;Database=sms;UID=%s;PWD=%s;"
            "TDS_Version=7.4;ClientCharset=UTF-8" % (self.sandbox.tds_port, DB_USER, password),
            autocommit=True, timeout=10)

    def test_procedure_columns_describe_sp_sms_send(self):
        cur = self.connect().cursor()
        rows = cur.procedureColumns(procedure="sp_sms_send").fetchall()
        names = [r.column_name for r in rows]
        self.assertEqual(names, ["@RETURN_VALUE"] + SMS_SEND_PARAMS)
        self.assertTrue(all(r.procedure_name == "sp_sms_send;1" for r in rows))
        self.assertEqual([r.column_type for r in rows], [5] + [1] * 10)
        typ = rows[8]
        self.assertEqual(typ.data_type, 4)  # SQL_INTEGER
        fn = cur.procedureColumns(procedure="f_login").fetchall()
        self.assertEqual(fn[0].procedure_name, "f_login;0")

    def test_function_through_select_and_rows(self):
        cur = self.connect().cursor()
        self.assertEqual(cur.execute("SELECT dbo.f_login(?, ?)", "demo", "demo1234").fetchone()[0], "")
        self.assertEqual(cur.execute("SELECT dbo.f_login(?, ?)", "nobody", "x").fetchone()[0],
                         "등록되지 않은 아이디입니다.")
        balance = cur.execute("SELECT dbo.f_sms_janek(?)", "demo").fetchone()[0]
        self.assertIsInstance(balance, decimal.Decimal)
        rows = cur.execute("{call sp_result_data2(?, ?, ?)}", "demo", "2024-03-01 00:00",
                           "2024-03-31 23:59").fetchall()
        self.assertEqual([d[0] for d in cur.description], EXPORT_COLUMNS)
        self.assertGreater(len(rows), 2)
        self.assertTrue(any(r.Custom_nam is None for r in rows))
        self.assertTrue(any(r.s_time is None for r in rows))
        self.assertTrue(any("\n" in (r.msg or "") and "\t" in (r.msg or "") for r in rows))
        self.assertTrue(all(isinstance(r.i_time, datetime.datetime) for r in rows))

    def test_send_by_position_is_stored_exactly(self):
        cur = self.connect().cursor()
        self.sandbox.control("DELETE", "/calls")
        msg = "안녕하세요\r\n" + "x" * 5000
        # pyodbc cannot ask FreeTDS for parameter sizes and binds text as nvarchar(4000) unless
        # told otherwise; a long text goes as SQL_WLONGVARCHAR (nvarchar(max) on the wire).
        cur.setinputsizes([None] * 6 + [(pyodbc.SQL_WLONGVARCHAR, 0, 0)] + [None] * 3)
        cur.execute("{call sp_sms_send(?,?,?,?,?,?,?,?,?,?)}", "demo", "sub01", "0212345678",
                    "cust-1", "홍길동", "010-1234-5678", msg, 0, "", "")
        while cur.nextset():
            pass
        calls = self.sandbox.calls("sp_sms_send")
        self.assertEqual(len(calls), 1)
        params = {p["name"]: p for p in calls[0]["params"]}
        self.assertEqual(params["@msg"]["text"], msg)
        self.assertEqual(params["@Custom_nam"]["text"], "홍길동")
        self.assertEqual(params["@typ"]["value"], 0)

    def test_errors_carry_server_text(self):
        cur = self.connect().cursor()
        with self.assertRaises(pyodbc.Error) as ctx:
            cur.execute("{call sp_sms_send(?,?,?,?,?,?,?,?,?,?)}", "poor", "", "", "", "",
                        "0108888 1234", "m", 0, "", "")
        self.assertIn("수신거부 번호입니다.", str(ctx.exception))
        with self.assertRaises(pyodbc.Error) as ctx:
            cur.execute("{call sp_nowhere(?)}", "x")
        self.assertIn("[SQL Server]Could not find stored procedure 'sp_nowhere'.", str(ctx.exception))

    def test_wrong_password(self):
        with self.assertRaises(pyodbc.Error) as ctx:
            self.connect(password="bad")
        self.assertIn("Login failed for user 'sms_app'.", str(ctx.exception))


class PymssqlTest(SandboxTestCase):
    def connect(self, password=DB_PASSWORD):
        return pymssql.connect(server="127.0.0.1", port=self.sandbox.tds_port, user=DB_USER,
                               password=password, database="sms", tds_version="7.3",
                               login_timeout=10, autocommit=True)

    def test_every_procedure(self):
        conn = self.connect()
        cur = conn.cursor(as_dict=True)
        cur.execute("SELECT dbo.f_sms_janek(%s) AS b", ("demo",))
        start = cur.fetchone()["b"]
        cur.callproc("sp_sms_send", ("demo", "sub01", "0212345678", "c1", "이름", "01055501234",
                                     "문자", 0, "", ""))
        cur.callproc("sp_lms_send", ("demo", "sub02", "0212345678", "c2", "name", "01012345679",
                                     "제목", "long text", ""))
        cur.callproc("sp_mms_send", ("demo", "sub01", "0212345678", "c3", "name", "01012345670",
                                     "subject", "body", "demo_a.jpg", "", "", "2030-05-05 10:00"))
        cur.execute("SELECT dbo.f_sms_janek(%s) AS b", ("demo",))
        self.assertEqual(start - cur.fetchone()["b"], 20 + 50 + 200)

        cur.callproc("sp_YaeyakData", ("demo",))
        reserved = cur.fetchall()
        mms = [r for r in reserved if r["Custom_tel"] == "01012345670"]
        self.assertEqual(len(mms), 1)
        self.assertEqual(mms[0]["s_time"], datetime.datetime(2030, 5, 5, 10, 0))
        cur.callproc("sp_YaeyakDataV2", ("demo", "sub02"))
        self.assertTrue(all(r["SUB_ID"] == "sub02" for r in cur.fetchall()))
        cur.callproc("sp_YaeyakDelete", ("demo", mms[0]["id"]))
        cur.callproc("sp_YaeyakData", ("demo",))
        self.assertNotIn(mms[0]["id"], [r["id"] for r in cur.fetchall()])

        self.sandbox.control("POST", "/clock?advance=60")
        cur.callproc("sp_result_data1", ("demo",))
        pending = cur.fetchall()
        mine = [r for r in pending if r["Custom_tel"] == "01055501234"]
        self.assertEqual([(r["result_code"], r["Result_Msg"]) for r in mine], [(0, "성공")])
        cur.callproc("sp_result_dataV2", ("demo", "sub01", "2000-01-01 00:00", "2099-12-31 23:59"))
        self.assertTrue(all(r["SUB_ID"] == "sub01" for r in cur.fetchall()))
        cur.callproc("sp_ibgum_data", ("demo",))
        deposits = cur.fetchall()
        self.assertTrue(any("\r\n" in (d["ibgum_memo"] or "") for d in deposits))
        self.assertRegex(deposits[0]["Ibgum_date"], r"^\d\d-\d\d-\d\d$")

        member = ("newbie", "pw", "demo", "123-45-67890", "회사", "대표", "종목", "업태", "02",
                  "03", "a@b.c", "서울", "담당")
        cur.callproc("sp_addmember", member)
        with self.assertRaises(pymssql.Error) as ctx:
            cur.callproc("sp_addmember", member)
        self.assertIn("이미 사용중인 아이디입니다.", pymssql_error_text(ctx.exception))
        cur.execute("SELECT dbo.f_login(%s, %s) AS r", ("newbie", "pw"))
        self.assertEqual(cur.fetchone()["r"], "")

    def test_faults_reach_the_client(self):
        cur = self.connect().cursor()
        self.sandbox.control("POST", "/faults/raise?proc=sp_ibgum_data&message=boom")
        with self.assertRaises(pymssql.Error) as ctx:
            cur.callproc("sp_ibgum_data", ("demo",))
        self.assertIn("boom", pymssql_error_text(ctx.exception))
        self.sandbox.control("POST", "/faults/janek-null?on=1")
        cur.execute("SELECT dbo.f_sms_janek(%s)", ("demo",))
        self.assertIsNone(cur.fetchone()[0])
        self.sandbox.control("DELETE", "/faults")

    def test_many_connections_at_once(self):
        conns = [self.connect() for _ in range(20)]
        for i, conn in enumerate(conns):
            cur = conn.cursor()
            cur.execute("SELECT dbo.f_login(%s, %s)", ("demo", "demo1234" if i % 2 else "x"))
            self.assertEqual(cur.fetchone()[0] == "", bool(i % 2))
        self.assertGreaterEqual(self.sandbox.control("GET", "/connections")["open"], 20)
        for conn in conns:
            conn.close()


if __name__ == "__main__":
    unittest.main()
