// The sandbox's SQL batch parser. Properties: any text parses or gives an error on one of its
// lines; parsing is a pure function of the text; an object name written with brackets (']'
// doubled inside) splits back into exactly the parts it was made from.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <variant>
#include <vector>

#include "fuzz_util.h"
#include "service/sql_parser.h"

namespace {

int lines_of(std::u16string_view s) {
  int n = 1;
  for (char16_t c : s)
    if (c == u'\n') ++n;
  return n;
}

std::u16string bracket(const std::u16string& part) {
  std::u16string out = u"[";
  for (char16_t c : part) {
    out.push_back(c);
    if (c == u']') out.push_back(u']');
  }
  return out + u"]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int form = in.ConsumeIntegralInRange(0, 2);
  const std::vector<std::uint8_t> rest = in.ConsumeRemainingBytes<std::uint8_t>();
  // Texts made of the grammar's own pieces (they reach further in), any UTF-16, or bytes as
  // Latin-1 (so plain SQL seeds stay readable).
  static const std::u16string_view pieces[] = {
      u"EXEC ",       u"exec ",      u"SELECT ",
      u"USE ",        u"BEGIN TRAN", u"COMMIT",
      u"ROLLBACK",    u"sms",        u"dbo",
      u".",           u"[",          u"]",
      u"'",           u"''",         u"N'",
      u"@",           u"@@VERSION",  u"@x",
      u"=",           u",",          u";",
      u"(",           u")",          u"\n",
      u" ",           u"--",         u"/*",
      u"*/",          u"1",          u"-",
      u"0x",          u"AS ",        u"OUTPUT",
      u"sp_sms_send", u"\"",         u"NULL",
      u"1.5",         u"UPDATE ",    u"SET ",
      u"WHERE ",      u"\xAC00",     std::u16string_view(u"\0", 1)};
  std::u16string sql;
  if (form == 0) {
    for (std::uint8_t b : rest) sql += pieces[b % std::size(pieces)];
  } else if (form == 1) {
    sql = fuzz::utf16_of(rest.data(), rest.size());
  } else {
    sql.assign(rest.begin(), rest.end());
  }

  const auto parsed = sandbox::parse_sql_batch(sql);
  const int lines = lines_of(sql);
  if (const auto* err = std::get_if<sandbox::SqlParseError>(&parsed)) {
    FUZZ_CHECK(err->line >= 1 && err->line <= lines);
    FUZZ_CHECK(!err->text.empty());
  } else {
    for (const auto& st : std::get<std::vector<sandbox::SqlStatement>>(parsed)) {
      FUZZ_CHECK(st.line >= 1 && st.line <= lines);
      if (st.kind == sandbox::SqlStatement::Kind::Exec) {
        FUZZ_CHECK(!st.proc_parts.empty() && st.proc_parts.size() <= 4);
      }
    }
  }
  const auto again = sandbox::parse_sql_batch(sql);
  FUZZ_CHECK(again.index() == parsed.index());

  // Bracketed names: up to four parts, any characters but NUL and line ends inside.
  std::vector<std::u16string> parts;
  std::u16string cur;
  for (char16_t c : sql) {
    if (c == u'.' || parts.size() == 4) {
      if (parts.size() < 4) parts.push_back(cur);
      cur.clear();
      continue;
    }
    if (c != 0 && c != u'\n' && c != u'\r') cur.push_back(c);
  }
  if (parts.size() < 4) parts.push_back(cur);
  bool usable = true;
  for (const auto& p : parts) usable = usable && !p.empty();
  if (usable) {
    std::u16string name;
    for (std::size_t i = 0; i < parts.size(); ++i) name += (i ? u"." : u"") + bracket(parts[i]);
    const auto split = sandbox::split_object_name(name);
    FUZZ_CHECK(split.has_value() && *split == parts);
  }
  return 0;
}
