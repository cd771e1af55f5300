// SQL Server date-time wire forms <-> milliseconds since 1970-01-01 (DateTime::ms).
#pragma once

#include <cstdint>

namespace sandbox::tds {

struct DatetimeWire {
  std::int32_t days = 0;    // since 1900-01-01
  std::uint32_t ticks = 0;  // 1/300 s since midnight
};

// datetime keeps 1/300 s: milliseconds round to the nearest tick (so .999 becomes the next
// second and ...998 the .997 shown by the server), carrying into the next day.
DatetimeWire to_datetime(std::int64_t ms);
std::int64_t from_datetime(std::int32_t days, std::uint32_t ticks);
// datetime2/date: days since 0001-01-01 and time in units of 10^-scale s, to the nearest ms.
std::int64_t from_datetime2(std::uint32_t days, std::uint64_t units, std::uint8_t scale);

}  // namespace sandbox::tds
