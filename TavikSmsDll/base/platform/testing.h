// Test hook: installs another Platform for the calling thread only, for as long as the guard
// lives. Tests use it to point the configuration fetch at their own sandbox's mirrors and at a
// private folder. The shipped component never installs one.
#pragma once

#include "base/platform/platform.h"

namespace taviksms::platform {

class ScopedPlatformOverride {
 public:
  explicit ScopedPlatformOverride(Platform& p);
  ~ScopedPlatformOverride();
  ScopedPlatformOverride(const ScopedPlatformOverride&) = delete;
  ScopedPlatformOverride& operator=(const ScopedPlatformOverride&) = delete;

 private:
  Platform* previous_;
};

}  // namespace taviksms::platform
