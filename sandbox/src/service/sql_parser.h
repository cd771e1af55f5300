// The small T-SQL subset the database understands in batches and sp_executesql statements.
//
// A batch is parsed whole before anything runs (as SQL Server compiles it): one syntax error
// fails the batch. Keywords are case-insensitive; statements may be separated by ';', new lines
// or nothing at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "backend.h"

namespace sandbox {

struct SqlExpr {
  enum class Kind : std::uint8_t { Literal, Variable, SysVariable, Call };
  Kind kind = Kind::Literal;
  SqlValue literal;                   // Literal
  std::u16string name;                // Variable/SysVariable ("@x", "@@VERSION"); Call: as written
  std::vector<std::u16string> parts;  // Call: the name's parts, unquoted
  std::vector<SqlExpr> args;          // Call
};

struct SqlExecArg {
  std::u16string name;  // "@x", or empty for a positional value
  SqlExpr value;
  bool output = false;
};

struct SqlSelectItem {
  SqlExpr expr;
  std::u16string alias;
};

struct SqlStatement {
  enum class Kind : std::uint8_t {
    Noop,
    Use,
    BeginTran,
    Commit,
    Rollback,
    Exec,
    Select,
    Ack,
    Fail
  };
  Kind kind = Kind::Noop;
  int line = 1;
  std::u16string database;                 // Use
  std::u16string proc_written;             // Exec: the name as written
  std::vector<std::u16string> proc_parts;  // Exec: unquoted parts ("sms", "dbo", "x")
  std::vector<SqlExecArg> args;            // Exec
  std::vector<SqlSelectItem> items;        // Select
  std::int64_t ack_id = 0;                 // Ack
  std::int32_t fail_number = 0;            // Fail: an error found while parsing that SQL Server
  std::u16string fail_text;                //       reports at run time
};

struct SqlParseError {
  std::int32_t number = 102;
  std::u16string text;
  int line = 1;
};

std::variant<std::vector<SqlStatement>, SqlParseError> parse_sql_batch(std::u16string_view sql);

// Splits "sms.dbo.x", "[dbo].[x]", "x" into unquoted parts; nullopt when it is not a name.
std::optional<std::vector<std::u16string>> split_object_name(std::u16string_view name);

// Parses an sp_executesql declaration ("@P1 varchar(50), @P2 int") into its parameter names.
std::vector<std::u16string> parse_declaration_names(std::u16string_view declaration);

}  // namespace sandbox
