// The columns of the export files, in file order: the component writes its lines from them and
// the shell's `.show` heads its table with them.
#pragma once

#include <array>
#include <span>
#include <string_view>

namespace taviksms::export_columns {

// sms1.txt (delivery results) and sms2.txt (reservations): fifteen fields.
inline constexpr std::array<std::string_view, 15> kResult = {
    "id",        "User_ID",    "SUB_ID", "user_tel",    "Custom_tel",
    "Custom_id", "Custom_nam", "msg",    "result_code", "Result_Msg",
    "typ",       "kun2",       "fee2",   "i_time",      "s_time"};

// sms3.txt (deposits): five fields.
inline constexpr std::string_view kDepositFile = "sms3.txt";
inline constexpr std::array<std::string_view, 5> kDeposit = {"User_ID", "kunsu", "ibgum",
                                                             "Ibgum_date", "ibgum_memo"};

// The columns of the export file `name` (a path ending in the file's name).
constexpr std::span<const std::string_view> of_file(std::string_view name) {
  if (name.ends_with(kDepositFile)) return kDeposit;
  return kResult;
}

}  // namespace taviksms::export_columns
