// The taviksms shell as a program: help from the method table, exact printing, instances, errors.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sandbox_process.h"

namespace {

using taviksms::testing::run_command;

taviksms::testing::RunResult shell(std::vector<std::string> args, const std::string& in = "") {
  args.insert(args.begin(), TAVIKSMS_SHELL_EXE);
  return run_command(args, in, std::chrono::seconds(30));
}

TEST(Shell, HelpListsTheNineteenMethodsWithTheirParameters) {
  auto r = shell({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* m : {"FTP_Upload fnam:text",
                        "FTP_Connect",
                        "FTP_DisConnect",
                        "Login User_ID:text Passwd:text",
                        "Logout",
                        "SmsJanek  -> int32",
                        "SmsIbgum",
                        "SmsHist SUB_ID:text xx:int32 yy:int32",
                        "SmsResultV2",
                        "SmsResult1",
                        "SmsResult2",
                        "SmsSend SUB_ID:text",
                        "typ:int32 YK_Time:text",
                        "LmsSend",
                        "MmsSend",
                        "YaeyakDelete Key_id:int32",
                        "YaeyakData ",
                        "YaeyakDataV2 SUB_ID:text",
                        "YaeyakDataText",
                        "AddMember User_ID:text",
                        "tax_damdang:text",
                        ".new",
                        ".use N",
                        ".drop"}) {
    EXPECT_NE(r.out.find(m), std::string::npos) << m;
  }
}

TEST(Shell, PrintsResultsAndEscapedErrorsAndKeepsGoing) {
  auto r = shell({"-c", "Logout", "-c", "  logout  ", "-c", "YaeyakDataText", "-c", "NoSuch", "-c",
                  "Logout extra", "-c", "YaeyakDelete notanumber", "-c", "Logout"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "OK\nOK\n"
            "Object variable or With block variable not set\n"
            "error 0x80020006: Unknown name.\n"
            "error 0x8002000E: Invalid number of parameters.\n"
            "error 0x80020005: Type mismatch\n"
            "OK\n");
}

TEST(Shell, ShowsAnExportFileAsATable) {
  const std::string dir = testing::TempDir();
  {
    std::ofstream f(dir + "/sms3.txt", std::ios::binary);
    f << "demo\t5000\t100000\t2024-03-02\t3월 충전\t\r\n"
         "demo\t2500\t50000\t2024-03-15\t추가 충전\r|세금계산서\t\r\n";
  }
  auto r = shell({"-c", ".show " + dir + "/sms3.txt", "-c", ".show " + dir + "/none.txt"});
  EXPECT_EQ(r.exit_code, 0) << "a failed command, like a failure text, leaves the status 0";
  EXPECT_EQ(r.out,
            "User_ID  kunsu  ibgum   Ibgum_date  ibgum_memo\n"
            "demo     5000   100000  2024-03-02  3월 충전\n"
            "demo     2500   50000   2024-03-15  추가 충전\\r|세금계산서\n"
            "(2 lines)\n");
  EXPECT_NE(r.err.find("cannot open"), std::string::npos);
}

TEST(Shell, ShowRefusesWhatIsNoRegularFileAndReadsABoundedPart) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / "taviksms_show_kinds";
  fs::remove_all(dir);
  fs::create_directories(dir);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  // Control characters in a cell are escaped: they never reach the terminal. A file larger than
  // what .show reads is shown up to the last whole line within it.
  {
    std::ofstream f(dir / "sms1.txt", std::ios::binary);
    f << "1\tdemo\x1b[2J\t\x1b]0;x\x07\x7f\t\xc2\x9b\r\n";
  }
  fs::resize_file(dir / "sms1.txt", 17u << 20);
  auto r = shell({"-c", ".show " + dir.string(), "-c", ".show /dev/zero", "-c",
                  ".show " + (dir / "fifo").string(), "-c", ".show " + (dir / "sms1.txt").string(),
                  "-c", "Logout"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("is a folder, not a file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("/dev/zero is not a regular file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("fifo is not a regular file"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find_first_of("\x1b\x07\x7f"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n1   demo\\u001B[2J  \\u001B]0;x\\u0007\\u007F  \\u009B\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n(1 line; .show reads the first 16 MiB of its 17825792 bytes)\nOK\n"),
            std::string::npos)
      << r.out;
  fs::remove_all(dir);
}

// .show opens the name first (without waiting) and then checks what it opened: a name swapped
// between a regular file and a named pipe while the shell shows it never blocks it.
TEST(Shell, ShowOfANameSwappedForAPipeNeverBlocks) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / "taviksms_show_swap";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "file") << "1\tdemo\r\n";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const fs::path name = dir / "sms1.txt", spare = dir / "spare";
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (bool pipe = false; !stop; pipe = !pipe) {
      fs::remove(spare);
      fs::create_hard_link(dir / (pipe ? "fifo" : "file"), spare);
      fs::rename(spare, name);  // the name is always there, a file or a pipe
    }
  });
  std::string script;
  for (int i = 0; i < 2000; ++i) script += ".show " + name.string() + "\n";
  auto r = run_command({TAVIKSMS_SHELL_EXE, "-"}, script + "Logout\n", std::chrono::seconds(60));
  stop = true;
  swapper.join();
  EXPECT_NE(r.out.rfind("OK\n"), std::string::npos) << "the shell did not get to the end";
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 300);
  fs::remove_all(dir);
}

// Input without line ends (taviksms - < /dev/zero) cannot make a line grow without bound: a line
// longer than 16 MiB is a malformed line, not run, and ends the input.
TEST(Shell, ALineLongerThanTheLimitIsNotRunAndMemoryStaysBounded) {
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;  // the sanitizer's own reservations exceed any such limit
#else
  const std::string limit = "ulimit -v 262144 && ";
#endif
  auto endless =
      run_command({"/bin/sh", "-c", limit + "exec \"$0\" -x - < /dev/zero", TAVIKSMS_SHELL_EXE}, "",
                  std::chrono::seconds(60));
  EXPECT_EQ(endless.exit_code, 2) << endless.err;
  EXPECT_NE(endless.err.find("a line longer than 16 MiB is not run"), std::string::npos)
      << endless.err.substr(0, 300);

  auto then = shell({"-c", "Logout", "-"}, std::string((16u << 20) + 1, 'A') + "\nLogout\n");
  EXPECT_EQ(then.out, "OK\n");  // the -c line only
  EXPECT_EQ(then.exit_code, 1);
  EXPECT_NE(then.err.find("a line longer than 16 MiB is not run"), std::string::npos) << then.err;
  auto at_limit = shell({"-"}, std::string(16u << 20, 'A') + "\nLogout\n");
  EXPECT_EQ(at_limit.out, "error 0x80020006: Unknown name.\nOK\n");  // read whole, and run
}

TEST(Shell, ResultsGoByteForByteToAPipeAndEscapedToATerminal) {
  // A server's message that would clear a terminal's screen and forge an "OK" line.
  taviksms::testing::SandboxProcess sandbox;
  sandbox.post("/faults/raise?proc=f_login&times=2&message=refused%1B%5B2J%0D%0AOK");
  const std::vector<std::string> env{"TAVIKSMS_MIRRORS=" + sandbox.mirror_base(1)};
  auto piped = run_command({TAVIKSMS_SHELL_EXE, "-c", "Login demo demo1234"}, "",
                           std::chrono::seconds(30), env);
  EXPECT_EQ(piped.out, "refused\x1b[2J\r\nOK\n");
  // Standard output a pseudo-terminal (the shell's standard input too: -c lines only, no prompt).
  auto shown = run_command({"/usr/bin/python3", "-c", "import pty, sys; pty.spawn(sys.argv[1:])",
                            TAVIKSMS_SHELL_EXE, "-c", "Login demo demo1234"},
                           "", std::chrono::seconds(30), env);
  EXPECT_EQ(shown.out, "refused\\u001B[2J\\r\\nOK\r\n");
}

TEST(Shell, ScriptsSavedOnWindowsAndCallsThatDoNotFitTheMethod) {
  // A byte order mark and CR LF line ends: the first line is a call like any other, and the
  // echo shows the lines without their CR.
  std::string script = testing::TempDir() + "/taviksms_shell_crlf.tsms";
  {
    std::ofstream f(script, std::ios::binary);
    f << "\xEF\xBB\xBFLogout\r\n# note\r\n\r\n  logout  \r\nLogout";
  }
  auto r = shell({"--echo", script});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "> Logout\nOK\n>   logout  \nOK\n> Logout\nOK\n");
  auto bom_comment = shell({"-"}, "\xEF\xBB\xBF# only a comment\r\n");
  EXPECT_EQ(bom_comment.exit_code, 0);
  EXPECT_EQ(bom_comment.out, "");

  // Wrong argument counts and non-numbers for int32 parameters: the error, and the signature.
  auto bad = shell({"-c", "Login onlyone", "-c", "SmsSend a b c d e f seven \"\"", "-c",
                    "YaeyakDelete 99999999999"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out,
            "error 0x8002000E: Invalid number of parameters.\n"
            "error 0x80020005: Type mismatch\n"
            "error 0x800A0006: Overflow\n");
  EXPECT_NE(bad.err.find("usage: Login User_ID:text Passwd:text  -> text"), std::string::npos)
      << bad.err;
  EXPECT_NE(bad.err.find("usage: SmsSend SUB_ID:text"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("usage: YaeyakDelete Key_id:int32  -> text"), std::string::npos)
      << bad.err;
}

TEST(Shell, InstancesScriptsAndSyntaxErrors) {
  std::string script = testing::TempDir() + "/taviksms_shell_test.tsms";
  {
    std::ofstream f(script);
    f << "# comment\n\n.new\n.list\n.use 1\n.drop 2\n.list\nLogout\n.drop\nLogout\n"
         "Login \"unterminated\n.quit\nLogout\n";
  }
  auto r = shell({script});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "2\n1\n2 *\n1 *\nOK\n");
  EXPECT_NE(r.err.find("no current instance"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("syntax error"), std::string::npos) << r.err;

  auto piped = shell({"-"}, "Logout\n");
  EXPECT_EQ(piped.exit_code, 0);
  EXPECT_EQ(piped.out, "OK\n");
  EXPECT_EQ(shell({"--bogus"}).exit_code, 2);
}

TEST(Shell, HistoryWindowOfABuildWithoutQtSaysWhatToInstall) {
  // The library alone in a folder, as a build without Qt leaves it: no plug-in beside it.
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / "taviksms_without_qt";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path lib = TAVIKSMS_LIBRARY_FILE;
  fs::copy_file(lib, dir / lib.filename());
  auto r = run_command({TAVIKSMS_SHELL_EXE, "-c", "SmsHist \"\" 0 0 0 0"}, "",
                       std::chrono::seconds(30), {"LD_LIBRARY_PATH=" + dir.string()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("built without Qt 6 Widgets"), std::string::npos) << r.out << r.err;
  EXPECT_NE(r.out.find("apt-get install qt6-base-dev"), std::string::npos) << r.out << r.err;
  fs::remove_all(dir);
}

// None of these reach the service: YaeyakDataText without a session answers a failure text.
// Emoji take two columns, combining marks none: the columns after them stay under the header.
TEST(Shell, ShowAlignsByDisplayWidth) {
  const std::string dir = testing::TempDir() + "/taviksms_show_width";
  std::filesystem::create_directories(dir);
  const std::string emoji = "\xF0\x9F\x98\x80";           // U+1F600: two columns
  const std::string acute = "\xCC\x81";                   // U+0301 combining: none
  const std::string hangul = "\xED\x95\x9C\xEA\xB8\x80";  // 한글: four columns
  {
    std::ofstream f(dir + "/sms3.txt", std::ios::binary);
    f << emoji << emoji << "ab\t1\r\n"                                 // 6 columns
      << "e" << acute << "e" << acute << "e" << acute << "xyz\t2\r\n"  // 6
      << hangul << "ab\t3\r\n";                                        // 6
  }
  auto r = shell({"-c", ".show " + dir + "/sms3.txt"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "User_ID  kunsu  ibgum  Ibgum_date  ibgum_memo\n" + emoji + emoji + "ab   1\n" +
                       "e" + acute + "e" + acute + "e" + acute + "xyz   2\n" + hangul +
                       "ab   3\n(3 lines)\n");
}

TEST(Shell, StopOnFailureStopsAtTheFirstFailureAndTheStatusSaysWhy) {
  // By default a failure text is printed and the script goes on, exit status 0, as before.
  auto plain = shell({"-c", "Logout", "-c", "YaeyakDataText", "-c", "Logout"});
  EXPECT_EQ(plain.exit_code, 0);
  EXPECT_EQ(plain.out, "OK\nObject variable or With block variable not set\nOK\n");

  auto failed = shell({"-x", "-c", "Logout", "-c", "YaeyakDataText", "-c", "Logout"});
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(failed.out, "OK\nObject variable or With block variable not set\n");

  auto escaped = shell({"--stop-on-failure", "-c", "NoSuch", "-c", "Logout"});
  EXPECT_EQ(escaped.exit_code, 1);
  EXPECT_EQ(escaped.out, "error 0x80020006: Unknown name.\n");

  auto syntax = shell({"-x", "-c", "Login \"unterminated", "-c", "Logout"});
  EXPECT_EQ(syntax.exit_code, 2);
  EXPECT_EQ(syntax.out, "");

  auto fine = shell({"-x", "-c", "Logout", "-c", "logout"});
  EXPECT_EQ(fine.exit_code, 0);
  EXPECT_EQ(fine.out, "OK\nOK\n");

  // A script stops too, and the interactive part after it never starts.
  std::string script = testing::TempDir() + "/taviksms_shell_stop.tsms";
  {
    std::ofstream f(script);
    f << "Logout\n.show /nonexistent/sms1.txt\nLogout\n";
  }
  auto from_script = shell({"-x", script, "-i"}, "Logout\n");
  EXPECT_EQ(from_script.exit_code, 1);
  EXPECT_EQ(from_script.out, "OK\n");
  EXPECT_EQ(shell({"-x", "--bogus"}).exit_code, 2);
}

TEST(Shell, HelpExitQuitAndTheNearestNameForATypo) {
  auto list = shell({"-c", "help"});
  EXPECT_EQ(list.exit_code, 0);
  EXPECT_NE(list.out.find("SmsSend SUB_ID:text"), std::string::npos);

  auto one = shell({"-c", "help smssend"});
  EXPECT_EQ(one.exit_code, 0);
  EXPECT_NE(one.out.find("SmsSend SUB_ID:text user_tel:text"), std::string::npos) << one.out;
  EXPECT_NE(one.out.find("7. typ (int32)"), std::string::npos) << one.out;
  EXPECT_NE(one.out.find("\"OK\" on success"), std::string::npos) << one.out;
  EXPECT_NE(shell({"-c", "help SmsJanek"}).out.find("-12345678"), std::string::npos);

  auto unknown_help = shell({"-c", "help SmsJanke"});
  EXPECT_EQ(unknown_help.exit_code, 1);
  EXPECT_NE(unknown_help.err.find("help: SmsJanke: no such method; did you mean SmsJanek?"),
            std::string::npos)
      << unknown_help.err;

  // The COM error stays the result line; the name and the suggestion go to standard error.
  auto typo = shell({"-c", "SmsJanke", "-c", "lgoin a b", "-c", "Xyzzy"});
  EXPECT_EQ(typo.out,
            "error 0x80020006: Unknown name.\nerror 0x80020006: Unknown name.\n"
            "error 0x80020006: Unknown name.\n");
  EXPECT_NE(typo.err.find("SmsJanke: no such method; did you mean SmsJanek?"), std::string::npos);
  EXPECT_NE(typo.err.find("lgoin: no such method; did you mean Login?"), std::string::npos);
  EXPECT_NE(typo.err.find("Xyzzy: no such method\n"), std::string::npos) << typo.err;
  // A name that would command the terminal is named escaped.
  auto hostile = shell({"-c", "\x1b[2JXyzzy", "-c", "help \x1b]0;t\x07"});
  EXPECT_NE(hostile.err.find("\\u001B[2JXyzzy: no such method"), std::string::npos) << hostile.err;
  EXPECT_NE(hostile.err.find("help: \\u001B]0;t\\u0007: no such method"), std::string::npos)
      << hostile.err;

  auto ended = shell({"-c", "exit", "-c", "Logout"});
  EXPECT_EQ(ended.exit_code, 0);
  EXPECT_EQ(ended.out, "");
  auto quit = shell({"-"}, "Logout\nquit\nLogout\n");
  EXPECT_EQ(quit.out, "OK\n");
}

TEST(Shell, ArgumentErrorsNameTheParameter) {
  auto r = shell({"-c", "Login onlyone", "-c", "SmsSend a b c d e f seven \"\"", "-c",
                  "Logout extra more", "-c", "YaeyakDelete 99999999999"});
  EXPECT_NE(r.err.find("Login: missing argument Passwd (takes 2, got 1)"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("SmsSend: typ must be an int32, not \"seven\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Logout: 2 arguments too many"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("YaeyakDelete: Key_id must be an int32, not \"99999999999\""),
            std::string::npos)
      << r.err;
}

TEST(Shell, VersionNamesTheComponentTheMirrorsAndThePlatform) {
  auto r = shell({"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("taviksms 0."), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("mirrors: http://"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("platform: linux"), std::string::npos) << r.out;
}

TEST(Shell, HugeLinesInvalidUtf8AndNulBytesAreCallsLikeAnyOther) {
  const std::string huge(1 << 20, 'A');
  auto name = shell({"-"}, huge + "\nLogout\n");
  EXPECT_EQ(name.exit_code, 1);
  EXPECT_EQ(name.out, "error 0x80020006: Unknown name.\nOK\n");
  EXPECT_LT(name.err.size(), 2000u);  // the name is named, not a megabyte of suggestions

  auto argument = shell({"-"}, "Logout \"" + huge + "\"\nLogout\n");
  EXPECT_EQ(argument.out, "error 0x8002000E: Invalid number of parameters.\nOK\n");

  // Five million words on one line: each is checked and counted, not kept, so the line runs
  // within an address space a few times its size (it took 50 times its size).
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's own reservations exceed any such limit
  std::string words = "Logout";
  for (int i = 0; i < 5'000'000; ++i) words += " a";
  auto many =
      run_command({"/bin/sh", "-c", "ulimit -v 131072 && exec \"$0\" -", TAVIKSMS_SHELL_EXE},
                  words + "\nLogout\n", std::chrono::seconds(30));
  EXPECT_EQ(many.out, "error 0x8002000E: Invalid number of parameters.\nOK\n") << many.err;
  EXPECT_NE(many.err.find("Logout: 5000000 arguments too many (takes 0, got 5000000)"),
            std::string::npos)
      << many.err;
#endif

  auto bytes = shell({"-"}, std::string("\xFF\xFElogout\nLog\0out\nhelp \xC3\nLogout\n", 31));
  EXPECT_EQ(bytes.exit_code, 1);
  EXPECT_EQ(bytes.out, "error 0x80020006: Unknown name.\nerror 0x80020006: Unknown name.\nOK\n");
}

}  // namespace
