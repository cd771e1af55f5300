// ip1.ini as the mirrors serve it: the endpoints and logins the component is told to use.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace sandbox {

struct MirrorEndpoints {
  std::string db_host = "127.0.0.1";
  std::uint16_t db_port = 0;
  std::string db_user;
  std::string db_password;
  std::string sftp_host = "127.0.0.1";
  std::uint16_t sftp_port = 0;
  std::string sftp_user;
  std::string sftp_password;
};

// The real password sits at positions 3, 5, 7, ... (1-based); positions 1, 2, 4, 6, ... and one
// trailing position hold random letters and digits, so the masked form is 2n + 2 long.
std::string mask_password(std::string_view real, std::mt19937_64& rng);
std::string unmask_password(std::string_view masked);

// The whole file with CR LF line ends; a fresh mask on every call.
std::string render_ini(const MirrorEndpoints& endpoints, bool with_sms_id, std::mt19937_64& rng);

}  // namespace sandbox
