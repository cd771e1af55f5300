// docs/reference.md stays complete: every method of the public method table has its section
// (naming each parameter), and every fixed result text the component's sources can return is
// written there. The texts are collected from the sources themselves, so a new message cannot be
// added without documenting it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include <taviksms/taviksms.h>

#include "account/account.h"
#include "base/text.h"
#include "config/config_fetch.h"
#include "upload/upload.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string reference() {
  static const std::string doc = read_file(fs::path(TAVIKSMS_SOURCE_DIR) / "docs/reference.md");
  return doc;
}

// A run of adjacent u"..." literals joined into one text (escapes other than \" \\ kept as is).
std::string join_literals(const std::string& run) {
  static const std::regex lit(R"(u"((?:[^"\\]|\\.)*)\")");
  std::string out;
  for (std::sregex_iterator it(run.begin(), run.end(), lit), end; it != end; ++it) {
    out += (*it)[1].str();
  }
  return out;
}

bool has_letter(const std::string& s) {
  for (unsigned char c : s) {
    if (std::isalpha(c) || c >= 0x80) return true;
  }
  return false;
}

// Every message literal a method can hand back: literals returned directly, the k-named text
// constants, and the descriptions of the errors the core and the data-access layer raise.
std::set<std::string> result_texts_in_sources() {
  const fs::path root = fs::path(TAVIKSMS_SOURCE_DIR) / "TavikSmsDll";
  // The method folders: every pattern. The data-access layer (platform/odbc) also builds
  // connection strings and trace texts, so there only the errors it raises count.
  const char* folders[] = {"base",           "db",        "config", "session",
                           "account",        "send",      "upload", "results",
                           "history_window", "component", "api",    "platform/odbc"};
  const std::string run = R"(((?:u"(?:[^"\\]|\\.)*"\s*)+))";
  const std::regex patterns[] = {
      std::regex(R"(return\s+)" + run),
      std::regex(R"(constexpr[^=;]*\bk[A-Z]\w*(?:\[\])?\s*=\s*)" + run),
      std::regex(R"(\bError\([^;]*?,\s*)" + run + R"(\))"),
      std::regex(R"(raise_provider\(\s*)" + run + R"(\))"),
      std::regex(R"(\btext\s*=\s*)" + run + R"(;)"),
  };
  std::set<std::string> texts;
  for (const char* folder : folders) {
    for (const auto& entry : fs::directory_iterator(root / folder)) {
      const auto ext = entry.path().extension();
      if (ext != ".cpp" && ext != ".h") continue;
      const std::string src = read_file(entry.path());
      const bool errors_only = std::string_view(folder) == "platform/odbc";
      for (std::size_t k = 0; k < std::size(patterns); ++k) {
        const auto& re = patterns[k];
        if (errors_only && k != 2 && k != 3) continue;  // Error(...) and raise_provider(...)
        for (std::sregex_iterator it(src.begin(), src.end(), re), end; it != end; ++it) {
          std::string text = join_literals((*it)[1].str());
          // Texts without a letter are formatting ("{", "0"), not messages.
          if (has_letter(text)) texts.insert(text);
        }
      }
    }
  }
  // The driver's message when it gives none: returned by the layer's diagnostic reader.
  const std::string odbc = read_file(root / "platform/odbc/odbc_session.cpp");
  if (odbc.find("return u\"Unspecified error\";") != std::string::npos) {
    texts.insert("Unspecified error");
  }
  return texts;
}

TEST(ReferenceDoc, EveryMethodOfTheTableHasASectionNamingItsParameters) {
  const std::string doc = reference();
  ASSERT_FALSE(doc.empty()) << "docs/reference.md not found";
  ASSERT_FALSE(taviksms::methods().empty());
  for (const auto& m : taviksms::methods()) {
    const std::string heading = "\n## " + std::string(m.name) + "\n";
    const std::size_t at = doc.find(heading);
    ASSERT_NE(at, std::string::npos) << "no section for " << m.name;
    const std::size_t next = doc.find("\n## ", at + heading.size());
    const std::string section = doc.substr(at, next == std::string::npos ? next : next - at);
    for (std::size_t i = 0; i < m.param_count; ++i) {
      EXPECT_NE(section.find(std::string("`") + m.params[i].name), std::string::npos)
          << m.name << ": parameter " << m.params[i].name << " not described";
    }
    // A VBScript line and a C++ line for each method.
    EXPECT_NE(section.find("```vb\n"), std::string::npos) << m.name;
    EXPECT_NE(section.find("```cpp\n"), std::string::npos) << m.name;
    EXPECT_NE(section.find(std::string(m.name) + "("), std::string::npos) << m.name;
  }
}

TEST(ReferenceDoc, EveryFixedResultTextIsDocumented) {
  const std::string doc = reference();
  std::set<std::string> texts = result_texts_in_sources();
  // The collection must have found the texts it is there to find; a pattern that stops matching
  // would otherwise pass on an empty set.
  for (const char* known :
       {"OK", "False", "DB Connect Error", "Invalid use of Null",
        "Operation is not allowed when the object is open.", "Disk full", "Unspecified error"}) {
    EXPECT_TRUE(texts.count(known)) << "the source scan no longer finds " << known;
  }
  EXPECT_GE(texts.size(), 25u);
  // The constants the methods return, by their own names.
  texts.insert(taviksms::core::utf16_to_utf8(taviksms::core::kIpDownloadError));
  for (const char16_t* t :
       {taviksms::upload::kNoFile, taviksms::upload::kTooLarge, taviksms::upload::kNotJpg,
        taviksms::upload::kConnectError, taviksms::upload::kUploadError}) {
    texts.insert(taviksms::core::utf16_to_utf8(t));
  }
  texts.insert(std::to_string(taviksms::core::kJanekFailure));
  for (const auto& t : texts) {
    EXPECT_NE(doc.find("`" + t), std::string::npos)
        << "result text not in docs/reference.md: " << t;
  }
}

}  // namespace
