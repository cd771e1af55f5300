// What the sandbox's executable needs of its operating system beyond sockets: preparing the
// process, its arguments, its default data folder, waiting for a request to stop (signals on
// POSIX; Ctrl-C, Ctrl-Break and closing the console window on Windows) and talking to a person
// at a console. One file per platform: platform/posix/process.cpp, platform/win32/process.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sandbox::host {

// First thing in main, before any thread starts.
void prepare_process();

// The command line after the program's name, as UTF-8.
std::vector<std::string> arguments(int argc, char** argv);

// The data folder when --data is not given (nullopt: --data is required).
std::optional<std::filesystem::path> default_data_dir();

// Lines --help adds for this platform (empty, or ending in a newline).
std::string usage_note();

// After "ready": what a person at the console needs (Windows: where the web console and the
// data are, how to stop).
void announce_ready(std::uint16_t control_port, const std::filesystem::path& data_dir);

// Blocks until the process is asked to stop.
void wait_for_stop();

// Everything is stopped and the store closed: a stop request that must wait for that before
// the system ends the process (closing the console window) may now let it.
void stopped();

// The start-up failed and the message is written: a console window opened for this process
// alone (a double-click) stays until the user has read it.
void start_failed();

}  // namespace sandbox::host
