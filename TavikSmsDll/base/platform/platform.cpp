// The platform in force on each thread, and the concerns' portable defaults (standard C++ only).
#include "base/platform/platform.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "base/platform/testing.h"

namespace taviksms::platform {

namespace {
thread_local Platform* t_override = nullptr;
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

bool Files::replace_file(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

void Files::remove_file(const std::string& path) {
  std::remove(path.c_str());
}

std::string Files::read_file_start(const std::string& path, std::size_t max_bytes) {
  std::string bytes(max_bytes, '\0');
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
  return bytes;
}

std::unique_ptr<OutputFile> TraceFiles::open_trace_file(const std::string&) {
  return nullptr;
}

std::shared_ptr<void> Folders::lock_config_file(const std::string&) {
  return nullptr;
}

std::vector<DeadlineSupport::SocketId> DeadlineSupport::tcp_sockets_to(std::uint16_t) {
  return {};
}

void DeadlineSupport::shut_down_socket(const SocketId&) {}

DeadlineSupport::LinkState DeadlineSupport::link_state(const SocketId&) {
  return LinkState::unknown;
}

void DeadlineSupport::keep_alive(const SocketId&) {}

bool DeadlineSupport::run_detached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace taviksms::platform
