// Start-up failures of the listeners in words a developer can act on: a port in use is named,
// with the option that chooses another.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sandbox {

struct ListenerPorts {
  std::string endpoint;              // "database", "sftp", "control"; "mirror" for the three
  std::string option;                // the option that sets them, as --help writes it
  std::vector<std::uint16_t> ports;  // as asked for (0: the system picks)
};

// The one-line message for ports.ports[index] being in use.
std::string port_in_use_message(const ListenerPorts& ports, std::size_t index);

// Runs `start`. When it throws, `undo` runs (to close what it did open), and each port asked for
// is tried: the first one in use makes the error port_in_use_message; otherwise the original
// error goes on.
void start_listening(const ListenerPorts& ports, const std::function<void()>& start,
                     const std::function<void()>& undo = {});

}  // namespace sandbox
