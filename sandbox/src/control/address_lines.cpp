#include "control/address_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

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
  std::filesystem::path temp = path;
  temp += ".part-" + std::to_string(::getpid());
  auto failed = [&](const char* step) {
    const int error = errno;
    ::unlink(temp.c_str());
    return std::runtime_error("cannot " + std::string(step) + " " + path.string() + ": " +
                              std::strerror(error));
  };
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw failed("write");
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      throw failed("write");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw failed("write");
  if (::rename(temp.c_str(), path.c_str()) != 0) throw failed("write");
}

void remove_stale_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw std::runtime_error("cannot replace " + path.string() + ": " + std::strerror(errno));
  }
}

}  // namespace sandbox
