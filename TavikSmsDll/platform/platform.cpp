#include "platform/platform.h"

#include "build_config.h"
#include "component/text.h"
#include "platform/testing.h"

namespace taviksms::platform {

std::shared_ptr<void> Platform::lock_config_file(const std::string&) {
  return nullptr;
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
