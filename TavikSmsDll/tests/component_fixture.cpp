#include "component_fixture.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>

#include "base/error.h"
#include "base/module_state.h"
#include "base/text.h"
#include "db/session.h"
#include "session/db_open.h"

namespace taviksms::test {

TestPlatform::TestPlatform(std::vector<std::u16string> mirrors, std::filesystem::path folder,
                           platform::posix::DownloadLimits limits)
    : PosixPlatform(limits), mirrors_(std::move(mirrors)), folder_(std::move(folder)) {}

std::u16string TestPlatform::library_folder() {
  return from_ansi(folder_.string());
}

platform::posix::DownloadLimits ThreadSession::short_limits() {
  // The shipped limits are 5 s / 10 s; tests use shorter ones so a hanging mirror costs little.
  return platform::posix::DownloadLimits{1000, 2000, 1 << 20};
}

std::vector<std::u16string> mirror_bases_of(const testing::SandboxProcess& s) {
  std::vector<std::u16string> out;
  for (int n = 1; n <= 3; ++n) out.push_back(core::utf8_to_utf16(s.mirror_base(n)));
  return out;
}

ThreadSession::ThreadSession(const testing::SandboxProcess& sandbox,
                             const std::filesystem::path& folder,
                             platform::posix::DownloadLimits limits)
    : platform_(mirror_bases_of(sandbox), folder, limits), override_(platform_) {
  core::module_state() = core::ModuleState{};
}

ThreadSession::~ThreadSession() {
  core::db_close();
  core::module_state() = core::ModuleState{};
}

void ComponentTest::SetUp() {
  sandbox_ = std::make_unique<testing::SandboxProcess>(sandbox_args());
  std::string tmpl = (std::filesystem::temp_directory_path() / "taviksms-core-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  folder_ = tmpl;
  session_ = std::make_unique<ThreadSession>(*sandbox_, folder_);
}

void ComponentTest::TearDown() {
  session_.reset();
  sandbox_.reset();
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

void ExportFolderTest::SetUp() {
  ComponentTest::SetUp();
  old_cwd_ = std::filesystem::current_path();
  std::filesystem::current_path(folder());
}

void ExportFolderTest::TearDown() {
  std::filesystem::current_path(old_cwd_);
  ComponentTest::TearDown();
}

std::string ExportFolderTest::file_bytes(const std::string& name) const {
  std::ifstream f(folder() / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

nlohmann::json ComponentTest::calls(const std::string& proc) {
  nlohmann::json j = sandbox_->get(proc.empty() ? "/calls" : "/calls?proc=" + proc);
  if (j.is_object() && j.contains("calls")) return j["calls"];
  return j;
}

std::vector<int> ComponentTest::mirror_hits() {
  std::vector<int> hits;
  nlohmann::json state = sandbox_->get("/state");
  for (const auto& m : state["mirrors"]) hits.push_back(m["hits"].get<int>());
  if (hits.size() != 3) throw std::runtime_error("unexpected /state: " + state.dump());
  return hits;
}

int ComponentTest::open_connections() {
  return sandbox_->get("/connections")["open"].get<int>();
}
int ComponentTest::total_logins() {
  return sandbox_->get("/connections")["total_logins"].get<int>();
}

void ComponentTest::set_mirror(int n, const std::string& mode, const std::string& body) {
  sandbox_->post("/mirrors/" + std::to_string(n) + "?mode=" + mode, body);
}

void ComponentTest::restart_session() {
  session_.reset();  // the old override must be gone before the new one is installed
  session_ = std::make_unique<ThreadSession>(*sandbox_, folder_);
}

std::optional<std::u16string> call_param(const nlohmann::json& call, const std::string& name) {
  for (const auto& p : call["params"]) {
    if (p["name"].get<std::string>() != name) continue;
    if (p.value("null", false)) return std::nullopt;
    std::string hex = p["utf16"].get<std::string>();
    std::u16string out;
    for (std::size_t i = 0; i + 3 < hex.size(); i += 4) {
      unsigned lo = std::stoul(hex.substr(i, 2), nullptr, 16);
      unsigned hi = std::stoul(hex.substr(i + 2, 2), nullptr, 16);
      out.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return out;
  }
  ADD_FAILURE() << "no parameter " << name << " in " << call.dump();
  return std::nullopt;
}

std::string utf8(const std::u16string& s) {
  return core::utf16_to_utf8(s);
}

std::int32_t error_number(const std::function<void()>& f, std::u16string* description) {
  try {
    f();
  } catch (const core::Error& e) {
    if (description) *description = e.description();
    return e.number();
  }
  return 0;
}

void ComponentTest::open_deposit_rows(TavikSms& c, const std::u16string& user_param) {
  ASSERT_EQ(c.Login(u"demo", u"demo1234"), u"OK");
  core::ModuleState& s = core::module_state();
  s.session.cmd->refresh_parameters();
  s.session.cmd->set_command_text(u"sp_ibgum_data");
  s.session.rs->set_cursor_location(db::kUseClient);
  s.session.cmd->parameter(user_param).set_value(db::Value::text(u"demo"));
  s.session.rs->open(*s.session.cmd);
  ASSERT_EQ(s.session.rs->state(), db::kStateOpen);
}

}  // namespace taviksms::test
