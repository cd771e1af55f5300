// The history window of TavikSmsDll.dll (x86_64) under Wine on a virtual X server: a program of
// ours (hist_window_probe.exe) calls SmsHist on the registered object and drives the real window
// by its messages from a second thread; this side checks what it saw, the saved file's bytes
// and the window's geometry in twips, and keeps a screenshot of the window after the query.
// A prefix of its own, with a display (GUI runs need one for the wineserver's whole life).
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using taviksms::testing::run_command;

std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::map<std::string, std::string> keyed(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t sp = line.find(' ');
    out.emplace(line.substr(0, sp), sp == std::string::npos ? "" : line.substr(sp + 1));
  }
  return out;
}

std::string to_cp949(const std::string& utf8) {
  iconv_t cd = iconv_open("CP949", "UTF-8");
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size(), out_left = out.size();
  char* o = out.data();
  iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

// A 24-bit bottom-up BMP as an RGB PNG.
bool bmp_to_png(const fs::path& bmp, const fs::path& png) {
  const std::string b = read_file(bmp);
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
  auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(
        static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8 |
        static_cast<unsigned char>(b[at + 2]) << 16 | static_cast<unsigned char>(b[at + 3]) << 24);
  };
  const std::uint32_t offset = u32(10), width = u32(18), height = u32(22);
  const std::size_t stride = (width * 3 + 3) & ~3u;
  if (b.size() < offset + stride * height) return false;
  std::string raw;
  for (std::uint32_t y = 0; y < height; ++y) {
    raw += '\0';
    const std::size_t row = offset + stride * (height - 1 - y);
    for (std::uint32_t x = 0; x < width; ++x) {
      raw += b[row + x * 3 + 2];
      raw += b[row + x * 3 + 1];
      raw += b[row + x * 3];
    }
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string z(size, '\0');
  compress2(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);
  z.resize(size);
  auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    const std::string td = type + data;
    return be32(static_cast<std::uint32_t>(data.size())) + td +
           be32(static_cast<std::uint32_t>(
               crc32(0, reinterpret_cast<const Bytef*>(td.data()), static_cast<uInt>(td.size()))));
  };
  std::string ihdr = be32(width) + be32(height) + std::string("\x08\x02\x00\x00\x00", 5);
  std::ofstream out(png, std::ios::binary);
  out << "\x89PNG\r\n\x1a\n" << chunk("IHDR", ihdr) << chunk("IDAT", z) << chunk("IEND", "");
  return static_cast<bool>(out);
}

// taviksms-sandbox with its mirrors on the fixed ports the Windows test build was configured
// with, everything else on ports the system picks.
class FixedMirrorSandbox {
 public:
  explicit FixedMirrorSandbox(const fs::path& dir) {
    fs::create_directories(dir / "data");
    const fs::path log = dir / "stdout.txt";
    pid_ = fork();
    if (pid_ == 0) {
      std::FILE* f = std::freopen(log.c_str(), "w", stdout);
      (void)f;
      execl(TAVIKSMS_SANDBOX_EXE, TAVIKSMS_SANDBOX_EXE, "--data", (dir / "data").c_str(),
            "--mirror-ports", TAVIKSMS_WINE_MIRROR_PORTS, "--tds-port", "0", "--sftp-port", "0",
            "--control-port", "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
      const std::string text = read_file(log);
      const std::size_t at = text.find("control http://127.0.0.1:");
      if (text.find("ready") != std::string::npos && at != std::string::npos) {
        control_ = "127.0.0.1:" + std::to_string(std::stoi(text.substr(at + 25)));
        return;
      }
      std::this_thread::sleep_for(50ms);
    }
    throw std::runtime_error("sandbox did not start: " + read_file(log));
  }
  ~FixedMirrorSandbox() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& control() const { return control_; }
  int post(const std::string& path) {
    auto r = run_command({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-d", "",
                          "http://" + control_ + path});
    return r.out.empty() ? 0 : std::stoi(r.out);
  }

 private:
  pid_t pid_ = -1;
  std::string control_;
};

// Xvfb on the first free display from :90.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    for (int n = 90; n < 140; ++n) {
      if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
          fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) {
        continue;
      }
      display_ = ":" + std::to_string(n);
      pid_ = fork();
      if (pid_ == 0) {
        std::FILE* f = std::freopen("/dev/null", "w", stderr);
        (void)f;
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int i = 0; i < 100; ++i) {
        if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) return;
        std::this_thread::sleep_for(50ms);
      }
      throw std::runtime_error("Xvfb did not start");
    }
    throw std::runtime_error("no free display");
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& display() const { return display_; }

 private:
  std::string display_;
  pid_t pid_ = -1;
};

TEST(WineWindow, HistoryWindowDrivenByItsMessages) {
  if (run_command({"/bin/sh", "-c", "command -v Xvfb"}).exit_code != 0) {
    GTEST_SKIP() << "Xvfb is not installed (scripts/setup installs it)";
  }
  VirtualDisplay x;
  const fs::path root = fs::temp_directory_path() /
                        ("taviksms-wine-window-" TAVIKSMS_WINE_ARCH "-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  for (const char* f : {"TavikSmsDll.dll", "hist_window_probe.exe"}) {
    fs::copy_file(fs::path(TAVIKSMS_WINE_BIN_DIR) / f, root / "bin" / f);
  }
  // Code page 949 for the saved file; dates formatted the "yyyy/MM/dd" way, which the sandbox
  // reads (Wine's Korean user locale separates with ". ").
  const std::vector<std::string> env = {"WINEPREFIX=" + (root / "prefix").string(),
                                        "WINEARCH=win64",
                                        "WINEDEBUG=-all",
                                        "WINEDLLOVERRIDES=mscoree,mshtml=",
                                        "DISPLAY=" + x.display(),
                                        "LC_ALL=",
                                        "LANG=en_US.UTF-8",
                                        "LC_CTYPE=ko_KR.UTF-8"};
  auto wine = [&](const std::string& args, std::chrono::seconds limit = 120s) {
    const fs::path out = root / "out.txt";
    run_command({"/bin/sh", "-c",
                 "cd '" + (root / "bin").string() + "' && " + TAVIKSMS_WINE64 + " " + args + " >'" +
                     out.string() + "' 2>&1 </dev/null"},
                "", limit, env);
    return read_file(out);
  };
  wine("wineboot -i", 300s);
  // No window manager: unmanaged windows (no 2 s wait per hide); "굴림" drawn by NanumGothic.
  const std::string reg =
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n\"Managed\"=\"N\"\r\n"
      "\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n"
      "\"\xea\xb5\xb4\xeb\xa6\xbc\"=\"NanumGothic\"\r\n\"Gulim\"=\"NanumGothic\"\r\n";
  std::u16string reg16 = u"\xFEFF";
  {
    iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
    std::string out(reg.size() * 4, '\0');
    char* in = const_cast<char*>(reg.data());
    std::size_t il = reg.size(), ol = out.size();
    char* o = out.data();
    iconv(cd, &in, &il, &o, &ol);
    iconv_close(cd);
    out.resize(out.size() - ol);
    reg16.append(reinterpret_cast<const char16_t*>(out.data()), out.size() / 2);
  }
  std::ofstream(root / "bin" / "settings.reg", std::ios::binary)
      .write(reinterpret_cast<const char*>(reg16.data()),
             static_cast<std::streamsize>(reg16.size() * 2));
  wine("regedit /S settings.reg");
  run_command({TAVIKSMS_WINESERVER64, "-w"}, "", 60s, env);
  // The architecture's own regsvr32 (syswow64's for the 32-bit DLL).
  const bool i686 = std::string(TAVIKSMS_WINE_ARCH) == "i686";
  wine(i686 ? "'C:\\windows\\syswow64\\regsvr32.exe' TavikSmsDll.dll" : "regsvr32 TavikSmsDll.dll");

  FixedMirrorSandbox sandbox(root / "sandbox");
  // The sandbox's sample history of 5 March 2024 (one record of the user "demo").
  ASSERT_EQ(sandbox.post("/clock?set=2024-03-05%2012:00:00"), 200);

  const fs::path target = root / "bin" / "history.xls";
  std::string win_target = "Z:" + target.string();
  for (char& c : win_target) c = c == '/' ? '\\' : c;
  const std::string out =
      wine("hist_window_probe.exe demo demo1234 2024-03-05 '" + win_target + "' shot.bmp", 180s);
  auto k = keyed(out);
  ASSERT_TRUE(k.count("end")) << out;
  EXPECT_EQ(k["login"], "OK");
  EXPECT_EQ(k["smshist_hr"], "0");
  EXPECT_EQ(k["smshist"], "OK");
  EXPECT_EQ(k["host_enabled_during"], "no");  // modal: the host's window was disabled
  EXPECT_EQ(k["host_enabled_after"], "yes");
  EXPECT_EQ(k["title"], "문자 메세지 발송 내역");
  // SmsHist 100, 80, 900, 560 pixels at 96 dpi (15 twips per pixel).
  EXPECT_EQ(k["window"], "1500 1200 13500 8400");
  int gw = 0, gh = 0;
  std::sscanf(k["grid"].c_str(), "%d %d", &gw, &gh);
  EXPECT_NEAR(gw, 13500 - 190, 15) << k["grid"];  // one pixel of rounding
  EXPECT_NEAR(gh, 8400 - 1210, 15) << k["grid"];
  EXPECT_EQ(k["design_rows"], "49");
  EXPECT_EQ(k["header8"], "ID");
  EXPECT_EQ(k["picker1_set"], "1");
  EXPECT_FALSE(k.count("query_error"))
      << out << run_command({"curl", "-s", "http://" + sandbox.control() + "/calls"}).out;
  EXPECT_EQ(k["rows"], "1");
  EXPECT_EQ(k["row1"].substr(0, 17), "1|0212345678|010-");
  EXPECT_NE(k["row1"].find("|2024/03/05 11:30|"), std::string::npos) << k["row1"];
  {
    const std::time_t now = std::time(nullptr);
    char day[16];
    std::strftime(day, sizeof day, "%Y%m%d", std::localtime(&now));
    EXPECT_EQ(k["proposed"], std::string("엑셀(SMS)_") + day + ".xls");
  }
  EXPECT_EQ(k["confirm"], "자료가 저장되었습니다.^~^~파일명:" + win_target);
  // The file: code page 949, tab-separated, CR LF, column 0 left out, tabs in cells blanked.
  const std::string bytes = read_file(target);
  // Korean texts in the ANSI code page Wine took from the locale: 949 where ko_KR is known.
  const std::string header =
      k["acp"] == "949" ? to_cp949("**\t발신번호\t수신번호\t수신자\t발송일시\t메세지\t결과\tID\r\n")
                        : std::string("**\t????\t????\t???\t????\t???\t??\tID\r\n");
  EXPECT_EQ(bytes.substr(0, header.size()), header);
  EXPECT_EQ(bytes.substr(header.size(), 2), "1\t");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\t'), 14);
  EXPECT_EQ(bytes.substr(bytes.size() - 4), "\t2\r\n");

  ASSERT_TRUE(bmp_to_png(root / "bin" / "shot.bmp", TAVIKSMS_WINE_SCREENSHOT));
  run_command({TAVIKSMS_WINESERVER64, "-k"}, "", 60s, env);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
