// The lines that point a program at a running sandbox: printed at start and written to the
// --env-file, so a CI job sources them instead of picking ports out of the start-up text.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

namespace sandbox {

// `export TAVIKSMS_MIRRORS='http://127.0.0.1:A;http://127.0.0.1:B;http://127.0.0.1:C'` and a
// newline: the component's mirror override for these three mirrors, quoted because ';' ends a
// shell command.
std::string mirrors_line(const std::string& host, const std::array<std::uint16_t, 3>& mirror_ports);

// The env file: the mirrors line and `export TAVIKSMS_SANDBOX_CONTROL='http://host:port'`.
std::string env_file_text(const std::string& host, const std::array<std::uint16_t, 3>& mirror_ports,
                          std::uint16_t control_port);

// Writes `text` to `path` through a temporary name in the same folder renamed over it, so a
// reader waiting for the file never sees it half written. Throws std::runtime_error naming the
// file on failure.
void write_file_atomically(const std::filesystem::path& path, const std::string& text);

// Removes a file a previous run left (a missing one is fine); throws when it cannot.
void remove_stale_file(const std::filesystem::path& path);

}  // namespace sandbox
