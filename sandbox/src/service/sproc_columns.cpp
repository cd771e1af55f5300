// sp_sproc_columns: parameter metadata in SQL Server's layout, for ODBC's SQLProcedureColumns.
#include "service/service_impl.h"
#include "service/text.h"

#include <string>
#include <vector>

namespace sandbox {

namespace {

// ODBC SQL type codes.
constexpr std::int32_t kSqlInteger = 4;
constexpr std::int32_t kSqlDecimal = 3;
constexpr std::int32_t kSqlBit = -7;
constexpr std::int32_t kSqlWVarChar = -9;
constexpr std::int32_t kSqlWLongVarChar = -10;
// SQL Server's SS_DATA_TYPE codes.
constexpr std::int32_t kSsInt = 38;
constexpr std::int32_t kSsNVarChar = 39;
constexpr std::int32_t kSsMoney = 60;
constexpr std::int32_t kSsBit = 50;

Column col(std::u16string_view name, SqlType type, std::uint32_t length = 0, bool nullable = true) {
  Column c;
  c.name = std::u16string(name);
  c.type = type;
  c.max_length = length;
  c.nullable = nullable;
  return c;
}

const std::vector<Column>& layout() {
  static const std::vector<Column> cols = {
      col(u"PROCEDURE_QUALIFIER", SqlType::NVarChar, 128),
      col(u"PROCEDURE_OWNER", SqlType::NVarChar, 128),
      col(u"PROCEDURE_NAME", SqlType::NVarChar, 134),
      col(u"COLUMN_NAME", SqlType::NVarChar, 128),
      col(u"COLUMN_TYPE", SqlType::Int),
      col(u"DATA_TYPE", SqlType::Int),
      col(u"TYPE_NAME", SqlType::NVarChar, 128),
      col(u"PRECISION", SqlType::Int),
      col(u"LENGTH", SqlType::Int),
      col(u"SCALE", SqlType::Int),
      col(u"RADIX", SqlType::Int),
      col(u"NULLABLE", SqlType::Int),
      col(u"REMARKS", SqlType::VarChar, 254),
      col(u"COLUMN_DEF", SqlType::NVarChar, 4000),
      col(u"SQL_DATA_TYPE", SqlType::Int),
      col(u"SQL_DATETIME_SUB", SqlType::Int),
      col(u"CHAR_OCTET_LENGTH", SqlType::Int),
      col(u"ORDINAL_POSITION", SqlType::Int),
      col(u"IS_NULLABLE", SqlType::VarChar, 254),
      col(u"SS_DATA_TYPE", SqlType::Int),
  };
  return cols;
}

// LIKE with %, _, [x] and a backslash escape (ODBC escapes "_" as "\_"); case-insensitive.
// Every element but % stands for exactly one character, so the classic greedy match with one
// backtrack point (the last %) decides it in O(text * pattern): a pattern of many % cannot blow
// up, whoever sends it.
struct LikeElement {
  enum Kind { kAny, kOne, kChar, kSet } kind;
  char16_t c = 0;           // kChar
  std::u16string_view set;  // kSet
  bool matches(char16_t t) const {
    switch (kind) {
      case kOne:
        return true;
      case kChar:
        return taviksms::ascii::lower(t) == taviksms::ascii::lower(c);
      case kSet:
        for (char16_t s : set) {
          if (taviksms::ascii::lower(s) == taviksms::ascii::lower(t)) return true;
        }
        return false;
      case kAny:
        break;
    }
    return false;
  }
};

std::vector<LikeElement> like_elements(std::u16string_view pattern) {
  std::vector<LikeElement> out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char16_t p = pattern[i];
    if (p == u'%') {
      if (out.empty() || out.back().kind != LikeElement::kAny)
        out.push_back({LikeElement::kAny, 0, {}});
    } else if (p == u'_') {
      out.push_back({LikeElement::kOne, 0, {}});
    } else if (p == u'\\' && i + 1 < pattern.size()) {
      out.push_back({LikeElement::kChar, pattern[++i], {}});
    } else if (p == u'[' && pattern.find(u']', i + 1) != std::u16string_view::npos) {
      const std::size_t close = pattern.find(u']', i + 1);
      out.push_back({LikeElement::kSet, 0, pattern.substr(i + 1, close - i - 1)});
      i = close;
    } else {
      out.push_back({LikeElement::kChar, p, {}});
    }
  }
  return out;
}

bool like(std::u16string_view text, std::u16string_view pattern) {
  const std::vector<LikeElement> elems = like_elements(pattern);
  std::size_t t = 0;
  std::size_t e = 0;
  std::size_t star = std::string::npos;  // the last % met
  std::size_t resume = 0;                // where the text goes on after it
  while (t < text.size()) {
    if (e < elems.size() && elems[e].kind == LikeElement::kAny) {
      star = e++;
      resume = t;
    } else if (e < elems.size() && elems[e].matches(text[t])) {
      ++t;
      ++e;
    } else if (star != std::string::npos) {
      // Let the last % take one more character; earlier % never need to move again.
      e = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (e < elems.size() && elems[e].kind == LikeElement::kAny) ++e;
  return e == elems.size();
}

bool matches(const std::u16string* pattern, std::u16string_view value, bool use_pattern) {
  if (!pattern) return true;
  return use_pattern ? like(value, *pattern) : iequals(value, *pattern);
}

SqlValue nv(std::u16string_view s) {
  return SqlValue::nvarchar(std::u16string(s));
}
SqlValue i32(std::int32_t v) {
  return SqlValue::int32(v);
}
SqlValue null_int() {
  return SqlValue::null(SqlType::Int);
}

struct TypeInfo {
  std::int32_t data_type;
  std::u16string_view type_name;
  std::int32_t precision;
  std::int32_t length;
  std::optional<std::int32_t> scale;
  std::optional<std::int32_t> radix;
  std::optional<std::int32_t> octet_length;
  std::int32_t ss_type;
};

TypeInfo param_type(ParamType t, std::uint32_t length) {
  switch (t) {
    case ParamType::NVarChar: {
      const auto n = static_cast<std::int32_t>(length);
      return {kSqlWVarChar, u"nvarchar", n, n * 2, std::nullopt, std::nullopt, n * 2, kSsNVarChar};
    }
    case ParamType::NVarCharMax:
      return {kSqlWLongVarChar, u"nvarchar",  1073741823, 2147483646,
              std::nullopt,     std::nullopt, 2147483646, kSsNVarChar};
    case ParamType::Int:
      return {kSqlInteger, u"int", 10, 4, 0, 10, std::nullopt, kSsInt};
    case ParamType::Bit:
      return {kSqlBit, u"bit", 1, 1, std::nullopt, std::nullopt, std::nullopt, kSsBit};
  }
  return {};
}

TypeInfo return_type(ReturnType t) {
  switch (t) {
    case ReturnType::Status:
      return param_type(ParamType::Int, 0);
    case ReturnType::NVarChar200:
      return param_type(ParamType::NVarChar, 200);
    case ReturnType::Money:
      return {kSqlDecimal, u"money", 19, 21, 4, 10, std::nullopt, kSsMoney};
  }
  return {};
}

Row make_row(std::u16string_view owner, const ProcDef& def, std::u16string_view column,
             std::int32_t column_type, const TypeInfo& t, std::int32_t ordinal, bool nullable) {
  auto opt = [](std::optional<std::int32_t> v) { return v ? i32(*v) : null_int(); };
  std::u16string proc_name(def.name);
  proc_name += def.is_function ? u";0" : u";1";
  Row row;
  row.reserve(20);
  row.push_back(nv(u"sms"));
  row.push_back(nv(owner));
  row.push_back(nv(proc_name));
  row.push_back(nv(column));
  row.push_back(i32(column_type));
  row.push_back(i32(t.data_type));
  row.push_back(nv(t.type_name));
  row.push_back(i32(t.precision));
  row.push_back(i32(t.length));
  row.push_back(opt(t.scale));
  row.push_back(opt(t.radix));
  row.push_back(i32(nullable ? 1 : 0));
  row.push_back(SqlValue::null(SqlType::VarChar));
  row.push_back(SqlValue::null(SqlType::NVarChar));
  row.push_back(i32(t.data_type));
  row.push_back(null_int());
  row.push_back(opt(t.octet_length));
  row.push_back(i32(ordinal));
  row.push_back(SqlValue::varchar(nullable ? u"YES" : u"NO"));
  row.push_back(i32(t.ss_type));
  return row;
}

// Procedures that exist only in the catalog: one whose name sp_sms_send's "_" wildcards match,
// one of the same name in another schema; each with parameters of its own.
struct Listed {
  std::u16string_view owner;
  const ProcDef* def;
};

const std::vector<ProcDef>& decoy_defs() {
  static const std::vector<ProcDef> defs = [] {
    std::vector<ProcDef> d;
    d.push_back({ProcId::sp_sms_send,
                 u"spXsmsXsend",
                 false,
                 ReturnType::Status,
                 {ParamDef{u"@decoy_id", ParamType::Int, 0, false},
                  ParamDef{u"@decoy_text", ParamType::NVarChar, 10, false}},
                 {}});
    d.push_back({ProcId::sp_sms_send,
                 u"sp_sms_send",
                 false,
                 ReturnType::Status,
                 {ParamDef{u"@legacy_phone", ParamType::NVarChar, 20, false},
                  ParamDef{u"@legacy_flag", ParamType::Bit, 0, false}},
                 {}});
    return d;
  }();
  return defs;
}

std::vector<Listed> listed_procedures(bool decoys) {
  std::vector<Listed> out;
  if (decoys) out.push_back({u"dbo", &decoy_defs()[0]});
  for (const ProcDef& def : procedure_catalog()) {
    if (def.listed) out.push_back({u"dbo", &def});
  }
  if (decoys) out.push_back({u"legacy", &decoy_defs()[1]});
  return out;
}

}  // namespace

ResultSet describe_procedures(const ProcArgs& args, bool decoys) {
  ResultSet rs;
  rs.columns = layout();
  const std::u16string* name = args.text(u"@procedure_name");
  const std::u16string* owner = args.text(u"@procedure_owner");
  const std::u16string* qualifier = args.text(u"@procedure_qualifier");
  const std::u16string* column = args.text(u"@column_name");
  const bool use_pattern = args.integer(u"@fUsePattern").value_or(1) != 0;
  if (!matches(qualifier, u"sms", false)) return rs;
  for (const Listed& entry : listed_procedures(decoys)) {
    const ProcDef& def = *entry.def;
    if (!matches(owner, entry.owner, use_pattern)) continue;
    // A name may carry the ";1" group number.
    std::u16string_view wanted_name = name ? std::u16string_view(*name) : u"%";
    if (const auto semi = wanted_name.find(u';'); semi != std::u16string_view::npos) {
      wanted_name = wanted_name.substr(0, semi);
    }
    const std::u16string wanted(wanted_name);
    if (!matches(&wanted, def.name, use_pattern)) continue;
    if (matches(column, u"@RETURN_VALUE", use_pattern)) {
      rs.rows.push_back(make_row(entry.owner, def, u"@RETURN_VALUE", 5, return_type(def.returns), 0,
                                 def.is_function));
    }
    for (std::size_t i = 0; i < def.params.size(); ++i) {
      const ParamDef& p = def.params[i];
      if (!matches(column, p.name, use_pattern)) continue;
      rs.rows.push_back(make_row(entry.owner, def, p.name, 1, param_type(p.type, p.length),
                                 static_cast<std::int32_t>(i + 1), true));
    }
  }
  return rs;
}

}  // namespace sandbox
