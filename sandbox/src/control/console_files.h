// The console's page, style sheet and script, built into the executable (see console/).
#pragma once

#include <string_view>
#include <vector>

namespace sandbox::console {

struct EmbeddedFile {
  std::string_view name;  // "index.html", "console.js", ...
  std::string_view data;
};

const std::vector<EmbeddedFile>& embedded_files();

}  // namespace sandbox::console
