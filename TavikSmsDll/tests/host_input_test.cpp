// Whatever a host passes: 1 MB texts, NUL, lone surrogates and characters no code page holds, in
// every text parameter of the send methods; integers at the int32 limits; picture paths that
// are devices, folders, pipes or too long. Each call answers with a text, and the server
// receives exactly what the host sent (or the documented conversion of it), nothing else.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>

#include "account/account.h"
#include "base/text.h"
#include "component_fixture.h"
#include "send/time_text.h"
#include "upload/picture_name.h"
#include "upload/upload.h"

namespace taviksms::test {
namespace {

namespace fs = std::filesystem;

struct Odd {
  const char* label;
  std::u16string text;
};

std::vector<Odd> odd_texts() {
  std::u16string mb(1 << 20, u'가');
  for (std::size_t i = 0; i < mb.size(); i += 7) mb[i] = u'x';
  return {
      {"1 MB", mb},
      {"NUL inside", std::u16string(u"ab\0cd", 5)},
      {"lone surrogates", std::u16string{u'a', 0xD800, u'b', 0xDFFF, 0xDC00}},
      {"unmappable", std::u16string{0x0E01, 0xD83D, 0xDE00, 0xFFFF, 0x20AC, 0x00A0}},
      {"only blanks", u"   "},
  };
}

class HostInputTest : public ExportFolderTest {
 public:
  // The read-back methods and AddMember: `odd` in each text parameter in turn, ordinary values
  // elsewhere; the one execution must carry every parameter as sent (window texts in their
  // sixteen-character form, the business number normalised) and nothing else.
  enum class Form { same, window, tax_no };
  struct Param {
    std::string name;
    Form form;
    std::u16string ordinary;
  };
  void check_readback(
      const std::string& proc, const std::vector<Param>& params, bool may_refuse,
      const std::function<std::u16string(TavikSms&, std::vector<std::u16string>&)>& call) {
    TavikSms c;
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    for (std::size_t slot = 0; slot < params.size(); ++slot) {
      for (const Odd& odd : odd_texts()) {
        SCOPED_TRACE(proc + " " + params[slot].name + " = " + odd.label);
        std::vector<std::u16string> args;
        for (const Param& p : params) args.push_back(p.ordinary);
        args[slot] = odd.text;
        take_new();
        const std::u16string r = call(c, args);
        const nlohmann::json runs = new_runs(proc);
        ASSERT_EQ(runs.size(), 1u);
        const nlohmann::json& e = runs[0];
        // The server refuses a window that is no date, or a registration it does not like.
        expect_outcome(r, e, may_refuse || params[slot].form == Form::window);
        for (std::size_t i = 0; i < params.size(); ++i) {
          std::u16string want = args[i];
          if (params[i].form == Form::window) want = send::window_time_text(args[i]);
          if (params[i].form == Form::tax_no) want = core::normalize_tax_no(args[i]);
          EXPECT_EQ(call_param(e, params[i].name), want) << params[i].name;
        }
        // Only the parameters the method has, and no user id but the host's.
        std::size_t named = 0;
        for (const auto& p : e["params"]) {
          const std::string n = p["name"].get<std::string>();
          if (n == "@RETURN_VALUE") continue;
          ++named;
          if (n == "@user_id" && proc != "sp_addmember") {
            EXPECT_EQ(call_param(e, n), u"demo");
          }
        }
        EXPECT_EQ(named, params.size() + (proc == "sp_addmember" ? 0 : 1)) << e["params"].dump();
      }
    }
  }
  // The call-log entries made since the previous take; only new entries travel, so the 1 MB
  // values logged earlier are not fetched again and again.
  nlohmann::json take_new() {
    nlohmann::json fresh = sandbox().get("/calls?since=" + std::to_string(mark_));
    if (!fresh.empty()) mark_ = fresh.back()["seq"].get<long>();
    return fresh;
  }

  long mark_ = 0;

  // The new executions of `proc`; before them at most the procedure's parameter description.
  nlohmann::json new_runs(const std::string& proc) {
    nlohmann::json runs = nlohmann::json::array();
    for (const auto& e : take_new()) {
      if (e["proc"] == proc) {
        runs.push_back(e);
      } else {
        EXPECT_EQ(e["proc"], "sp_sproc_columns");
      }
    }
    return runs;
  }

  // "OK" for an execution the server accepted; for a refusal (allowed only when `refusable`) the
  // server's own text. The message echoes the odd value; the driver's message buffer cuts it at
  // NUL and shows lone surrogates as '?', so only the text before the value is compared.
  static void expect_outcome(const std::u16string& r, const nlohmann::json& e, bool refusable) {
    if (e["error"].is_null()) {
      EXPECT_EQ(r, u"OK");
      return;
    }
    EXPECT_TRUE(refusable) << e["error"].dump();
    const std::string text = e["error"].get<std::string>();
    const std::size_t colon = std::min(text.find(':'), text.size());
    EXPECT_EQ(utf8(r).substr(0, colon), text.substr(0, colon));
  }

  // Calls a send method with `odd` in text parameter `slot` and ordinary values elsewhere, and
  // checks the one execution the server saw, parameter by parameter.
  void check_method(
      const std::string& proc, const std::vector<std::string>& params,
      const std::function<std::u16string(TavikSms&, std::vector<std::u16string>&)>& call) {
    TavikSms c;
    ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
    for (std::size_t slot = 0; slot < params.size(); ++slot) {
      for (const Odd& odd : odd_texts()) {
        SCOPED_TRACE(proc + " " + params[slot] + " = " + odd.label);
        std::vector<std::u16string> args(params.size(), u"v");
        for (std::size_t i = 0; i < params.size(); ++i) {
          if (params[i] == "@Custom_tel") args[i] = u"01000000001";
          if (params[i] == "@YK_Time") args[i] = u"";
        }
        args[slot] = odd.text;
        // The server checks recipients and reservation times; it may refuse odd ones.
        const bool refusable = params[slot] == "@Custom_tel" || params[slot] == "@YK_Time";
        // A recipient entry of blanks is still an entry; NUL or surrogates are sent as they are.
        take_new();
        const std::u16string r = call(c, args);
        if (!refusable) {
          EXPECT_EQ(r, u"OK") << utf8(r.substr(0, 200));
        }
        const nlohmann::json runs = new_runs(proc);
        ASSERT_EQ(runs.size(), 1u);
        const nlohmann::json& e = runs[0];
        expect_outcome(r, e, refusable);
        for (std::size_t i = 0; i < params.size(); ++i) {
          std::u16string want = args[i];
          if (params[i] == "@YK_Time") want = send::expand_time_text(args[i]);
          if (params[i].rfind("@fnam", 0) == 0) {
            want = upload::picture_server_name(u"demo", args[i]);
          }
          EXPECT_EQ(call_param(e, params[i]), want) << params[i];
        }
        EXPECT_EQ(call_param(e, "@user_id"), u"demo");
      }
    }
  }
};

TEST_F(HostInputTest, SmsSendPassesEveryOddTextExactly) {
  check_method(
      "sp_sms_send",
      {"@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam", "@Custom_tel", "@msg", "@YK_Time"},
      [](TavikSms& c, std::vector<std::u16string>& a) {
        return c.SmsSend(a[0], a[1], a[2], a[3], a[4], a[5], 0, a[6]);
      });
}

TEST_F(HostInputTest, LmsSendPassesEveryOddTextExactly) {
  check_method("sp_lms_send",
               {"@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam", "@Custom_tel", "@subject",
                "@msg", "@YK_Time"},
               [](TavikSms& c, std::vector<std::u16string>& a) {
                 return c.LmsSend(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
               });
}

TEST_F(HostInputTest, MmsSendPassesEveryOddTextExactly) {
  check_method("sp_mms_send",
               {"@Sub_ID", "@User_tel", "@Custom_id", "@Custom_nam", "@Custom_tel", "@subject",
                "@msg", "@fnam1", "@fnam2", "@fnam3", "@YK_Time"},
               [](TavikSms& c, std::vector<std::u16string>& a) {
                 return c.MmsSend(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                  a[10]);
               });
}

TEST_F(HostInputTest, ReadBackMethodsPassEveryOddTextExactly) {
  const std::u16string fr = u"2401010000", to = u"2612312359";
  check_readback(
      "sp_result_data2", {{"@fr_dtime", Form::window, fr}, {"@to_dtime", Form::window, to}}, false,
      [](TavikSms& c, std::vector<std::u16string>& a) { return c.SmsResult2(a[0], a[1]); });
  check_readback("sp_result_dataV2",
                 {{"@sub_id", Form::same, u"sub01"},
                  {"@fr_dtime", Form::window, fr},
                  {"@to_dtime", Form::window, to}},
                 false, [](TavikSms& c, std::vector<std::u16string>& a) {
                   return c.SmsResultV2(a[0], a[1], a[2]);
                 });
  check_readback("sp_YaeyakDataV2", {{"@Sub_ID", Form::same, u"sub01"}}, false,
                 [](TavikSms& c, std::vector<std::u16string>& a) { return c.YaeyakDataV2(a[0]); });
}

TEST_F(HostInputTest, AddMemberPassesEveryOddTextExactly) {
  // Each registration needs an id of its own; the server may refuse an odd one.
  int serial = 0;
  const std::vector<std::string> names = {"@user_id",    "@user_pw",  "@recommender", "@tax_no",
                                          "@tax_ltd",    "@tax_name", "@tax_jongmok", "@tax_upte",
                                          "@tax_tel",    "@tax_fax",  "@tax_mail",    "@tax_juso",
                                          "@tax_damdang"};
  std::vector<Param> params;
  for (const auto& n : names) {
    params.push_back({n, n == "@tax_no" ? Form::tax_no : Form::same, u"v"});
  }
  params[3].ordinary = u"123-45-67890";
  check_readback("sp_addmember", params, true,
                 [&serial](TavikSms& c, std::vector<std::u16string>& a) {
                   if (a[0] == u"v") a[0] = core::utf8_to_utf16("odd" + std::to_string(++serial));
                   return c.AddMember(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                      a[10], a[11], a[12]);
                 });
}

TEST_F(HostInputTest, KeyIdAtTheInt32LimitsArrivesUnchanged) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  for (std::int32_t key : {std::numeric_limits<std::int32_t>::min(), -1, 0,
                           std::numeric_limits<std::int32_t>::max()}) {
    SCOPED_TRACE(key);
    take_new();
    EXPECT_EQ(c.YaeyakDelete(key), u"OK");
    nlohmann::json runs = nlohmann::json::array();
    for (const auto& e : take_new()) {
      if (e["proc"] == "sp_YaeyakDelete") runs.push_back(e);
    }
    ASSERT_EQ(runs.size(), 1u);
    bool seen = false;
    for (const auto& p : runs[0]["params"]) {
      if (p["name"] == "@id") {
        EXPECT_EQ(p["value"].get<std::int64_t>(), key);
        seen = true;
      }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(call_param(runs[0], "@user_id"), u"demo");
  }
  // Beyond int32 through the late-bound call: refused before anything is sent.
  take_new();
  std::vector<Value> args{Value(u"-2147483649")};
  EXPECT_THROW(c.invoke("YaeyakDelete", args), ComError);
  EXPECT_TRUE(take_new().empty());
}

TEST_F(HostInputTest, TypAtTheInt32LimitsArrivesUnchanged) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  for (std::int32_t typ : {std::numeric_limits<std::int32_t>::min(), -1, 0,
                           std::numeric_limits<std::int32_t>::max()}) {
    take_new();
    EXPECT_EQ(c.SmsSend(u"", u"02", u"", u"", u"01000000001", u"m", typ, u""), u"OK");
    const nlohmann::json log = take_new();
    ASSERT_FALSE(log.empty());
    bool seen = false;
    for (const auto& p : log.back()["params"]) {
      if (p["name"] == "@typ") {
        EXPECT_EQ(p["value"].get<std::int64_t>(), typ);
        seen = true;
      }
    }
    EXPECT_TRUE(seen);
  }
  // Through the late-bound path, texts outside int32 are refused before anything is sent.
  take_new();
  std::vector<Value> args{u"", u"02", u"", u"", u"01000000001", u"m", Value(u"2147483648"), u""};
  EXPECT_THROW(c.invoke("SmsSend", args), ComError);
  EXPECT_TRUE(take_new().empty());
}

// The export files have fixed names in the current directory, where a host's folder may hold
// anything under them: a named pipe (opening it for writing would wait for a reader forever),
// a folder, or a link to a device that swallows what is written. Each is refused at once, before
// any row is read, so nothing is acknowledged that no file holds.
TEST_F(HostInputTest, ExportFilesThatAreNoPlainFileAreRefusedAtOnce) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const std::size_t acks_before = sandbox().get("/acks").size();
  struct Export {
    std::string file;
    std::function<std::u16string()> call;
  };
  const std::vector<Export> exports = {
      {"sms1.txt", [&] { return c.SmsResult1(); }},
      {"sms2.txt", [&] { return c.YaeyakData(); }},
      {"sms3.txt", [&] { return c.SmsIbgum(); }},
  };
  for (const char* kind : {"fifo", "folder", "device link"}) {
    for (const Export& e : exports) {
      SCOPED_TRACE(e.file + " is a " + kind);
      const fs::path p = folder() / e.file;
      std::error_code ec;
      fs::remove_all(p, ec);
      if (std::string(kind) == "fifo") {
        ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
      } else if (std::string(kind) == "folder") {
        fs::create_directory(p);
      } else {
        fs::create_symlink("/dev/null", p);
      }
      // A hang here would stop the whole test binary; ctest's timeout is the backstop.
      const auto start = std::chrono::steady_clock::now();
      const std::u16string r = e.call();
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
      EXPECT_EQ(r, u"Path/File access error");
      fs::remove_all(p, ec);
    }
  }
  EXPECT_EQ(sandbox().get("/acks").size(), acks_before) << "acknowledged rows that no file holds";
  // A plain file again: the seeded results are written and acknowledged.
  EXPECT_EQ(c.SmsResult1(), u"OK");
  EXPECT_GT(sandbox().get("/acks").size(), acks_before);
}

TEST_F(HostInputTest, PicturePathsThatAreNoFileNeverReachTheServer) {
  TavikSms c;
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  const fs::path fifo = folder() / "pipe.jpg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  fs::create_directory(folder() / "dir.jpg");
  const std::u16string too_long = u"/tmp/" + std::u16string(5000, u'a') + u".jpg";
  const std::u16string deep = [] {
    std::u16string p;
    for (int i = 0; i < 2000; ++i) p += u"/d";
    return p + u"/x.jpg";
  }();
  auto u16 = [](const fs::path& p) { return core::utf8_to_utf16(p.string()); };
  const std::vector<std::u16string> paths = {
      u"/dev/null",
      u"/dev/zero",
      u"/dev/urandom",
      u16(fifo),
      u16(folder() / "dir.jpg"),
      u16(folder()),
      too_long,
      deep,
      std::u16string(u"/tmp/a\0b.jpg", 12),
      std::u16string{u'/', 0xD800, u'.', u'j', u'p', u'g'},
      u"",
      std::u16string(1 << 20, u'x'),
  };
  for (const auto& p : paths) {
    SCOPED_TRACE(utf8(p.substr(0, 60)));
    EXPECT_EQ(c.FTP_Upload(p), upload::kNoFile);
  }
  EXPECT_TRUE(sandbox().get("/uploads")["files"].empty());
  EXPECT_EQ(sandbox().get("/sftp")["total_sessions"], 0) << "no connection for a file that is not";
}

}  // namespace
}  // namespace taviksms::test
