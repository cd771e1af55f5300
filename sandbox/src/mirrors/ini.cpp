#include "mirrors/ini.h"

namespace sandbox {

namespace {

char random_filler(std::mt19937_64& rng) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  return kAlphabet[pick(rng)];
}

}  // namespace

std::string mask_password(std::string_view real, std::mt19937_64& rng) {
  std::string masked;
  masked.reserve(real.size() * 2 + 2);
  masked.push_back(random_filler(rng));
  for (char c : real) {
    masked.push_back(random_filler(rng));
    masked.push_back(c);
  }
  masked.push_back(random_filler(rng));
  return masked;
}

std::string unmask_password(std::string_view masked) {
  std::string real;
  // Index 2, 4, ... up to but excluding the trailing filler.
  for (std::size_t i = 2; i + 1 < masked.size(); i += 2) real.push_back(masked[i]);
  return real;
}

std::string render_ini(const MirrorEndpoints& e, bool with_sms_id, std::mt19937_64& rng) {
  std::string out = "[ip]\r\n";
  if (with_sms_id) out += "sms_id=" + e.db_user + "\r\n";
  out += "sms_ip=" + e.db_host + "," + std::to_string(e.db_port) + "\r\n";
  out += "sms_pw=" + mask_password(e.db_password, rng) + "\r\n";
  out += "sftp_id=" + e.sftp_user + "\r\n";
  out += "sftp_ip=" + e.sftp_host + "\r\n";
  out += "sftp_pt=" + std::to_string(e.sftp_port) + "\r\n";
  out += "sftp_pw=" + mask_password(e.sftp_password, rng) + "\r\n";
  return out;
}

}  // namespace sandbox
