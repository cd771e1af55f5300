// Decoding of the requests a logged-in client sends: SQL batches and RPCs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "backend.h"
#include "tds/wire.h"

namespace sandbox::tds {

inline constexpr std::uint16_t kProcIdExecuteSql = 10;
inline constexpr std::uint16_t kProcIdPrepare = 11;
inline constexpr std::uint16_t kProcIdExecute = 12;
inline constexpr std::uint16_t kProcIdPrepExec = 13;
inline constexpr std::uint16_t kProcIdUnprepare = 15;

struct RpcCall {
  std::u16string name;        // as sent; empty when the call names a ProcID
  std::uint16_t proc_id = 0;  // 0 when called by name
  std::uint16_t option_flags = 0;
  std::vector<RpcParam> params;
};

// Both throw ProtocolError (with the number for the client's ERROR token) on anything they
// cannot decode; nothing of a message is acted on before all of it has decoded.
std::u16string decode_sql_batch(std::span<const std::uint8_t> payload);
std::vector<RpcCall> decode_rpc(std::span<const std::uint8_t> payload);

// One parameter's TYPE_INFO and value. Type mapping onto SqlType:
//   INT1/INT2/INT4 and INTN(1,2,4) -> Int; INT8/INTN(8) -> BigInt; BIT/BITN -> Bit;
//   MONEY/SMALLMONEY/MONEYN -> Money; DECIMALN/NUMERICN -> Decimal (must fit 64 bits unscaled);
//   FLT4/FLT8/FLTN -> Decimal of precision 38, at most 6 decimals (trailing zeros dropped);
//   DATETIME/SMALLDATETIME/DATETIMN/DATEN/DATETIME2N -> DateTime (to the millisecond);
//   BIGVARCHAR/BIGCHAR/TEXT (CP949) -> VarChar; NVARCHAR/NCHAR/NTEXT -> NVarChar;
//   BIGVARBINARY/BIGBINARY/IMAGE -> VarChar, one character per byte (ISO-8859-1);
//   NULLTYPE -> NULL NVarChar. Anything else is error 8009.
SqlValue decode_param_value(WireReader& r);

// Name of a well-known ProcID, for messages ("sp_executesql" for 10).
std::u16string proc_id_name(std::uint16_t proc_id);

}  // namespace sandbox::tds
