#include "platform/platform.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "build_config.h"
#include "component/text.h"
#include "platform/testing.h"

namespace taviksms::platform {

std::shared_ptr<void> Platform::lock_config_file(const std::string&) {
  return nullptr;
}

bool Platform::replace_file(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void Platform::remove_file(const std::string& path) {
  std::remove(path.c_str());
}

std::vector<Platform::SocketId> Platform::tcp_sockets_to(std::uint16_t) {
  return {};
}

void Platform::shut_down_socket(const SocketId&) {}

bool Platform::run_detached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

namespace {
thread_local Platform* t_override = nullptr;
}

std::vector<std::u16string> built_in_mirror_bases() {
  std::vector<std::u16string> out;
  std::u16string all = core::utf8_to_utf16(TAVIKSMS_MIRRORS);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t end = all.find(u';', start);
    if (end == std::u16string::npos) end = all.size();
    if (end > start) out.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::vector<std::u16string> Platform::mirror_bases() const {
  return built_in_mirror_bases();
}

Platform& current() {
  return t_override ? *t_override : default_platform();
}

ScopedPlatformOverride::ScopedPlatformOverride(Platform& p) : previous_(t_override) {
  t_override = &p;
}
ScopedPlatformOverride::~ScopedPlatformOverride() {
  t_override = previous_;
}

}  // namespace taviksms::platform
