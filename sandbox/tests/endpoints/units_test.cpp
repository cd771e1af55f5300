// Pure logic of the endpoints: password masking, upload names, mode names, the command line.
#include <gtest/gtest.h>

#include <set>

#include "control/options.h"
#include "mirrors/ini.h"
#include "mirrors/mirrors.h"
#include "sftp/sftp_server.h"
#include "sftp/upload_names.h"

namespace sandbox {
namespace {

TEST(PasswordMask, RealCharactersSitAtOddPositionsWithFreshFiller) {
  std::mt19937_64 rng(7);
  for (std::string real : {"", "a", "tavik2024db", "p@ss w=rd;#"}) {
    std::string masked = mask_password(real, rng);
    ASSERT_EQ(masked.size(), real.size() * 2 + 2) << real;
    for (std::size_t k = 0; k < real.size(); ++k) EXPECT_EQ(masked[2 + 2 * k], real[k]);
    EXPECT_EQ(unmask_password(masked), real);
    for (std::size_t i = 0; i < masked.size(); ++i) {
      bool filler = i < 2 || i % 2 == 1 || i == masked.size() - 1;
      if (filler) {
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(masked[i]))) << masked;
      }
    }
  }
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) seen.insert(mask_password("tavik2024db", rng));
  EXPECT_GT(seen.size(), 15u);
}

TEST(Ini, LinesInOrderWithCrLfAndOptionalSmsId) {
  MirrorEndpoints e{"127.0.0.1", 1433, "u1", "pw1", "127.0.0.1", 2222, "s1", "pw2"};
  std::mt19937_64 rng(1);
  std::string ini = render_ini(e, true, rng);
  EXPECT_TRUE(ini.starts_with("[ip]\r\nsms_id=u1\r\nsms_ip=127.0.0.1,1433\r\nsms_pw="));
  EXPECT_NE(ini.find("\r\nsftp_id=s1\r\nsftp_ip=127.0.0.1\r\nsftp_pt=2222\r\nsftp_pw="),
            std::string::npos);
  EXPECT_TRUE(ini.ends_with("\r\n"));
  EXPECT_EQ(ini.find("\n"), ini.find("\r\n") + 1);  // no bare LF anywhere before the first CRLF
  std::string without = render_ini(e, false, rng);
  EXPECT_EQ(without.find("sms_id="), std::string::npos);
  EXPECT_NE(without.find("sms_ip=127.0.0.1,1433\r\n"), std::string::npos);
}

TEST(UploadNames, BareDotSlashAndRootSlashFormsOnly) {
  EXPECT_EQ(upload_name("a.jpg"), "a.jpg");
  EXPECT_EQ(upload_name("./a.jpg"), "a.jpg");
  EXPECT_EQ(upload_name("/a.jpg"), "a.jpg");
  EXPECT_EQ(upload_name("/./a.jpg"), "a.jpg");  // OpenSSH: put x ./a.jpg
  EXPECT_EQ(upload_name("20240301_photo 1.JPG"), "20240301_photo 1.JPG");
  for (const char* bad : {"",      ".",    "/",     "./",     "..",     "../a",   "a/../b",
                          "/../a", "a..b", "//a",   "/tmp/a", "sub/a",  "a\\b",   "..\\a",
                          "C:\\a", "a\nb", "././a", "/./",    "/././a", "/./../a"}) {
    EXPECT_FALSE(upload_name(bad).has_value()) << bad;
  }
  EXPECT_TRUE(is_root_path("."));
  EXPECT_TRUE(is_root_path("/"));
  EXPECT_FALSE(is_root_path("/a"));
}

TEST(ModeNames, RoundTrip) {
  for (auto m : {MirrorMode::Up, MirrorMode::Down, MirrorMode::NotFound, MirrorMode::ServerError,
                 MirrorMode::NoSmsId, MirrorMode::Hang, MirrorMode::Html, MirrorMode::Binary,
                 MirrorMode::Custom}) {
    EXPECT_EQ(parse_mirror_mode(mirror_mode_name(m)), m);
  }
  for (auto m : {SftpMode::Up, SftpMode::RefuseWrites, SftpMode::Mute}) {
    EXPECT_EQ(parse_sftp_mode(sftp_mode_name(m)), m);
  }
  EXPECT_FALSE(parse_mirror_mode("UP"));
  EXPECT_FALSE(parse_sftp_mode("refuse"));
}

TEST(Options, DefaultsOverridesAndEphemeral) {
  auto p = parse_options({"--data", "/x"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_EQ(p.options->mirror_ports, (std::array<std::uint16_t, 3>{18081, 18082, 18083}));
  EXPECT_EQ(p.options->tds_port, 11433);
  EXPECT_EQ(p.options->sftp_port, 12222);
  EXPECT_EQ(p.options->control_port, 18090);
  EXPECT_EQ(p.options->db_user, "sms_app");
  EXPECT_EQ(p.options->sftp_password, "tavik2024ftp");

  p = parse_options({"--data=/d", "--mirror-ports", "1,2,0", "--tds-port", "5", "--sftp-port=6",
                     "--control-port", "7", "--reset", "--db-user", "u", "--db-password", "",
                     "--sftp-user", "s", "--sftp-password", "q", "--clock", "2024-03-01 09:30:00"});
  ASSERT_TRUE(p.options) << p.error;
  EXPECT_EQ(p.options->data_dir, "/d");
  EXPECT_EQ(p.options->mirror_ports, (std::array<std::uint16_t, 3>{1, 2, 0}));
  EXPECT_EQ(p.options->tds_port, 5);
  EXPECT_EQ(p.options->sftp_port, 6);
  EXPECT_EQ(p.options->control_port, 7);
  EXPECT_TRUE(p.options->reset);
  EXPECT_EQ(p.options->db_password, "");
  EXPECT_EQ(p.options->clock, "2024-03-01 09:30:00");

  p = parse_options({"--tds-port", "5", "--ephemeral", "--data", "/d"});
  ASSERT_TRUE(p.options);
  EXPECT_EQ(p.options->tds_port, 0);
  EXPECT_EQ(p.options->mirror_ports, (std::array<std::uint16_t, 3>{0, 0, 0}));

  EXPECT_TRUE(parse_options({"--help"}).options->help);
}

TEST(Options, LimitsTakeSecondsAndSizes) {
  auto p = parse_options({"--data", "/d"});
  ASSERT_TRUE(p.options) << p.error;
  const Options::Limits defaults = p.options->limits;
  EXPECT_EQ(defaults.http_max_connections, 128u);
  EXPECT_EQ(defaults.max_body, 1u << 20);
  EXPECT_EQ(defaults.tds_max_message, 8u << 20);
  EXPECT_EQ(defaults.sftp_max_sessions, 64u);
  EXPECT_LT(defaults.sftp_auth_timeout, 120);

  p = parse_options({"--data",
                     "/d",
                     "--http-head-timeout",
                     "0.5",
                     "--http-body-timeout=2",
                     "--http-idle-timeout",
                     "1",
                     "--http-max-connections",
                     "7",
                     "--max-body",
                     "64k",
                     "--tds-max-connections",
                     "3",
                     "--tds-login-timeout",
                     "1.25",
                     "--tds-idle-timeout",
                     "9",
                     "--tds-message-timeout",
                     "4",
                     "--tds-max-message",
                     "2M",
                     "--sftp-max-sessions",
                     "5",
                     "--sftp-auth-timeout",
                     "3",
                     "--call-log-bytes",
                     "1000"});
  ASSERT_TRUE(p.options) << p.error;
  const Options::Limits& l = p.options->limits;
  EXPECT_DOUBLE_EQ(l.http_head_timeout, 0.5);
  EXPECT_DOUBLE_EQ(l.http_body_timeout, 2);
  EXPECT_DOUBLE_EQ(l.http_idle_timeout, 1);
  EXPECT_EQ(l.http_max_connections, 7u);
  EXPECT_EQ(l.max_body, 64u * 1024);
  EXPECT_EQ(l.tds_max_connections, 3u);
  EXPECT_DOUBLE_EQ(l.tds_login_timeout, 1.25);
  EXPECT_DOUBLE_EQ(l.tds_idle_timeout, 9);
  EXPECT_DOUBLE_EQ(l.tds_message_timeout, 4);
  EXPECT_EQ(l.tds_max_message, 2u << 20);
  EXPECT_EQ(l.sftp_max_sessions, 5u);
  EXPECT_DOUBLE_EQ(l.sftp_auth_timeout, 3);
  EXPECT_EQ(l.call_log_bytes, 1000u);
}

TEST(Options, RejectsBadInputWithOneLine) {
  for (std::vector<std::string> bad :
       std::vector<std::vector<std::string>>{{},
                                             {"--data"},
                                             {"--data", "/d", "--bogus"},
                                             {"--data", "/d", "--tds-port", "65536"},
                                             {"--data", "/d", "--tds-port", "12x"},
                                             {"--data", "/d", "--mirror-ports", "1,2"},
                                             {"--data", "/d", "--mirror-ports", "1,2,3,4"},
                                             {"--data", "/d", "--clock", "2024-03-01"},
                                             {"--data", "/d", "--clock", "2024-13-01 00:00:00"},
                                             {"--data", "/d", "--reset=1"},
                                             {"--data", "/d", "--http-head-timeout", "0"},
                                             {"--data", "/d", "--http-idle-timeout", "-1"},
                                             {"--data", "/d", "--tds-idle-timeout", "5s"},
                                             {"--data", "/d", "--max-body", "0"},
                                             {"--data", "/d", "--max-body", "1G"},
                                             {"--data", "/d", "--tds-max-connections"},
                                             {"--data", "/d", "--call-log-bytes", "-4M"}}) {
    auto p = parse_options(bad);
    EXPECT_FALSE(p.options.has_value());
    EXPECT_FALSE(p.error.empty());
    EXPECT_EQ(p.error.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace sandbox
