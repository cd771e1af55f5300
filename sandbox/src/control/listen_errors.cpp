#include "control/listen_errors.h"

#include <stdexcept>

#include "platform/net.h"

namespace sandbox {

std::string port_in_use_message(const ListenerPorts& ports, std::size_t index) {
  const std::string name =
      ports.ports.size() > 1 ? ports.endpoint + std::to_string(index + 1) : ports.endpoint;
  return "port " + std::to_string(ports.ports[index]) + " (" + name +
         ") is in use: another program, perhaps another sandbox, listens there. Choose another "
         "with " +
         ports.option + ", or start with --ephemeral for free ports";
}

void start_listening(const ListenerPorts& ports, const std::function<void()>& start,
                     const std::function<void()>& undo) {
  try {
    start();
  } catch (const std::runtime_error&) {
    if (undo) undo();
    for (std::size_t i = 0; i < ports.ports.size(); ++i) {
      if (ports.ports[i] != 0 && net::port_in_use("127.0.0.1", ports.ports[i])) {
        throw std::runtime_error(port_in_use_message(ports, i));
      }
    }
    throw;
  }
}

}  // namespace sandbox
