#include "control/address_lines.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/files.h"
#include "utf8_path.h"

namespace sandbox {

namespace {

std::string url(const std::string& host, std::uint16_t port) {
  return "http://" + host + ":" + std::to_string(port);
}

}  // namespace

std::string mirrors_line(const std::string& host,
                         const std::array<std::uint16_t, 3>& mirror_ports) {
  std::string list;
  for (std::uint16_t port : mirror_ports) {
    if (!list.empty()) list += ';';
    list += url(host, port);
  }
  return "export TAVIKSMS_MIRRORS='" + list + "'\n";
}

std::string env_file_text(const std::string& host, const std::array<std::uint16_t, 3>& mirror_ports,
                          std::uint16_t control_port) {
  return mirrors_line(host, mirror_ports) + "export TAVIKSMS_SANDBOX_CONTROL='" +
         url(host, control_port) + "'\n";
}

void write_file_atomically(const std::filesystem::path& path, const std::string& text) {
  // A name no other sandbox writing the same file at the same moment picks.
  std::filesystem::path temp = path;
  temp +=
      ".part-" + std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()) ^
                                static_cast<std::size_t>(
                                    std::chrono::steady_clock::now().time_since_epoch().count()));
  auto failed = [&](const std::string& why) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return std::runtime_error("cannot write " + path_text(path) + ": " + why);
  };
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) throw failed(std::strerror(errno));
    out << text;
    out.close();
    if (!out) throw failed("the data was not all written");
  }
  std::string why;
  if (!files::replace_file(temp, path, why)) throw failed(why);
}

void remove_stale_file(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);  // a missing file is no error
  if (ec) throw std::runtime_error("cannot replace " + path_text(path) + ": " + ec.message());
}

}  // namespace sandbox
