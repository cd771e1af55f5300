// Pure logic of the core and its Linux binding: the profile reader's semantics, the masked
// secret, connection strings, driver diagnostics, BaseFileName, numeric conversion, UTF-16 text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/module_state.h"
#include "base/platform/testing.h"
#include "base/text.h"
#include "config/config_fetch.h"
#include "db/value.h"
#include "platform/odbc/odbc_session.h"
#include "platform/odbc/prelogin_probe.h"
#include "platform/posix/ini.h"
#include "platform/posix/posix_platform.h"
#include "session/db_open.h"
#include "upload/picture_name.h"

namespace taviksms {
namespace {

using platform::posix::profile_lookup;

constexpr std::string_view kIni =
    "; comment\r\n"
    "[other]\r\n"
    "sms_id=wrong\r\n"
    "[IP]\r\n"
    "  SMS_ID  =   sms_app   \r\n"
    "sms_ip=\"127.0.0.1,11433\"\r\n"
    "sms_pw='ab'\r\n"
    "quoted_one_side=\"abc\r\n"
    "inner=a \"b\" c\r\n"
    "empty=\r\n"
    "novalue\r\n"
    "sms_id=second occurrence\r\n"
    "[ip]\r\n"
    "sftp_id=in a later section of the same name\r\n";

TEST(ProfileReader, MatchesTheWindowsReader) {
  // Section and key case-insensitive, blanks around names and values trimmed, first key wins.
  EXPECT_EQ(profile_lookup(kIni, "ip", "sms_id", "", 80), "sms_app");
  // Surrounding quotes of either kind are removed; a lone or inner quote stays.
  EXPECT_EQ(profile_lookup(kIni, "ip", "sms_ip", "", 80), "127.0.0.1,11433");
  EXPECT_EQ(profile_lookup(kIni, "ip", "sms_pw", "", 80), "ab");
  EXPECT_EQ(profile_lookup(kIni, "ip", "quoted_one_side", "", 80), "\"abc");
  EXPECT_EQ(profile_lookup(kIni, "ip", "inner", "", 80), "a \"b\" c");
  // Present but empty, present without '=', missing key, missing section: value or default.
  EXPECT_EQ(profile_lookup(kIni, "ip", "empty", "d", 80), "");
  EXPECT_EQ(profile_lookup(kIni, "ip", "novalue", "d", 80), "");
  EXPECT_EQ(profile_lookup(kIni, "ip", "sms_xx", "d", 80), "d");
  EXPECT_EQ(profile_lookup(kIni, "nosection", "sms_id", "", 80), "");
  // Only the first section of a name is searched.
  EXPECT_EQ(profile_lookup(kIni, "ip", "sftp_id", "", 80), "");
  // An empty file (what a missing file reads as) gives the default.
  EXPECT_EQ(profile_lookup("", "ip", "sms_id", "", 80), "");
}

TEST(ProfileReader, KeepsAtMostBufferSizeMinusOneBytes) {
  std::string value(100, 'x');
  value[78] = 'L';  // the last byte kept
  std::string ini = "[ip]\nsms_id=" + value + "\n";
  std::string got = profile_lookup(ini, "ip", "sms_id", "", 80);
  EXPECT_EQ(got.size(), 79u);
  EXPECT_EQ(got.back(), 'L');
  EXPECT_EQ(profile_lookup("[ip]\nk=" + std::string(79, 'y'), "ip", "k", "", 80).size(), 79u);
  // LF-only line ends, a UTF-8 byte order mark, NULs inside a value are kept as bytes.
  EXPECT_EQ(profile_lookup("\xEF\xBB\xBF[ip]\nk=v", "ip", "k", "", 80), "v");
  EXPECT_EQ(profile_lookup(std::string("[ip]\nk=a\0b\n", 11), "ip", "k", "", 80),
            std::string("a\0b", 3));
}

// Through the platform's reader: 79 bytes of the code page, but never half a character.
TEST(ProfileReader, NeverCutsAMultiByteCharacterInHalf) {
  platform::posix::PosixPlatform p;
  if (p.codeset() != "UTF-8") GTEST_SKIP() << "needs a UTF-8 locale, have " << p.codeset();
  const std::string path = ::testing::TempDir() + "/taviksms_profile_cut.ini";
  auto value_of = [&](const std::string& value) {
    std::ofstream(path, std::ios::binary) << "[ip]\r\nk=" << value << "\r\n";
    return p.read_profile_string("ip", "k", "", 80, path);
  };
  const std::string han = "\xED\x95\x9C";  // one Korean syllable, three bytes
  std::string korean;
  for (int i = 0; i < 30; ++i) korean += han;
  EXPECT_EQ(value_of(korean), korean.substr(0, 78));  // 26 syllables; the 27th does not fit
  EXPECT_EQ(value_of("a" + korean), ("a" + korean).substr(0, 79));  // ends on a boundary
  EXPECT_EQ(value_of("ab" + korean), ("ab" + korean).substr(0, 77));
  const std::string emoji = "\xF0\x9F\x98\x80";  // four bytes
  EXPECT_EQ(value_of(std::string(77, 'x') + emoji), std::string(77, 'x'));
  EXPECT_EQ(value_of(std::string(100, 'x')), std::string(79, 'x'));
  EXPECT_EQ(core::utf8_to_utf16(value_of(korean)).find(u'\uFFFD'), std::u16string::npos);
  std::remove(path.c_str());
}

// Names on disk need not be valid UTF-8: every byte survives from_ansi and back.
TEST(CodePage, BytesThatAreNotTextRoundTrip) {
  platform::posix::PosixPlatform p;
  if (p.codeset() != "UTF-8") GTEST_SKIP() << "needs a UTF-8 locale, have " << p.codeset();
  const std::string odd = "/tmp/caf\xE9/\xED\x95\x9C\xB0\xA1/\xED\xA0\x80/\xF0\x9F\x98\x80\xFF";
  const std::u16string wide = p.from_ansi(odd);
  EXPECT_EQ(wide, u"/tmp/caf\xDCE9/한\xDCB0\xDCA1/\xDCED\xDCA0\xDC80/\U0001F600\xDCFF");
  EXPECT_EQ(p.to_ansi(wide), odd);
  // Other lone surrogates have no byte of their own.
  EXPECT_EQ(p.to_ansi(std::u16string{char16_t(0xD800), u'b', char16_t(0xDC00)}),
            "\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

TEST(MaskedSecret, KeepsCharactersThreeFiveSeven) {
  EXPECT_EQ(core::unmask_secret(u"xyAzBwC"), u"ABC");
  EXPECT_EQ(core::unmask_secret(u"xyAzBwCq"), u"ABC");  // one trailing filler
  EXPECT_EQ(core::unmask_secret(u"xyA"), u"A");
  EXPECT_EQ(core::unmask_secret(u"xy"), u"");
  EXPECT_EQ(core::unmask_secret(u""), u"");
}

// A platform with no folder the user may keep ip1.ini in (Windows: DLL folder read-only and
// LOCALAPPDATA unusable): the fetch is a failed download, and no mirror is asked.
class NoConfigFolder : public platform::posix::PosixPlatform {
 public:
  std::u16string config_folder() override { return {}; }
  int download_to_file(const std::string& url, const std::string&) override {
    asked.push_back(url);
    return -1;
  }
  std::vector<std::string> asked;
};

TEST(ConfigFetch, NoFolderForTheFileIsADownloadErrorAndAsksNoMirror) {
  NoConfigFolder none;
  platform::ScopedPlatformOverride use(none);
  core::ModuleState& state = core::module_state();
  state.config.db_user = u"kept";
  EXPECT_EQ(core::config_fetch(), u"IP Download Error");
  EXPECT_TRUE(none.asked.empty()) << none.asked.front();
  EXPECT_EQ(state.config.db_user, u"kept");  // nothing read, nothing changed
  state.config.db_user.clear();
}

TEST(ConnString, BuiltInFixedOrderAndTranslatedForTheDriver) {
  std::u16string ado = core::build_conn_string(u"127.0.0.1,11433", u"sms_app", u"p;w}d");
  EXPECT_EQ(ado,
            u"Provider=SQLOLEDB;Initial Catalog=sms;Data Source=127.0.0.1,11433;User ID=sms_app;"
            u"Password=p;w}d;");
  // A "}" goes bare where it can: FreeTDS does not undo "}}" inside braces.
  EXPECT_EQ(platform::odbc::translate_conn_string(
                core::build_conn_string(u"db.example, 1500", u"u}", u"pw}x")),
            u"Driver={FreeTDS};Server={db.example};Port={1500};Database={sms};UID=u};"
            u"PWD=pw}x;TDS_Version=7.4;ClientCharset=UTF-8");
  // The password is the last item: a ";" of its own stays in it.
  EXPECT_EQ(platform::odbc::parse_conn_string(ado).password, u"p;w}d");
  EXPECT_EQ(platform::odbc::parse_conn_string(ado).user, u"sms_app");
  EXPECT_EQ(platform::odbc::translate_conn_string(ado),
            u"Driver={FreeTDS};Server={127.0.0.1};Port={11433};Database={sms};UID={sms_app};"
            u"PWD={p;w}d};TDS_Version=7.4;ClientCharset=UTF-8");
  // Without a port the driver's default applies; an empty server stays empty.
  EXPECT_EQ(platform::odbc::translate_conn_string(core::build_conn_string(u"", u"", u"")),
            u"Driver={FreeTDS};Server={};Database={sms};UID={};PWD={};TDS_Version=7.4;"
            u"ClientCharset=UTF-8");
}

// What each driver reads back from a quoted value: FreeTDS ends a braced value at the first "}"
// followed by ";" and keeps "}}"; the Microsoft drivers end it at an undoubled "}" and undo "}}";
// both read a bare value up to ";" as it is.
std::u16string read_back(std::u16string_view item, bool freetds) {
  if (item.empty() || item.front() != u'{') return std::u16string(item.substr(0, item.find(u';')));
  std::u16string out;
  for (std::size_t i = 1; i < item.size(); ++i) {
    if (item[i] != u'}') {
      out.push_back(item[i]);
    } else if (freetds) {
      if (i + 1 == item.size() || item[i + 1] == u';') return out;
      out.push_back(u'}');
    } else {
      if (i + 1 < item.size() && item[i + 1] == u'}') {
        out.push_back(u'}');
        ++i;
      } else {
        return out;
      }
    }
  }
  return u"<unterminated>";
}

TEST(ConnString, ValuesQuotedSoBothDriverFamiliesReadThemBack) {
  using platform::odbc::odbc_value;
  for (std::u16string v : {u"tavik2024db", u"pa}ss", u"pa;ss", u" pass", u"pass ", u"}pass",
                           u"pa}}ss", u"", u"a=b", u"비밀}번호"}) {
    for (bool freetds : {true, false}) {
      std::u16string item = odbc_value(v, freetds) + u";TDS_Version=7.4";
      EXPECT_EQ(read_back(item, true), v) << core::utf16_to_utf8(item) << " (FreeTDS)";
      EXPECT_EQ(read_back(item, false), v) << core::utf16_to_utf8(item) << " (Microsoft)";
    }
  }
  // A "}" with a ";" or a leading "{": no spelling serves both, each driver gets its own.
  for (std::u16string both : {u"p;w}d", u"{pass}", u" pa}ss"}) {
    EXPECT_EQ(read_back(odbc_value(both, true) + u";", true), both);
    EXPECT_EQ(read_back(odbc_value(both, false) + u";", false), both);
  }
}

// The server's PRELOGIN answer is untrusted input: any option table, truncated or not, gives an
// answer or -1, never a read outside it.
TEST(PreloginProbe, EncryptionAnswerOfAnyOptionTable) {
  using platform::odbc::prelogin_encryption_answer;
  const std::vector<std::pair<std::vector<std::uint8_t>, int>> cases = {
      {{0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF, 16, 0, 0, 0, 0, 0, 0x00},
       0},
      {{0x01, 0x00, 0x06, 0x00, 0x01, 0xFF, 0x03}, 3},
      {{0x00, 0x00, 0x06, 0x00, 0x00, 0xFF}, -1},        // no ENCRYPTION option
      {{0x01, 0x00, 0x40, 0x00, 0x01, 0xFF}, -1},        // offset past the end
      {{0x01, 0x00, 0x06, 0x00, 0x00, 0xFF, 0x00}, -1},  // no byte for it
      {{0x01, 0x00}, -1},                                // table cut short
      {{}, -1},
      {std::vector<std::uint8_t>(400, 0x00), -1},  // never terminated
  };
  for (const auto& [payload, expected] : cases) {
    EXPECT_EQ(prelogin_encryption_answer(payload), expected) << payload.size();
  }
  const std::vector<std::uint8_t> request = platform::odbc::prelogin_probe_request();
  ASSERT_EQ(request.size(), std::size_t{request[3]});
  EXPECT_EQ(prelogin_encryption_answer(std::span(request).subspan(8)), 0);  // asks "off"
}

TEST(Diagnostics, DriverPrefixesAreStripped) {
  using platform::odbc::strip_diag_prefix;
  EXPECT_EQ(strip_diag_prefix(u"[unixODBC][FreeTDS][SQL Server]Login failed for user 'x'."),
            u"Login failed for user 'x'.");
  EXPECT_EQ(strip_diag_prefix(u"[FreeTDS][SQL Server]a [bracket] inside"), u"a [bracket] inside");
  EXPECT_EQ(strip_diag_prefix(u"plain message"), u"plain message");
  EXPECT_EQ(strip_diag_prefix(u"[unterminated"), u"[unterminated");
  // The server's own text may start with brackets: everything after "[SQL Server]" is kept.
  EXPECT_EQ(strip_diag_prefix(u"[unixODBC][FreeTDS][SQL Server][안내] 잔액 [x]"),
            u"[안내] 잔액 [x]");
  EXPECT_EQ(strip_diag_prefix(u"[Microsoft][ODBC Driver 17 for SQL Server][SQL Server][a]b"),
            u"[a]b");
  // Messages of the driver chain itself carry no server part.
  EXPECT_EQ(strip_diag_prefix(u"[unixODBC][Driver Manager]Data source name not found"),
            u"Data source name not found");
}

// The trace's connection string: the password hidden whole, whatever it holds, read as the driver
// reads the items (a braced value to the first "}" that ";" or the end follows).
TEST(Diagnostics, TheTracedConnectionStringHidesThePasswordWhole) {
  struct Case {
    std::u16string user, password;
  };
  const Case cases[] = {{u"u", u"plain"},   {u"u", u"a;TDS_Version=7.4;b"},
                        {u"u", u"x;PWD=y"}, {u"u", u"has}brace"},
                        {u"u", u"}x;y}"},   {u"u", u""},
                        {u"u", u" edge "}};
  for (const auto& c : cases) {
    const std::u16string ado = u"Provider=SQLOLEDB;Initial Catalog=sms;Data Source=h,1;User ID=" +
                               c.user + u";Password=" + c.password + u";";
    const std::string masked =
        platform::odbc::masked_conn_string(platform::odbc::translate_conn_string(ado));
    const std::string pw = core::utf16_to_utf8(c.password);
    if (pw.size() > 2) {
      EXPECT_EQ(masked.find(pw), std::string::npos) << masked;
    }
    EXPECT_NE(masked.find("PWD=***(" + std::to_string(c.password.size()) + ")"), std::string::npos)
        << masked;
    EXPECT_NE(masked.find(";TDS_Version=7.4;ClientCharset=UTF-8"), std::string::npos) << masked;
  }
  // A user name holding ";PWD=" is a value of its own, not the password.
  EXPECT_EQ(platform::odbc::masked_conn_string(u"UID={u;PWD=x};PWD={secret};TDS_Version=7.4"),
            "UID={u;PWD=x};PWD=***(6);TDS_Version=7.4");
}

// A server message is read whole as far as ODBC carries it (32,766 characters and its NUL), also
// when the driver's 16-bit length of a longer one has gone round (FreeTDS reports it negative).
TEST(Diagnostics, LongMessagesAreReadWholeUpToWhatOdbcCarries) {
  for (const std::size_t size : {0u, 10u, 1023u, 1024u, 5000u, 32766u, 32767u, 32800u, 65000u}) {
    const std::u16string message(size, u'm');
    int calls = 0;
    auto driver = [&](char16_t* buffer, short capacity, short* length) -> short {
      ++calls;
      const std::size_t fits = std::min<std::size_t>(message.size(), capacity - 1);
      std::copy_n(message.begin(), fits, buffer);
      buffer[fits] = u'\0';
      *length = static_cast<short>(message.size());
      return message.size() < static_cast<std::size_t>(capacity) ? 0
                                                                 : 1;  // SQL_SUCCESS(_WITH_INFO)
    };
    const auto read = platform::odbc::read_diag_text(driver);
    ASSERT_TRUE(read.has_value()) << size;
    EXPECT_EQ(*read, message.substr(0, 32766)) << size;
    EXPECT_LE(calls, 2) << size;
  }
  EXPECT_FALSE(
      platform::odbc::read_diag_text([](char16_t*, short, short*) -> short { return -1; }));
}

TEST(BaseFileName, PartAfterTheLastBackslash) {
  EXPECT_EQ(upload::base_file_name(u"C:\\pics\\a\\Photo.JPG"), u"Photo.JPG");
  EXPECT_EQ(upload::base_file_name(u"photo.jpg"), u"photo.jpg");
  EXPECT_EQ(upload::base_file_name(u"C:\\pics\\"), u"");
  EXPECT_EQ(upload::base_file_name(u"/unix/path.jpg"), u"/unix/path.jpg");
  EXPECT_EQ(upload::base_file_name(u"/unix/path.jpg", u'/'), u"path.jpg");
  EXPECT_EQ(upload::base_file_name(u"/unix\\dir/", u'/'), u"");
}

TEST(Value, RoundsHalfToEven) {
  auto r = [](std::u16string_view t) { return db::Value::decimal(std::u16string(t)).to_int32(); };
  EXPECT_EQ(r(u"100000.0000"), 100000);
  EXPECT_EQ(r(u"2.5000"), 2);
  EXPECT_EQ(r(u"3.5"), 4);
  EXPECT_EQ(r(u"-2.5"), -2);
  EXPECT_EQ(r(u"-3.5"), -4);
  EXPECT_EQ(r(u"2.5001"), 3);
  EXPECT_EQ(r(u"2.4999"), 2);
  EXPECT_EQ(r(u"0.5"), 0);
  EXPECT_EQ(r(u"-0.5"), 0);
  EXPECT_EQ(r(u"2147483647.4999"), 2147483647);
  EXPECT_EQ(r(u"-2147483648.5"), -2147483648);
  EXPECT_EQ(db::Value::floating(u"1.25e2").to_int32(), 125);
  EXPECT_EQ(db::Value::floating(u"2.5e0").to_int32(), 2);
}

TEST(Value, ConversionErrorsAreTheRuntimeErrors) {
  auto number_of = [](const db::Value& v) {
    try {
      v.to_int32();
    } catch (const core::Error& e) {
      return e.number();
    }
    return 0;
  };
  EXPECT_EQ(number_of(db::Value::null()), core::err::kInvalidUseOfNull);
  EXPECT_EQ(number_of(db::Value::decimal(u"2147483647.5")), core::err::kOverflow);
  EXPECT_EQ(number_of(db::Value::decimal(u"-2147483649")), core::err::kOverflow);
  EXPECT_EQ(number_of(db::Value::integer(1LL << 40)), core::err::kOverflow);
  EXPECT_EQ(number_of(db::Value::text(u"abc")), core::err::kTypeMismatch);
  EXPECT_EQ(number_of(db::Value::text(u"")), core::err::kTypeMismatch);
  EXPECT_THROW(db::Value::null().to_text(), core::Error);
  EXPECT_EQ(db::Value::decimal(u"100000.5000").to_text(), u"100000.5");
  EXPECT_EQ(db::Value::decimal(u"100000.0000").to_text(), u"100000");
  EXPECT_EQ(db::Value::decimal(u"-.5000").to_text(), u"-0.5");
  EXPECT_EQ(db::Value::integer(-7).to_text(), u"-7");
  EXPECT_EQ(db::Value().to_text(), u"");
}

TEST(Text, Utf8AndUtf16AtTheEdges) {
  EXPECT_EQ(core::utf8_to_utf16("한국 \xF0\x9F\x98\x80"), u"한국 \U0001F600");
  EXPECT_EQ(core::utf16_to_utf8(u"한국 \U0001F600"), "한국 \xF0\x9F\x98\x80");
  std::u16string lone = u"a";
  lone.push_back(0xD800);
  lone.push_back(u'b');
  lone.push_back(0xDC00);
  EXPECT_EQ(core::utf16_to_utf8(lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(core::utf8_to_utf16("\xFF"
                                "a\xE2\x82"),
            u"\uFFFDa\uFFFD");
  EXPECT_EQ(core::utf8_to_utf16("\xED\xA0\x80"), u"\uFFFD");  // encoded surrogate
  EXPECT_EQ(core::utf8_to_utf16(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_TRUE(core::iequals(u"@RETURN_VALUE", u"@return_value"));
  EXPECT_FALSE(core::iequals(u"@user_id", u"@user_i"));
}

}  // namespace
}  // namespace taviksms
