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
#include "platform/posix/posix_platform.h"
#include "send/time_text.h"
#include "upload/picture_name.h"
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

// The text from `heading` ("## Name") to the next heading of that level.
std::string section(const std::string& doc, const std::string& heading) {
  const std::size_t at = doc.find("\n" + heading + "\n");
  if (at == std::string::npos) return {};
  const std::size_t next = doc.find("\n## ", at + heading.size() + 2);
  return doc.substr(at, next == std::string::npos ? next : next - at);
}

std::u16string u16(const std::string& s) {
  return taviksms::core::utf8_to_utf16(s);
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

// The worked examples of the reference are what the component does: each reservation time of the
// table with what is sent for it, each picture path with the name it is stored and sent under,
// and the largest ip1.ini a mirror may serve.
TEST(ReferenceDoc, WorkedExamplesAreWhatTheComponentDoes) {
  const std::string doc = reference();
  const std::string times = section(doc, "## Time texts");
  static const std::regex time_row(R"(\n\| `([^`]*)`[^|\n]*\|[^|\n]*\| `([^`]*)` \|)");
  int rows = 0;
  for (std::sregex_iterator it(times.begin(), times.end(), time_row), end; it != end; ++it) {
    EXPECT_EQ(taviksms::send::expand_time_text(u16((*it)[1])), u16((*it)[2])) << (*it)[0];
    ++rows;
  }
  EXPECT_GE(rows, 5) << "the time table's rows were not found";

  static const std::regex picture(R"(`([^`]+)` of user `([^`]+)` is (?:sent|stored) as `([^`]+)`)");
  int pictures = 0;
  for (std::sregex_iterator it(doc.begin(), doc.end(), picture), end; it != end; ++it) {
    EXPECT_EQ(taviksms::upload::picture_server_name(u16((*it)[2]), u16((*it)[1])), u16((*it)[3]))
        << (*it)[0];
    ++pictures;
  }
  EXPECT_GE(pictures, 2) << "the picture name examples were not found";

  std::string bytes = std::to_string(taviksms::platform::posix::DownloadLimits{}.max_bytes);
  for (std::size_t at = bytes.size(); at > 3; at -= 3) bytes.insert(at - 3, ",");
  EXPECT_NE(section(doc, "## Session and configuration").find("(" + bytes + " bytes)"),
            std::string::npos)
      << "the largest ip1.ini, " << bytes << " bytes, is not stated";
}

// Each help string of the type library promises only what the method's section documents: the
// texts it quotes are results there, and "a failure text" stands for failure texts the section
// lists besides those quoted (not for an error that fails the call).
TEST(ReferenceDoc, TheTypeLibrarysHelpStringsPromiseOnlyDocumentedResults) {
  const std::string doc = reference();
  const std::string idl = read_file(fs::path(TAVIKSMS_SOURCE_DIR) / "TavikSmsDll/com/taviksms.idl");
  static const std::regex method(R"re(helpstring\("((?:[^"\\]|\\.)*)"\)\]\s*HRESULT\s+(\w+)\()re");
  static const std::regex quoted(R"(\\"([^"\\]*)\\")");
  static const std::regex result_row(R"(\n\| ([^|\n]+) \| [^|\n]+ \|)");
  int methods = 0;
  for (std::sregex_iterator it(idl.begin(), idl.end(), method), end; it != end; ++it, ++methods) {
    const std::string full_help = (*it)[1];
    // What it says of the results: from "Returns" on.
    const std::string help =
        full_help.substr(std::min(full_help.find("Returns"), full_help.size()));
    const std::string name = (*it)[2];
    const std::string text = section(doc, "## " + name);
    ASSERT_FALSE(text.empty()) << name;
    std::set<std::string> named;
    for (std::sregex_iterator q(help.begin(), help.end(), quoted); q != end; ++q) {
      named.insert((*q)[1]);
      EXPECT_NE(text.find("`" + (*q)[1].str() + "`"), std::string::npos)
          << name << ": the help string names " << (*q)[1] << ", which its section does not";
    }
    if (help.find("failure text") == std::string::npos) continue;
    // The first cells of the section's tables, but for the parameters' and the successes.
    bool other_failures = false;
    for (std::sregex_iterator r(text.begin(), text.end(), result_row); r != end; ++r) {
      std::string cell = (*r)[1];
      if (cell == "Result" || cell == "Parameter" || cell == "---" || cell == "the call fails" ||
          cell == "a number" || cell.find("`OK`") == 0 ||
          text.find("| " + cell + " | Accepted") != std::string::npos) {
        continue;
      }
      if (cell.size() > 2 && cell.front() == '`' && cell.back() == '`' &&
          named.count(cell.substr(1, cell.size() - 2))) {
        continue;
      }
      if (text.find("| " + cell + " |") < text.find("| Result |")) continue;  // a parameter
      other_failures = true;
    }
    EXPECT_TRUE(other_failures) << name << ": the help string promises a failure text its section "
                                << "does not list (help: " << full_help << ")";
  }
  EXPECT_EQ(methods, 19);
}

}  // namespace
