// A sandbox per test and a platform override that points the component's configuration fetch at
// that sandbox's mirrors and at a private folder for ip1.ini.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <taviksms/taviksms.h>
#include <nlohmann/json.hpp>

#include "base/platform/testing.h"
#include "platform/posix/posix_platform.h"
#include "sandbox_process.h"

namespace taviksms::test {

class TestPlatform : public platform::posix::PosixPlatform {
 public:
  TestPlatform(std::vector<std::u16string> mirrors, std::filesystem::path folder,
               platform::posix::DownloadLimits limits);
  std::vector<std::u16string> mirror_bases() const override { return mirrors_; }
  std::u16string library_folder() override;

 private:
  std::vector<std::u16string> mirrors_;
  std::filesystem::path folder_;
};

// The three mirror base addresses of `sandbox`, as a TestPlatform takes them.
std::vector<std::u16string> mirror_bases_of(const testing::SandboxProcess& sandbox);

// Installs a TestPlatform for the calling thread and gives it a fresh ModuleState; undoes both.
class ThreadSession {
 public:
  ThreadSession(const testing::SandboxProcess& sandbox, const std::filesystem::path& folder,
                platform::posix::DownloadLimits limits = short_limits());
  ~ThreadSession();
  static platform::posix::DownloadLimits short_limits();

 private:
  TestPlatform platform_;
  platform::ScopedPlatformOverride override_;
};

class ComponentTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;
  // Extra command-line options of the test's sandbox.
  virtual std::vector<std::string> sandbox_args() const { return {}; }

  testing::SandboxProcess& sandbox() { return *sandbox_; }
  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path ini_path() const { return folder_ / "ip1.ini"; }

  nlohmann::json calls(const std::string& proc = "");
  std::vector<int> mirror_hits();
  int open_connections();
  int total_logins();
  void set_mirror(int n, const std::string& mode, const std::string& body = "");
  // A fresh thread state (as if the library were loaded anew), same sandbox and folder.
  void restart_session();
  // Logs `c` in as demo and opens the session's recordset on sp_ibgum_data for demo with a
  // client-side cursor, the user parameter named as `user_param` (any case). Fails the test
  // (use ASSERT_NO_FATAL_FAILURE) when either does not succeed.
  void open_deposit_rows(TavikSms& c, const std::u16string& user_param);

  std::unique_ptr<testing::SandboxProcess> sandbox_;
  std::filesystem::path folder_;
  std::unique_ptr<ThreadSession> session_;
};

// A component test whose current directory is the test's folder, where the export files land.
class ExportFolderTest : public ComponentTest {
 public:
  void SetUp() override;
  void TearDown() override;
  // The bytes of a file in the folder; empty when it does not exist.
  std::string file_bytes(const std::string& name) const;

 private:
  std::filesystem::path old_cwd_;
};

// The text parameter `name` of a call-log entry, as UTF-16 (exact, from its hex form).
std::optional<std::u16string> call_param(const nlohmann::json& call, const std::string& name);

std::string utf8(const std::u16string& s);

// The number of the core::Error that `f` raises (0 when none); its description into
// `description`.
std::int32_t error_number(const std::function<void()>& f, std::u16string* description = nullptr);

}  // namespace taviksms::test
