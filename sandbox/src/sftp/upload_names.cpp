#include "sftp/upload_names.h"

#include "platform/files.h"

namespace sandbox {

bool is_root_path(std::string_view p) {
  return p.empty() || p == "." || p == "/" || p == "./";
}

std::optional<std::string> upload_name(std::string_view p) {
  // "/./a.jpg" is what OpenSSH's sftp sends for "put x ./a.jpg" in the root.
  if (p.starts_with("/")) p.remove_prefix(1);
  if (p.starts_with("./")) p.remove_prefix(2);
  if (p.empty() || p == ".") return std::nullopt;
  if (p.find("..") != std::string_view::npos) return std::nullopt;
  for (char c : p) {
    auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7f) return std::nullopt;
  }
  if (!files::file_name_allowed(p)) return std::nullopt;
  return std::string(p);
}

}  // namespace sandbox
