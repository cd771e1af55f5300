// Reading back against a real sandbox: the export files byte for byte, the acknowledgements, the
// reservation methods, deposits and member registration, and the acknowledgement invariant at
// every failure point (a dropped connection, a refused statement, a failing write).
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <atomic>
#include <thread>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/testing.h"
#include "base/text.h"
#include "component_fixture.h"
#include "results/results.h"
#include "send/time_text.h"

namespace taviksms::test {
namespace {

namespace fs = std::filesystem;

class ResultsTest : public ExportFolderTest {
 public:
  std::string file(const std::string& name) {
    EXPECT_TRUE(fs::exists(folder() / name)) << name << " does not exist";
    return file_bytes(name);
  }
  std::vector<std::string> lines(const std::string& name) {
    std::vector<std::string> out;
    std::string all = file(name);
    std::size_t start = 0;
    while (start < all.size()) {
      std::size_t end = all.find("\r\n", start);
      if (end == std::string::npos) {
        ADD_FAILURE() << name << " has a line without CR LF";
        break;
      }
      out.push_back(all.substr(start, end - start));
      start = end + 2;
    }
    return out;
  }
  // The ids (first field) of the lines of `name`.
  std::vector<long> ids(const std::string& name) {
    std::vector<long> out;
    for (const auto& l : lines(name)) out.push_back(std::stol(l.substr(0, l.find('\t'))));
    return out;
  }
  std::vector<long> acked(std::size_t skip = 0) {
    std::vector<long> out;
    nlohmann::json a = sandbox().get("/acks");
    for (std::size_t i = skip; i < a.size(); ++i) out.push_back(a[i]["id"].get<long>());
    return out;
  }
};

// The seeded delivery results not yet acknowledged (ids 1, 2, 3, 5), as sms1.txt must hold them.
const std::string kSeedResults =
    "1\tdemo\tsub01\t0212345678\t01012345678\tC001\t홍길동\t3월 정기 점검 안내입니다.\t0\t성공\t0\t"
    "1\t20\t20240304100000\t20240304100010\r\n"
    "2\tdemo\tsub02\t0212345678\t010-2345-6789\tC002\t\t첫째 줄|둘째 줄\t탭 뒤\t0\t성공\t0\t1\t0\t"
    "20240305113000\t20240305113010\r\n"
    "3\tdemo\tsub01\t0212345678\t01034567890\tC003\t김철수\t결과 시각이 없는 결과\t3\t"
    "전송실패(0003)\t0\t1\t20\t20240306090000\t\r\n"
    "5\tdemo\tsub01\t0212345678\t01099990042\tC005\t박민수\t전송 실패 예시\t42\t전송실패(0042)\t0\t"
    "1\t20\t20240308080500\t20240308080510\r\n";

TEST_F(ResultsTest, SmsResult1WritesTheSeedExactlyAndAcknowledgesEachRowInOrder) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), kSeedResults);
  EXPECT_EQ(acked(), (std::vector<long>{1, 2, 3, 5}));
  EXPECT_EQ(utf8(results::ack_statement(5)), "update sms_result set reply = 1 where id = 5 ;");
  for (const auto& a : sandbox().get("/acks")) EXPECT_EQ(a["rows"].get<int>(), 1);

  // Nothing is left: the file is replaced by an empty one and no statement runs.
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), "");
  EXPECT_EQ(acked().size(), 4u);
}

TEST_F(ResultsTest, WindowQueriesWriteWithoutAcknowledgingAndSendTheWindowUntrimmed) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  { std::ofstream(folder() / "sms1.txt") << "an earlier export\r\n"; }
  EXPECT_EQ(c.SmsResult2(u"2403010000", u"202403312359"), u"OK");
  // Every message of the window, the acknowledged one and the pending reservation included.
  EXPECT_EQ(ids("sms1.txt"), (std::vector<long>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(
      lines("sms1.txt")[5],
      "6\tdemo\tsub01\t0212345678\t01056789012\tC006\t최예약\t2030년 새해 인사드립니다.\t0\t\t"
      "0\t1\t20\t20240320150000\t");
  EXPECT_EQ(c.SmsResultV2(u"sub02", u"2403010000", u"2403312359"), u"OK");
  EXPECT_EQ(ids("sms1.txt"), (std::vector<long>{2, 4}));
  EXPECT_TRUE(acked().empty()) << "modes 0 and 2 leave the server untouched";

  auto v2 = calls("sp_result_dataV2");
  ASSERT_EQ(v2.size(), 1u);
  EXPECT_EQ(call_param(v2[0], "@sub_id"), u"sub02");
  EXPECT_EQ(call_param(v2[0], "@fr_dtime"), u"2024-03-01 00:00");

  // Edge cases of the window texts, exactly as the server receives them (an unusable window is
  // the server's to refuse; the texts still arrive).
  const std::u16string edges[] = {u"1203011230", u"2003011230", u"199912312359",
                                  u"12030112",   u"",           u" 203011230"};
  for (const auto& e : edges) c.SmsResult2(e, e);
  auto r2 = calls("sp_result_data2");
  ASSERT_EQ(r2.size(), 1u + std::size(edges));
  const std::u16string expected[] = {u"2012-03-01 12:30", u"  20-03-01 12:30", u"2019-99-12 31:23",
                                     u"  20-12-03 01:12", u"    -  -     :20", u"20 2-03-01 12:30"};
  for (std::size_t i = 0; i < std::size(edges); ++i) {
    EXPECT_EQ(call_param(r2[i + 1], "@fr_dtime"), expected[i]) << utf8(edges[i]);
    EXPECT_EQ(call_param(r2[i + 1], "@to_dtime"), send::window_time_text(edges[i]));
  }
}

TEST_F(ResultsTest, ReservationsListCancelRefundAndListAgain) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.YaeyakData(), u"OK");
  EXPECT_EQ(
      file("sms2.txt"),
      "6\tdemo\tsub01\t0212345678\t01056789012\tC006\t최예약\t2030년 새해 인사드립니다.\t0\t\t"
      "0\t1\t20\t20240320150000\t20300101090000\r\n");
  EXPECT_EQ(c.YaeyakDataV2(u"sub02"), u"OK");
  EXPECT_EQ(file("sms2.txt"), "");
  auto v2 = calls("sp_YaeyakDataV2");
  ASSERT_EQ(v2.size(), 1u);
  EXPECT_EQ(v2[0]["params"][1]["name"], "@Sub_ID");

  const std::int32_t before = c.SmsJanek();
  EXPECT_EQ(c.YaeyakDelete(6), u"OK");
  EXPECT_EQ(c.SmsJanek(), before + 20) << "a cancelled reservation is refunded";
  EXPECT_EQ(c.YaeyakDelete(987654), u"OK") << "an unknown key is the server's business";
  EXPECT_EQ(c.YaeyakData(), u"OK");
  EXPECT_EQ(file("sms2.txt"), "");
  auto del = calls("sp_YaeyakDelete");
  ASSERT_EQ(del.size(), 2u);
  EXPECT_EQ(del[0]["params"][1]["value"].get<long>(), 6);
}

TEST_F(ResultsTest, ReservationMethodsWithoutASession) {
  set_mirror(1, "down");
  set_mirror(2, "down");
  set_mirror(3, "down");
  TavikSms c;
  EXPECT_EQ(c.YaeyakDelete(6), u"DB Connect Error");
  EXPECT_EQ(c.YaeyakData(), u"IP Download Error");
  EXPECT_EQ(c.SmsResult1(), u"IP Download Error");
  EXPECT_FALSE(fs::exists(folder() / "sms1.txt")) << "no session, no file";
  // Called directly before any listing: no recordset yet, then a closed one.
  EXPECT_EQ(c.YaeyakDataText(), u"Object variable or With block variable not set");
  EXPECT_EQ(file("sms2.txt"), "");
}

TEST_F(ResultsTest, YaeyakDataTextOnAClosedRecordsetAndAFailedListingIsReported) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.YaeyakDataText(), u"Operation is not allowed when the object is closed.");
  EXPECT_EQ(file("sms2.txt"), "");

  fs::remove(folder() / "sms2.txt");
  fs::create_directory(folder() / "sms2.txt");  // the file cannot be created
  const std::u16string r = c.YaeyakData();
  EXPECT_EQ(r, u"Path/File access error") << "a failed export is not reported as OK";
  EXPECT_EQ(core::module_state().last_result, r);
  fs::remove(folder() / "sms2.txt");
  EXPECT_EQ(c.YaeyakData(), u"OK") << "the file slot was released";
}

TEST_F(ResultsTest, ResultFileThatCannotBeCreatedAcknowledgesNothing) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  fs::create_directory(folder() / "sms1.txt");
  EXPECT_EQ(c.SmsResult1(), u"Path/File access error");
  EXPECT_TRUE(acked().empty());
  fs::remove(folder() / "sms1.txt");
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), kSeedResults);
}

// Another session (a thread of this host, or another process in the same folder) has the export
// file open: this export fails as a locked file does, before any row is read, and the other's
// lines stay whole.
TEST_F(ResultsTest, ExportFileOpenInAnotherSessionIsLockedForAllThreeFiles) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::pair<const char*, std::function<std::u16string()>> exports[] = {
      {"sms1.txt", [&] { return c.SmsResult1(); }},
      {"sms2.txt", [&] { return c.YaeyakData(); }},
      {"sms3.txt", [&] { return c.SmsIbgum(); }}};
  for (const auto& [name, run] : exports) {
    SCOPED_TRACE(name);
    std::unique_ptr<platform::OutputFile> held;
    std::thread([&, n = name] {
      held = platform::default_platform().create_output_file(core::utf8_to_utf16(n));
      held->write("held\r\n");
    }).join();
    EXPECT_EQ(run(), u"Permission denied");
    EXPECT_EQ(file(name), "held\r\n") << "the other session's file is not emptied";
    held->close();
    EXPECT_EQ(run(), u"OK") << "the lock ends with the other session's file";
  }
  EXPECT_EQ(acked(), (std::vector<long>{1, 2, 3, 5})) << "only the export that ran acknowledged";
  EXPECT_EQ(file("sms1.txt"), kSeedResults);
}

TEST_F(ResultsTest, ExportFileHeldByAnotherProcessAcknowledgesNothing) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::string cmd = std::string(TAVIKSMS_LOGIN_PROCESS_EXE) + " --hold " +
                          (folder() / "sms1.txt").string() + " 3";
  FILE* child = ::popen(cmd.c_str(), "r");
  ASSERT_NE(child, nullptr);
  char line[32] = {};
  ASSERT_NE(std::fgets(line, sizeof line, child), nullptr);
  ASSERT_EQ(std::string(line), "held\n");
  EXPECT_EQ(c.SmsResult1(), u"Permission denied");
  EXPECT_TRUE(acked().empty());
  EXPECT_EQ(file("sms1.txt"), "held\r\n");
  EXPECT_EQ(::pclose(child), 0);
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), kSeedResults);
  EXPECT_EQ(acked(), (std::vector<long>{1, 2, 3, 5}));
}

// Two sessions of one host export into one folder at once: the one that starts second is
// refused, and every row the first acknowledged is in the file.
TEST_F(ResultsTest, SecondSessionStartingWhileTheFirstWritesIsRefused) {
  constexpr long kRows = 15000;
  sandbox().post("/faults/rows?proc=sp_result_data1&count=" + std::to_string(kRows));
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  std::atomic<bool> first_done{false};
  std::u16string first;
  std::thread writer([&] {
    ThreadSession own(sandbox(), folder());
    TavikSms other;
    if (other.Login(u"demo", u"demo1234") == u"OK") first = other.SmsResult1();
    first_done = true;
  });
  while (!first_done && file_bytes("sms1.txt").size() < 1000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const bool overlapped = !first_done;
  const std::u16string second = c.SmsResult1();
  const bool still_overlapped = !first_done;
  writer.join();
  ASSERT_TRUE(overlapped && still_overlapped) << "the first export ended too soon to overlap";
  EXPECT_EQ(first, u"OK");
  EXPECT_EQ(second, u"Permission denied");
  EXPECT_EQ(static_cast<long>(acked().size()), kRows) << "the refused session acknowledged none";
  const std::vector<long> in_file = ids("sms1.txt");
  EXPECT_EQ(static_cast<long>(in_file.size()), kRows) << "no acknowledged row left the file";
}

TEST_F(ResultsTest, DepositsExactBytesAndASecondCallReplacesTheFile) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  { std::ofstream(folder() / "sms3.txt") << std::string(5000, 'x'); }
  EXPECT_EQ(c.SmsIbgum(), u"OK");
  const std::string expected =
      "demo\t5000\t100000\t2024-03-02\t3월 충전\t\r\n"
      "demo\t2500\t50000\t2024-03-15\t추가 충전\r|세금계산서 발행 요청\t\r\n"
      "demo\t1000\t20000\t2024-03-28\t\t\r\n";
  EXPECT_EQ(file("sms3.txt"), expected);
  sandbox().post("/faults/rows?proc=sp_ibgum_data&count=0");
  EXPECT_EQ(c.SmsIbgum(), u"OK");
  EXPECT_EQ(file("sms3.txt"), "");
  sandbox().post("/faults/rows?proc=sp_ibgum_data&count=2500");
  EXPECT_EQ(c.SmsIbgum(), u"OK");
  auto ls = lines("sms3.txt");
  ASSERT_EQ(ls.size(), 2500u);
  for (const auto& l : ls) EXPECT_EQ(l.back(), '\t');
}

TEST_F(ResultsTest, ExportsAreInTheLocalesCodeSet) {
  locale_t korean = newlocale(LC_CTYPE_MASK, "ko_KR.EUC-KR", static_cast<locale_t>(nullptr));
  if (korean == static_cast<locale_t>(nullptr)) GTEST_SKIP() << "ko_KR.EUC-KR not installed";
  freelocale(korean);
  setenv("LC_ALL", "ko_KR.EUC-KR", 1);  // this test's own process
  restart_session();
  unsetenv("LC_ALL");
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  EXPECT_EQ(c.SmsIbgum(), u"OK");
  // 3월 충전 / 추가 충전 / 세금계산서 발행 요청 in EUC-KR.
  const std::string expected =
      "demo\t5000\t100000\t2024-03-02\t3\xBF\xF9 \xC3\xE6\xC0\xFC\t\r\n"
      "demo\t2500\t50000\t2024-03-15\t\xC3\xDF\xB0\xA1 \xC3\xE6\xC0\xFC\r|"
      "\xBC\xBC\xB1\xDD\xB0\xE8\xBB\xEA\xBC\xAD \xB9\xDF\xC7\xE0 \xBF\xE4\xC3\xBB\t\r\n"
      "demo\t1000\t20000\t2024-03-28\t\t\r\n";
  EXPECT_EQ(file("sms3.txt"), expected);
}

// Every acknowledged id is in the file; the one row written but not acknowledged is listed again
// by the next call (a duplicate, never a loss).
void expect_invariant(const std::vector<long>& acked_now, const std::vector<long>& in_file) {
  std::set<long> file_ids(in_file.begin(), in_file.end());
  for (long id : acked_now)
    EXPECT_TRUE(file_ids.count(id)) << "acknowledged but not written: " << id;
}

TEST_F(ResultsTest, ConnectionDroppedOrStatementRefusedAtTheKthAcknowledgement) {
  TavikSms c;
  for (const char* mode : {"drop", "raise"}) {
    for (int k = 1; k <= 4; ++k) {
      SCOPED_TRACE(std::string(mode) + " at acknowledgement " + std::to_string(k));
      ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
      sandbox().post("/faults/rows?proc=sp_result_data1&count=4");
      const std::size_t before = acked().size();
      sandbox().post(std::string("/faults/ack?mode=") + mode + "&after=" + std::to_string(k) +
                     "&message=refused");
      const std::u16string r = c.SmsResult1();
      EXPECT_NE(r, u"OK");
      if (std::string(mode) == "raise") {
        EXPECT_EQ(r, u"refused");
      }
      const std::vector<long> now = acked(before);
      const std::vector<long> in_file = ids("sms1.txt");
      EXPECT_EQ(now.size(), static_cast<std::size_t>(k - 1));
      EXPECT_EQ(in_file.size(), static_cast<std::size_t>(k)) << "row k was written before its ack";
      expect_invariant(now, in_file);
      sandbox().del("/faults");
    }
  }
}

// A platform whose export files fail at their k-th write; everything else is the test platform.
class FailingWrites : public TestPlatform {
 public:
  FailingWrites(const testing::SandboxProcess& s, fs::path folder, int fail_at)
      : TestPlatform(mirror_bases_of(s), std::move(folder), ThreadSession::short_limits()),
        fail_at_(fail_at) {}
  std::unique_ptr<platform::OutputFile> create_output_file(const std::u16string& name) override {
    return std::make_unique<File>(TestPlatform::create_output_file(name), fail_at_);
  }

 private:
  struct File : platform::OutputFile {
    File(std::unique_ptr<platform::OutputFile> f, int at) : inner(std::move(f)), fail_at(at) {}
    void write(std::string_view bytes) override {
      if (++writes == fail_at) core::raise_file_error(61);
      inner->write(bytes);
    }
    void close() override { inner->close(); }
    std::unique_ptr<platform::OutputFile> inner;
    int fail_at;
    int writes = 0;
  };
  int fail_at_;
};

TEST_F(ResultsTest, WriteFailingAtTheKthLine) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/rows?proc=sp_result_data1&count=4");
  for (int k = 1; k <= 4; ++k) {
    SCOPED_TRACE("write " + std::to_string(k) + " fails");
    const std::size_t before = acked().size();
    {
      FailingWrites failing(sandbox(), folder(), k);
      platform::ScopedPlatformOverride use(failing);
      EXPECT_EQ(c.SmsResult1(), u"Disk full");
    }
    const std::vector<long> now = acked(before);
    const std::vector<long> in_file = ids("sms1.txt");
    EXPECT_EQ(now.size(), static_cast<std::size_t>(k - 1));
    EXPECT_EQ(in_file.size(), static_cast<std::size_t>(k - 1));
    expect_invariant(now, in_file);
  }
  EXPECT_EQ(c.SmsResult1(), u"OK") << "the next export works";
  EXPECT_EQ(ids("sms1.txt").size(), 4u);
}

TEST_F(ResultsTest, FortyThousandReservationsAreAllWritten) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  sandbox().post("/faults/rows?proc=sp_YaeyakData&count=40000");
  EXPECT_EQ(c.YaeyakData(), u"OK");
  const std::vector<std::string> ls = lines("sms2.txt");
  ASSERT_EQ(ls.size(), 40000u);
  EXPECT_EQ(ls.front().substr(0, 2), "1\t");
  EXPECT_EQ(ls.back().substr(0, 6), "40000\t");
}

TEST_F(ResultsTest, AddMemberNormalisesTaxNoAndLeavesTheSessionAlone) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const int logins = total_logins();
  const auto add = [&](const std::u16string& id, const std::u16string& tax) {
    return c.AddMember(id, u"pw1", u"demo", tax, u"(주)타빅", u"홍대표", u"소프트웨어", u"서비스",
                       u"0212345678", u"", u"a@b.kr", u"서울", u"담당자");
  };
  EXPECT_EQ(add(u"newbie1", u"123-45-67890"), u"OK");
  EXPECT_EQ(add(u"newbie2", u"1234567890"), u"OK");
  EXPECT_EQ(add(u"newbie3", u"123-4"), u"OK");
  EXPECT_EQ(add(u"newbie1", u"1234567890"), u"이미 사용중인 아이디입니다.");
  auto calls_ = calls("sp_addmember");
  ASSERT_EQ(calls_.size(), 4u);
  EXPECT_EQ(call_param(calls_[0], "@tax_no"), u"1234567890");
  EXPECT_EQ(call_param(calls_[1], "@tax_no"), u"1234567890");
  EXPECT_EQ(call_param(calls_[2], "@tax_no"), u"1234");
  EXPECT_EQ(call_param(calls_[0], "@user_id"), u"newbie1");
  EXPECT_EQ(call_param(calls_[0], "@tax_damdang"), u"담당자");
  EXPECT_EQ(utf8(core::module_state().user_id), "demo");
  EXPECT_TRUE(core::module_state().logged_in);
  EXPECT_EQ(total_logins(), logins) << "registering reuses the session";
  EXPECT_EQ(c.Login(u"newbie1", u"pw1"), u"OK");
  EXPECT_EQ(c.SmsJanek(), 0);
}

TEST_F(ResultsTest, SendWaitReadCycle) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  ASSERT_EQ(c.SmsResult1(), u"OK");  // takes the seed
  ASSERT_EQ(c.SmsSend(u"sub01", u"0212345678", u"c1", u"손님", u"01011112222;01099990007",
                      u"줄1\n줄2", 0, u""),
            u"OK");
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), "") << "not delivered yet";
  sandbox().post("/clock?advance=30");
  EXPECT_EQ(c.SmsResult1(), u"OK");
  const auto ls = lines("sms1.txt");
  ASSERT_EQ(ls.size(), 2u);
  EXPECT_NE(ls[0].find("\t줄1|줄2\t0\t성공\t0\t1\t20\t"), std::string::npos) << ls[0];
  EXPECT_NE(ls[1].find("\t7\t전송실패(0007)\t"), std::string::npos) << ls[1];
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_EQ(file("sms1.txt"), "");
}

}  // namespace
}  // namespace taviksms::test
