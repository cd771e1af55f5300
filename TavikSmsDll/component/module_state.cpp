#include "component/module_state.h"

namespace taviksms::core {

ModuleState& module_state() {
  thread_local ModuleState state;
  return state;
}

}  // namespace taviksms::core
