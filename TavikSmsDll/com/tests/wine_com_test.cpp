// TavikSmsDll.dll (x86_64) under Wine: registration, a VBScript host's session against a real
// sandbox, the registered type library read back, bad arguments, the unload rules, the Windows
// shell, a picture upload over SFTP with the message naming it, a hanging mirror, and
// unregistration. One Wine prefix for the suite; the cases run in order.
//
// Wine facts this leans on: wine64 itself (the /usr/bin/wine wrapper picks the 32-bit loader);
// a persistent wineserver keeps each start at ~0.3 s; output goes to files because Wine's
// background processes keep pipes open; cscript exits 0 after a script error, so every script
// ends with an "end" line that the test requires.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sandbox_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using taviksms::testing::run_command;

constexpr char kClsid[] = "{F6A4A94F-740D-4C5A-A0CC-31E92811A145}";
constexpr char kLibid[] = "{DF19A491-69D8-441E-9487-3E629F8350BD}";
constexpr char kIid[] = "{F94CE89E-73FE-47F3-8584-3F29342DAB00}";

std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// "key rest" lines of a script's output; a repeated key keeps its first value.
std::map<std::string, std::string> keyed(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t sp = line.find(' ');
    std::string key = sp == std::string::npos ? line : line.substr(0, sp);
    out.emplace(key, sp == std::string::npos ? "" : line.substr(sp + 1));
  }
  return out;
}

// A text a script saved with SaveText: UTF-16LE after a byte-order mark.
std::u16string read_utf16(const fs::path& p) {
  std::string bytes = read_file(p);
  if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE') return u"<no text file>";
  std::u16string out;
  for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return out;
}

struct WineResult {
  int exit_code = -1;
  bool timed_out = false;
  std::string out;
};

// A fresh win64 prefix with the DLL and the helper programs copied into a folder of their own
// (the DLL downloads ip1.ini beside itself).
class WinePrefix {
 public:
  WinePrefix() {
    root_ = fs::temp_directory_path() / ("taviksms-wine-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "bin");
    for (const char* f : {"TavikSmsDll.dll", "taviksms.exe", "com_probe.exe"}) {
      fs::copy_file(fs::path(TAVIKSMS_WINE_BIN_DIR) / f, root_ / "bin" / f);
    }
    for (const char* f : {"session.vbs", "bad_input.vbs", "upload.vbs", "login.vbs",
                          "call_forms.vbs", "abandon.vbs"}) {
      fs::copy_file(fs::path(TAVIKSMS_WINE_SCRIPTS_DIR) / f, root_ / "bin" / f);
    }
    env_ = {"WINEPREFIX=" + (root_ / "prefix").string(), "WINEARCH=win64", "WINEDEBUG=-all",
            "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY="};
    auto t0 = std::chrono::steady_clock::now();
    WineResult boot = run({"wineboot", "-i"}, 300s);
    if (boot.exit_code != 0) throw std::runtime_error("wineboot failed: " + boot.out);
    shell(quote(TAVIKSMS_WINESERVER64) + " -p", 30s);
    boot_seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  ~WinePrefix() {
    shell(quote(TAVIKSMS_WINESERVER64) + " -k", 30s);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // A Windows path for a file in the program folder.
  std::string win_path(const std::string& name) const {
    return "Z:" + (root_ / "bin" / name).string();
  }
  // The program folder on the Linux side.
  fs::path bin_dir() const { return root_ / "bin"; }
  // The Linux folder behind the prefix's drive C:.
  fs::path drive_c() const { return root_ / "prefix" / "drive_c"; }
  double boot_seconds() const { return boot_seconds_; }
  std::u16string saved_text(const std::string& name) const {
    return read_utf16(root_ / "bin" / name);
  }

  WineResult run(const std::vector<std::string>& args, std::chrono::seconds timeout = 120s) {
    std::string cmd =
        "cd " + quote((root_ / "bin").string()) + " && exec " + quote(TAVIKSMS_WINE64);
    for (const auto& a : args) cmd += " " + quote(a);
    return shell(cmd, timeout);
  }

  WineResult cscript(const std::string& script) {
    return run({"cscript", "//nologo", win_path(script)});
  }

  // Exit code of "reg query KEY [/v VALUE]" and its output (0: the key or value exists).
  WineResult reg_query(const std::string& key, const std::string& value = "") {
    std::vector<std::string> args = {"reg", "query", key};
    if (!value.empty()) {
      args.push_back("/v");
      args.push_back(value);
    }
    return run(args, 60s);
  }

 private:
  WineResult shell(const std::string& cmd, std::chrono::seconds timeout) {
    fs::path out = root_ / "out.txt";
    auto r = run_command({"/bin/sh", "-c", cmd + " >" + quote(out.string()) + " 2>&1 </dev/null"},
                         "", timeout, env_);
    return WineResult{r.exit_code, r.timed_out, read_file(out)};
  }

  fs::path root_;
  std::vector<std::string> env_;
  double boot_seconds_ = 0;
};

// taviksms-sandbox with its mirrors on the fixed ports the Windows test build was configured
// with, everything else on ports the system picks.
class FixedMirrorSandbox {
 public:
  FixedMirrorSandbox() {
    dir_ = fs::temp_directory_path() / ("taviksms-wine-sandbox-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "data");
    // No extra host key: libssh2 on mbedTLS (the Windows build) has no ed25519 and must agree
    // on the ECDSA key every sandbox offers.
    fs::path log = dir_ / "stdout.txt";
    pid_ = fork();
    if (pid_ == 0) {
      std::FILE* f = std::freopen(log.c_str(), "w", stdout);
      (void)f;
      execl(TAVIKSMS_SANDBOX_EXE, TAVIKSMS_SANDBOX_EXE, "--data", (dir_ / "data").c_str(),
            "--mirror-ports", TAVIKSMS_WINE_MIRROR_PORTS, "--tds-port", "0", "--sftp-port", "0",
            "--control-port", "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::string text = read_file(log);
      if (text.find("ready") != std::string::npos) {
        std::size_t at = text.find("control http://127.0.0.1:");
        if (at != std::string::npos) control_port_ = std::stoi(text.substr(at + 25));
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("sandbox did not start (mirror ports " +
                                 std::string(TAVIKSMS_WINE_MIRROR_PORTS) + " taken?): " + text);
      }
      std::this_thread::sleep_for(50ms);
    }
    throw std::runtime_error("sandbox not ready within 15 s");
  }
  ~FixedMirrorSandbox() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(50ms);
      }
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  json get(const std::string& path) {
    httplib::Client c("127.0.0.1", control_port_);
    auto r = c.Get(path);
    if (!r || r->status != 200) throw std::runtime_error("control GET " + path + " failed");
    return json::parse(r->body);
  }
  void del(const std::string& path) {
    httplib::Client c("127.0.0.1", control_port_);
    c.Delete(path);
  }
  void post(const std::string& path) {
    httplib::Client c("127.0.0.1", control_port_);
    auto r = c.Post(path, "", "text/plain");
    if (!r || r->status != 200) throw std::runtime_error("control POST " + path + " failed");
  }
  // The folder the SFTP server stores uploads in.
  fs::path uploads_dir() const { return dir_ / "data" / "uploads"; }

  // The text (or number as text) of parameter `name` in a call-log entry.
  static std::string param(const json& call, const std::string& name) {
    for (const auto& p : call.at("params")) {
      if (p.at("name").get<std::string>() != name) continue;
      if (p.contains("value")) return p.at("value").dump();
      return p.value("text", "");
    }
    return "<missing>";
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int control_port_ = 0;
};

class WineCom : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new FixedMirrorSandbox();
    wine_ = new WinePrefix();
    std::printf("wine prefix ready in %.1f s\n", wine_->boot_seconds());
  }
  static void TearDownTestSuite() {
    delete wine_;
    delete sandbox_;
    wine_ = nullptr;
    sandbox_ = nullptr;
  }

  // The keys registration writes, under `root` ("HKCR" or "HKCU\Software\Classes").
  static std::vector<std::pair<std::string, std::string>> keys(const std::string& root) {
    return {{root + "\\TavikSmsDll.TavikSms\\CLSID", ""},
            {root + "\\CLSID\\" + kClsid + "\\InprocServer32", "ThreadingModel"},
            {root + "\\CLSID\\" + kClsid + "\\ProgID", ""},
            {root + "\\CLSID\\" + kClsid + "\\VersionIndependentProgID", ""},
            {root + "\\TypeLib\\" + kLibid + "\\1.0\\0\\win64", ""},
            {root + "\\Interface\\" + kIid + "\\ProxyStubClsid32", ""}};
  }

  static FixedMirrorSandbox* sandbox_;
  static WinePrefix* wine_;
};

FixedMirrorSandbox* WineCom::sandbox_ = nullptr;
WinePrefix* WineCom::wine_ = nullptr;

TEST_F(WineCom, A_RegistersClassProgIdTypeLibraryAndApartmentModel) {
  WineResult r = wine_->run({"regsvr32", wine_->win_path("TavikSmsDll.dll")});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  for (const auto& [key, value] : keys("HKCR")) {
    WineResult q = wine_->reg_query(key, value);
    EXPECT_EQ(q.exit_code, 0) << key << "\n" << q.out;
  }
  WineResult tm = wine_->reg_query(std::string("HKCR\\CLSID\\") + kClsid + "\\InprocServer32",
                                   "ThreadingModel");
  EXPECT_NE(tm.out.find("Apartment"), std::string::npos) << tm.out;
  WineResult server = wine_->reg_query(std::string("HKCR\\CLSID\\") + kClsid + "\\InprocServer32");
  EXPECT_NE(server.out.find("TavikSmsDll.dll"), std::string::npos) << server.out;
}

TEST_F(WineCom, B_VbscriptSessionLoginBalanceSendRejectedLoginLogout) {
  sandbox_->del("/calls");
  json before = sandbox_->get("/messages");
  WineResult r = wine_->cscript("session.vbs");
  auto out = keyed(r.out);
  ASSERT_TRUE(out.count("end")) << "script stopped early:\n" << r.out;
  EXPECT_EQ(out["typename"], "_TavikSms");
  EXPECT_EQ(out["login"], "OK");
  EXPECT_EQ(out["janek"], "100000");
  EXPECT_EQ(out["send"], "OK");
  EXPECT_EQ(out["janek_after"], "99960");  // two SMS at 20 each
  EXPECT_EQ(out["logout"], "OK");
  EXPECT_EQ(out["rejected"], "saved");
  EXPECT_EQ(wine_->saved_text("rejected.txt"), u"비밀번호가 일치하지 않습니다.");
  EXPECT_EQ(out["relogin"], "OK");
  EXPECT_EQ(out["new_object_login"], "OK");
  EXPECT_EQ(out["new_object_janek"], "99960");
  EXPECT_EQ(out["unknown_name"], "438");
  EXPECT_EQ(out["logout_end"], "OK");

  // Methods not built report E_NOTIMPL (-2147467263) with a description that says so.
  std::istringstream lines(r.out);
  std::string line;
  int methods = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("method ", 0) != 0) continue;
    ++methods;
    if (line.find(" built") != std::string::npos) continue;
    EXPECT_NE(line.find(" error -2147467263 "), std::string::npos) << line;
    EXPECT_NE(line.find("not implemented"), std::string::npos) << line;
  }
  EXPECT_EQ(methods, 4) << r.out;

  // What the service received: one execution per recipient, as the host gave them.
  json sends = sandbox_->get("/calls?proc=sp_sms_send");
  ASSERT_EQ(sends.size(), 2u) << sends.dump();
  EXPECT_EQ(FixedMirrorSandbox::param(sends[0], "@Custom_tel"), "010-1234-5678");
  EXPECT_EQ(FixedMirrorSandbox::param(sends[1], "@Custom_tel"), "01087654321");
  for (const auto& c : sends) {
    EXPECT_EQ(FixedMirrorSandbox::param(c, "@user_id"), "demo");
    EXPECT_EQ(FixedMirrorSandbox::param(c, "@Sub_ID"), "sub01");
    EXPECT_EQ(FixedMirrorSandbox::param(c, "@msg"), "hello from wine");
    EXPECT_EQ(FixedMirrorSandbox::param(c, "@typ"), "0");
  }
  json logins = sandbox_->get("/calls?proc=f_login");
  ASSERT_GE(logins.size(), 2u);
  EXPECT_EQ(FixedMirrorSandbox::param(logins[1], "@user_pw"), "wrong-password");
  EXPECT_EQ(sandbox_->get("/messages").size(), before.size() + 2);
}

TEST_F(WineCom, C_RegisteredTypeLibraryMatchesTheMethodTable) {
  // dispid, name, result vt, parameters (name:vt); 8 = BSTR, 3 = long.
  const std::vector<std::string> expected = {
      "0x600300CF FTP_Upload 8 fnam:8",
      "0x600300D0 FTP_Connect 8",
      "0x600300D1 FTP_DisConnect 8",
      "0x600300D2 Login 8 User_ID:8 Passwd:8",
      "0x600300D3 Logout 8",
      "0x600300D4 SmsJanek 3",
      "0x600300D5 SmsIbgum 8",
      "0x600300D6 SmsHist 8 SUB_ID:8 xx:3 yy:3 ww:3 hh:3",
      "0x600300D8 SmsResultV2 8 SUB_ID:8 fr_dTime:8 to_dTime:8",
      "0x600300DA SmsResult1 8",
      "0x600300DB SmsResult2 8 fr_dTime:8 to_dTime:8",
      "0x600300DC SmsSend 8 SUB_ID:8 user_tel:8 Custom_id:8 Custom_nam:8 Custom_tel:8 msg:8 "
      "typ:3 YK_Time:8",
      "0x600300DD LmsSend 8 SUB_ID:8 user_tel:8 Custom_id:8 Custom_nam:8 Custom_tel:8 subject:8 "
      "msg:8 YK_Time:8",
      "0x600300DE MmsSend 8 SUB_ID:8 user_tel:8 Custom_id:8 Custom_nam:8 Custom_tel:8 subject:8 "
      "msg:8 fnam1:8 fnam2:8 fnam3:8 YK_Time:8",
      "0x600300DF YaeyakDelete 8 Key_id:3",
      "0x600300E0 YaeyakData 8",
      "0x600300E1 YaeyakDataV2 8 SUB_ID:8",
      "0x600300E2 YaeyakDataText 8",
      "0x600300E3 AddMember 8 User_ID:8 user_pw:8 recommender:8 TAX_NO:8 tax_ltd:8 tax_name:8 "
      "tax_jongmok:8 tax_upte:8 tax_tel:8 tax_fax:8 tax_mail:8 tax_juso:8 tax_damdang:8",
  };
  WineResult r = wine_->run({wine_->win_path("com_probe.exe"), "typelib"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  std::vector<std::string> own;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("func ", 0) != 0) continue;
    std::istringstream f(line.substr(5));
    std::string id, name, invkind, result, rest;
    f >> id >> name >> invkind >> result;
    std::getline(f, rest);
    // IUnknown's and IDispatch's members (0x6000xxxx, 0x6001xxxx) come with any dual interface.
    if (id.rfind("0x6000", 0) == 0 || id.rfind("0x6001", 0) == 0) continue;
    EXPECT_EQ(invkind, "1") << "not a method: " << line;
    own.push_back(id + " " + name + " " + result + rest);
  }
  EXPECT_EQ(own, expected);
  EXPECT_NE(r.out.find("coclass TavikSms default=_TavikSms"), std::string::npos) << r.out;
}

TEST_F(WineCom, D_WrongArgumentsAreConvertedOrRefusedNeverACrash) {
  sandbox_->del("/calls");
  WineResult r = wine_->cscript("bad_input.vbs");
  ASSERT_NE(r.out.find("\nend"), std::string::npos) << "script stopped early:\n" << r.out;
  std::map<std::string, std::string> number;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream f(line);
    std::string tag, name, err, text;
    f >> tag >> name >> err >> text;
    if (tag != "case") continue;
    number[name] = err;
  }
  EXPECT_EQ(number["number_for_text"], "0");  // VB turns numbers into texts
  EXPECT_EQ(wine_->saved_text("case_number_for_text.txt"), u"등록되지 않은 아이디입니다.");
  EXPECT_EQ(number["empty_for_text"], "0");  // Empty is the empty text
  EXPECT_EQ(number["null_for_text"], "13");
  EXPECT_EQ(number["array_for_text"], "13");
  EXPECT_EQ(number["missing_argument"], "450");
  EXPECT_EQ(number["extra_argument"], "450");
  EXPECT_EQ(number["bad_text_for_int"], "13");
  EXPECT_EQ(number["overflow_for_int"], "6");
  EXPECT_EQ(number["login"], "0");
  EXPECT_EQ(wine_->saved_text("case_login.txt"), u"OK");
  EXPECT_EQ(number["text_for_int"], "0");
  EXPECT_EQ(number["double_for_int"], "0");
  EXPECT_EQ(number["still_alive"], "0");

  json logins = sandbox_->get("/calls?proc=f_login");
  ASSERT_FALSE(logins.empty());
  EXPECT_EQ(FixedMirrorSandbox::param(logins[0], "@user_id"), "12345");
  EXPECT_EQ(FixedMirrorSandbox::param(logins[0], "@user_pw"), "678");
  json sends = sandbox_->get("/calls?proc=sp_sms_send");
  ASSERT_EQ(sends.size(), 2u) << sends.dump();
  EXPECT_EQ(FixedMirrorSandbox::param(sends[0], "@typ"), "5");
  EXPECT_EQ(FixedMirrorSandbox::param(sends[1], "@typ"), "2");  // 2.5 rounds to even
}

TEST_F(WineCom, E_UnloadWaitsForObjectsAndLocksAndCallsStayOnTheOwningThread) {
  WineResult r =
      wine_->run({wine_->win_path("com_probe.exe"), "unload", wine_->win_path("TavikSmsDll.dll")});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  auto out = keyed(r.out);
  EXPECT_EQ(out["initial"], "S_OK");
  EXPECT_EQ(out["factory_held"], "S_FALSE");
  EXPECT_EQ(out["locked_two_objects"], "S_FALSE");
  EXPECT_EQ(out["two_objects"], "S_FALSE");
  EXPECT_EQ(out["one_object"], "S_FALSE");
  EXPECT_EQ(out["released"], "S_OK");
  // DISP_E_EXCEPTION carrying RPC_E_WRONG_THREAD.
  EXPECT_EQ(out["wrong_thread"], "0x80020009 0x8001010E");
}

TEST_F(WineCom, E1_HostsCallFormsPropertyGetsNamedArgumentsBooleansAndASecondApartment) {
  sandbox_->del("/calls");
  WineResult v = wine_->cscript("call_forms.vbs");
  auto forms = keyed(v.out);
  ASSERT_TRUE(forms.count("end")) << "script stopped early:\n" << v.out;
  EXPECT_EQ(forms["call_statement"], "0 ");
  EXPECT_EQ(forms["logout_statement"], "0 ");
  EXPECT_EQ(forms["variables_statement"], "0 ");  // VT_BYREF | VT_VARIANT arguments
  EXPECT_EQ(forms["variables"], "0 OK");
  EXPECT_EQ(forms["logout_without_parentheses"], "0 OK");
  EXPECT_EQ(forms["property_put"], "438 -");
  EXPECT_EQ(forms["not_built_without_parentheses"], "-2147467263 -");
  std::string balance = forms["janek_without_parentheses"];
  ASSERT_EQ(balance.rfind("0 ", 0), 0u) << balance;
  EXPECT_NE(balance, "0 -12345678");
  // Releasing the second instance closed the shared connection; Logout then lets the next call
  // open a fresh one.
  EXPECT_EQ(forms["first_login"], "0 OK");
  EXPECT_EQ(forms["janek_after_release"], "0 -12345678");
  EXPECT_EQ(forms["first_logout"], "0 OK");
  EXPECT_EQ(forms["janek_reopens"], balance);

  WineResult r = wine_->run({wine_->win_path("com_probe.exe"), "dispatch"});
  ASSERT_EQ(r.exit_code, 0) << r.out;
  auto out = keyed(r.out);
  EXPECT_EQ(out["class_info"], "TavikSms");  // what VB's TypeName reports
  EXPECT_EQ(out["named"], "0x00000000 OK");
  EXPECT_EQ(out["propget_janek"], forms["janek_reopens"].replace(0, 1, "0x00000000"));
  EXPECT_EQ(out["propget_logout"], "0x00000000 OK");
  EXPECT_EQ(out["propput"], "0x80020003");  // DISP_E_MEMBERNOTFOUND
  EXPECT_EQ(out["byref_bstr"], "0x00000000 OK");
  EXPECT_EQ(out["bool_text"].rfind("0x00000000 ", 0), 0u) << out["bool_text"];
  for (const char* tag : {"thread1", "thread2"}) {
    EXPECT_EQ(out[std::string(tag) + "_login"], "0x00000000 OK") << r.out;
    EXPECT_EQ(out[std::string(tag) + "_janek"], out["propget_janek"]) << r.out;
    EXPECT_EQ(out[std::string(tag) + "_logout"], "0x00000000 OK") << r.out;
  }

  // Booleans for texts arrive as VB's CStr writes them, whichever way they were passed.
  std::vector<std::string> ids;
  for (const auto& c : sandbox_->get("/calls?proc=f_login")) {
    ids.push_back(FixedMirrorSandbox::param(c, "@user_id"));
  }
  EXPECT_EQ(std::count(ids.begin(), ids.end(), "True"), 2) << json(ids).dump();
  EXPECT_EQ(std::count(ids.begin(), ids.end(), "False"), 1) << json(ids).dump();
  EXPECT_EQ(std::count(ids.begin(), ids.end(), "-1"), 0) << json(ids).dump();
}

TEST_F(WineCom, F_ShellDrivesTheRegisteredObjectThroughIDispatch) {
  WineResult r =
      wine_->run({wine_->win_path("taviksms.exe"), "-c", "login demo demo1234", "-c", "SmsJanek",
                  "-c", "NoSuchMethod 1", "-c", "Login \"demo\"", "-c", "Logout"});
  EXPECT_EQ(r.exit_code, 1) << r.out;  // two lines failed
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "OK");
  EXPECT_EQ(lines[1], "99920");  // after the session's and the bad-input script's sends
  EXPECT_EQ(lines[2].rfind("error 0x80020006:", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("error 0x8002000E:", 0), 0u) << lines[3];
  EXPECT_EQ(lines[4], "OK");

  // A script whose name is Korean: opened by its wide name, not through the ANSI code page.
  const std::string name = "\xEC\x8A\xA4\xED\x81\xAC\xEB\xA6\xBD\xED\x8A\xB8.txt";  // 스크립트
  std::ofstream(wine_->bin_dir() / name) << "Login \"demo\" demo1234\nLogout\n";
  WineResult k = wine_->run({wine_->win_path("taviksms.exe"), wine_->win_path(name)});
  EXPECT_EQ(k.exit_code, 0) << k.out;
  EXPECT_EQ(k.out, "OK\r\nOK\r\n");
}

// Bytes that look like a JPEG and cover every byte value, so any text-mode or encoding damage
// in transit shows.
std::string picture_bytes(std::size_t size, unsigned seed) {
  std::string out = "\xFF\xD8\xFF\xE0";
  for (std::size_t i = out.size(); i < size; ++i) {
    out.push_back(static_cast<char>((i * 131 + seed) & 0xFF));
  }
  out.resize(size);
  return out;
}

TEST_F(WineCom, F1_VbscriptUploadsAPictureOverSftpAndSendsItAsMms) {
  sandbox_->del("/calls");
  sandbox_->del("/uploads");
  fs::path pics = wine_->drive_c() / "taviksms-pics";
  fs::create_directories(pics);
  const std::string photo = picture_bytes(20000, 7);
  const std::string second = picture_bytes(33000, 3);  // the limit itself passes
  for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"Photo1.JPG", photo},
                                    {"Second.jpg", second},
                                    {"Large.jpg", picture_bytes(33001, 5)}}) {
    std::ofstream(pics / name, std::ios::binary) << bytes;
  }

  WineResult r = wine_->cscript("upload.vbs");
  auto out = keyed(r.out);
  ASSERT_TRUE(out.count("end")) << "script stopped early:\n" << r.out;
  EXPECT_EQ(out["login"], "OK");
  EXPECT_EQ(out["upload"], "OK");
  EXPECT_EQ(out["mms"], "OK");
  EXPECT_EQ(wine_->saved_text("too_large.txt"), u"파일크기는 33,000 Byte 까지입니다.");
  EXPECT_EQ(out["disconnect"], "OK");
  EXPECT_EQ(out["upload_again"], "OK");
  EXPECT_EQ(out["logout"], "OK");

  // Stored under UserId + "_" + the lower-cased base name (cut at the backslash), byte for byte.
  json files = sandbox_->get("/uploads").at("files");
  ASSERT_EQ(files.size(), 2u) << files.dump();
  EXPECT_EQ(files[0].at("name"), "demo_photo1.jpg");
  EXPECT_EQ(files[1].at("name"), "demo_second.jpg");
  EXPECT_EQ(read_file(sandbox_->uploads_dir() / "demo_photo1.jpg"), photo);
  EXPECT_EQ(read_file(sandbox_->uploads_dir() / "demo_second.jpg"), second);

  // The message names the file as it was stored.
  json mms = sandbox_->get("/calls?proc=sp_mms_send");
  ASSERT_EQ(mms.size(), 1u) << mms.dump();
  EXPECT_EQ(FixedMirrorSandbox::param(mms[0], "@fnam1"), "demo_photo1.jpg");
  EXPECT_EQ(FixedMirrorSandbox::param(mms[0], "@fnam2"), "");
  EXPECT_EQ(FixedMirrorSandbox::param(mms[0], "@Custom_tel"), "01012345678");
}

TEST_F(WineCom, F2_AHangingMirrorIsGivenUpAfterTheDownloadLimitAndTheNextOneServes) {
  for (int m = 1; m <= 3; ++m) sandbox_->post("/mirrors/" + std::to_string(m) + "/reset-hits");
  sandbox_->post("/mirrors/1?mode=hang");
  struct Restore {
    FixedMirrorSandbox* s;
    ~Restore() {
      try {
        s->post("/mirrors/1?mode=up");
      } catch (...) {
      }
    }
  } restore{sandbox_};

  auto t0 = std::chrono::steady_clock::now();
  WineResult r = wine_->cscript("login.vbs");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("login with mirror 1 hanging: %.1f s\n", seconds);
  auto out = keyed(r.out);
  ASSERT_TRUE(out.count("end")) << "script stopped early:\n" << r.out;
  EXPECT_EQ(out["login"], "OK");
  EXPECT_EQ(out["logout"], "OK");
  // Mirror 1 was asked and held the request; mirror 2 answered; mirror 3 was not needed.
  json mirrors = sandbox_->get("/mirrors");
  ASSERT_EQ(mirrors.size(), 3u);
  EXPECT_EQ(mirrors[0].at("hits"), 1) << mirrors.dump();
  EXPECT_EQ(mirrors[1].at("hits"), 1) << mirrors.dump();
  EXPECT_EQ(mirrors[2].at("hits"), 0) << mirrors.dump();
  // Bounded by the 10 s download limit plus Wine's process start, not by the hanging mirror.
  EXPECT_LT(seconds, 25.0);
}

// Hosts that end without Logout or FTP_DisConnect: a script, and a program whose worker thread
// logs in, uploads and exits. Closing those sessions under the loader lock (thread exit, process
// end) could hang; both must return within seconds.
TEST_F(WineCom, F3_HostsEndingWithoutLogoutOrDisconnectReturnPromptly) {
  sandbox_->del("/uploads");
  fs::path pics = wine_->drive_c() / "taviksms-pics";
  fs::create_directories(pics);
  std::ofstream(pics / "Photo1.JPG", std::ios::binary) << picture_bytes(20000, 7);

  auto t0 = std::chrono::steady_clock::now();
  WineResult v = wine_->run({"cscript", "//nologo", wine_->win_path("abandon.vbs")}, 60s);
  double script_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("script ending without logout: %.1f s\n", script_s);
  EXPECT_FALSE(v.timed_out);
  auto out = keyed(v.out);
  ASSERT_TRUE(out.count("end")) << "script stopped early:\n" << v.out;
  EXPECT_EQ(out["login"], "OK");
  EXPECT_EQ(out["upload"], "OK");
  EXPECT_LT(script_s, 20.0);

  t0 = std::chrono::steady_clock::now();
  WineResult p = wine_->run(
      {wine_->win_path("com_probe.exe"), "worker", "C:\\taviksms-pics\\Photo1.JPG"}, 60s);
  double host_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("worker thread ending without logout: %.1f s (%s)\n", host_s, p.out.c_str());
  EXPECT_FALSE(p.timed_out);
  auto probe = keyed(p.out);
  ASSERT_TRUE(probe.count("end")) << p.out;
  EXPECT_EQ(probe["worker_login"], "0x00000000 OK");
  EXPECT_EQ(probe["worker_upload"], "0x00000000 OK");
  EXPECT_TRUE(probe["worker_exit"].starts_with("ok ")) << probe["worker_exit"];
  EXPECT_LT(host_s, 20.0);
  // Both uploads arrived (the same name, so one file).
  json files = sandbox_->get("/uploads").at("files");
  ASSERT_EQ(files.size(), 1u) << files.dump();
  EXPECT_EQ(files[0].at("name"), "demo_photo1.jpg");
}

// urlmon's side of the download callback's contract: the bind flags are set, not added to junk,
// and the BINDINFO is filled within the size the caller gave.
TEST_F(WineCom, F4_DownloadCallbackFillsBindInfoAsUrlmonExpects) {
  WineResult r = wine_->run({wine_->win_path("com_probe.exe"), "bindinfo"});
  auto out = keyed(r.out);
  // S_OK; BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE; cbSize kept;
  // BINDVERB_GET; every other byte zero.
  EXPECT_EQ(out["bindinfo"], "0x00000000 0x00002030 1 0 1") << r.out;
  EXPECT_EQ(out["bindinfo_short"], "0x00000000 1 1") << r.out;
}

// Out of memory inside Invoke comes back as E_OUTOFMEMORY; the host lives on.
TEST_F(WineCom, F5_OutOfMemoryInsideInvokeIsAnHresultNotACrash) {
  WineResult r = wine_->run({wine_->win_path("com_probe.exe"), "oom"});
  auto out = keyed(r.out);
  if (out["oom"] == "skipped") GTEST_SKIP() << "this process would be given that much memory";
  ASSERT_TRUE(out.count("end")) << "the probe died:\n" << r.out;
  EXPECT_EQ(out["oom"], "0x8007000E") << r.out;
}

TEST_F(WineCom, G_UnregisteringRemovesEveryKeyAndPerUserRegistrationUsesHkcu) {
  WineResult u = wine_->run({"regsvr32", "/u", wine_->win_path("TavikSmsDll.dll")});
  ASSERT_EQ(u.exit_code, 0) << u.out;
  for (const auto& [key, value] : keys("HKCR")) {
    EXPECT_NE(wine_->reg_query(key).exit_code, 0) << key << " still there";
  }
  for (const char* parent : {"HKCR\\TavikSmsDll.TavikSms"}) {
    EXPECT_NE(wine_->reg_query(parent).exit_code, 0) << parent << " still there";
  }
  EXPECT_NE(wine_->reg_query(std::string("HKCR\\CLSID\\") + kClsid).exit_code, 0);
  EXPECT_NE(wine_->reg_query(std::string("HKCR\\TypeLib\\") + kLibid).exit_code, 0);
  EXPECT_NE(wine_->reg_query(std::string("HKCR\\Interface\\") + kIid).exit_code, 0);

  // regsvr32 /n /i:user: the same keys for the current user only, no machine-wide ones.
  WineResult i = wine_->run({"regsvr32", "/n", "/i:user", wine_->win_path("TavikSmsDll.dll")});
  ASSERT_EQ(i.exit_code, 0) << i.out;
  for (const auto& [key, value] : keys("HKCU\\Software\\Classes")) {
    EXPECT_EQ(wine_->reg_query(key, value).exit_code, 0) << key;
  }
  EXPECT_NE(wine_->reg_query("HKCR\\TavikSmsDll.TavikSms").exit_code, 0);
  WineResult uu =
      wine_->run({"regsvr32", "/u", "/n", "/i:user", wine_->win_path("TavikSmsDll.dll")});
  ASSERT_EQ(uu.exit_code, 0) << uu.out;
  EXPECT_NE(wine_->reg_query("HKCU\\Software\\Classes\\TavikSmsDll.TavikSms").exit_code, 0);
  EXPECT_NE(wine_->reg_query(std::string("HKCU\\Software\\Classes\\CLSID\\") + kClsid).exit_code,
            0);
  EXPECT_NE(wine_->reg_query(std::string("HKCU\\Software\\Classes\\TypeLib\\") + kLibid).exit_code,
            0);
  EXPECT_NE(wine_->reg_query(std::string("HKCU\\Software\\Classes\\Interface\\") + kIid).exit_code,
            0);
}

}  // namespace
