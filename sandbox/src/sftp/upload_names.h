// Which remote names the SFTP server lets a client write.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

// The SFTP root "/" is the uploads folder. A file directly in it may be named bare ("a.jpg"),
// as "./a.jpg", "/a.jpg" or "/./a.jpg"; the result is the bare name. Anything that could leave the
// folder or name a subfolder is refused (nullopt): "..", "\", any further "/", other absolute
// paths, "." itself, empty names, control characters, and names the system cannot give a file
// (files::file_name_allowed: on Windows device names, ':' and the like).
std::optional<std::string> upload_name(std::string_view remote_path);

// "", ".", "/", "./": the root itself.
bool is_root_path(std::string_view remote_path);

}  // namespace sandbox
