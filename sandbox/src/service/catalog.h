// The procedures the database answers: names, declared parameters, return types, result columns.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "backend.h"

namespace sandbox {

enum class ProcId : std::uint8_t {
  f_login,
  f_sms_janek,
  sp_sms_send,
  sp_lms_send,
  sp_mms_send,
  sp_result_data1,
  sp_result_data2,
  sp_result_dataV2,
  sp_YaeyakData,
  sp_YaeyakDataV2,
  sp_YaeyakDelete,
  sp_ibgum_data,
  sp_addmember,
  sp_sproc_columns,
};

// Declared parameter types. NVarChar carries its length in characters.
enum class ParamType : std::uint8_t { NVarChar, NVarCharMax, Int, Bit };

struct ParamDef {
  std::u16string_view name;  // with the "@"
  ParamType type = ParamType::NVarChar;
  std::uint32_t length = 4000;  // NVarChar only
  bool has_default = false;     // may be left out; the default is NULL unless the procedure says
};

// What a procedure hands back: a procedure's int status, or a function's scalar.
enum class ReturnType : std::uint8_t { Status, NVarChar200, Money };

struct ProcDef {
  ProcId id;
  std::u16string_view name;
  bool is_function = false;
  ReturnType returns = ReturnType::Status;
  std::vector<ParamDef> params;
  std::vector<Column> columns;  // the result set's columns; empty: no result set
  bool listed = true;           // shown by sp_sproc_columns

  // Index of a parameter by name (case-insensitive), or -1.
  int param_index(std::u16string_view param_name) const;
};

// Every procedure, sorted by name.
const std::vector<ProcDef>& procedure_catalog();
const ProcDef& procedure(ProcId id);
// A bare procedure name (no schema, no brackets), case-insensitive.
const ProcDef* find_procedure(std::u16string_view bare_name);

// The fifteen columns of results and reservations, and the deposit columns.
const std::vector<Column>& result_columns();
const std::vector<Column>& deposit_columns();

// Message kinds and their prices in ten-thousandths.
inline constexpr std::int64_t kPriceSms = 20 * 10000;
inline constexpr std::int64_t kPriceLms = 50 * 10000;
inline constexpr std::int64_t kPriceMms = 200 * 10000;
// `typ` recorded for long and picture messages (a short message records its @typ).
inline constexpr std::int32_t kTypLms = 5;
inline constexpr std::int32_t kTypMms = 6;

}  // namespace sandbox
