// taviksms-sandbox's command line.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

struct Options {
  std::filesystem::path data_dir;
  bool reset = false;
  std::array<std::uint16_t, 3> mirror_ports{18081, 18082, 18083};
  std::uint16_t tds_port = 11433;
  std::uint16_t sftp_port = 12222;
  std::uint16_t control_port = 18090;
  bool ephemeral = false;  // already applied: every port above is 0
  std::string db_user = "sms_app";
  std::string db_password = "tavik2024db";
  std::string sftp_user = "smsftp";
  std::string sftp_password = "tavik2024ftp";
  std::optional<std::string> clock;  // "YYYY-MM-DD HH:MM:SS", checked
  bool decoy_procedures = false;
  bool help = false;
};

struct ParsedOptions {
  std::optional<Options> options;  // set on success
  std::string error;               // one line, set on failure
};

// `args` excludes the program name. Accepts "--name value" and "--name=value".
ParsedOptions parse_options(const std::vector<std::string>& args);

std::string usage_text();

}  // namespace sandbox
