// Delivery results (sms1.txt, acknowledged in mode 1), reserved messages (sms2.txt) and their
// cancellation. The methods' functions raise core::Error on failure; their rules in the method
// list say what a caller sees (and open the session first).
#pragma once

#include <cstdint>
#include <string>

#include "base/module_state.h"

namespace taviksms::results {

inline constexpr std::int32_t kModeAcknowledge = 1;

// The statement that acknowledges the delivery result `id` once its line is written.
std::u16string ack_statement(std::int32_t id);

// ResultWrite: DbRs's rows to "sms1.txt". In the acknowledge mode each row's line reaches the
// operating system before its acknowledgement runs, so an acknowledged row is always in the
// file; a failure between the two leaves a written, unacknowledged row that is listed again
// next time. A Null or out-of-range "id" stops the export at that row, before anything of it.
// Raises on any failure; the file is closed on every exit.
std::u16string result_write(core::ModuleState& s, std::int32_t mode);

// ResultFetch: mode 1 runs sp_result_data1, any other mode sp_result_data2 with the window.
std::u16string result_fetch(std::int32_t mode, const std::u16string& fr, const std::u16string& to);

std::u16string sms_result1();
std::u16string sms_result2(const std::u16string& fr_dtime, const std::u16string& to_dtime);
std::u16string sms_result_v2(const std::u16string& sub_id, const std::u16string& fr_dtime,
                             const std::u16string& to_dtime);

// The listings return the export's own text: "OK", or why sms2.txt could not be written.
std::u16string yaeyak_data();
std::u16string yaeyak_data_v2(const std::u16string& sub_id);
std::u16string yaeyak_delete(std::int32_t key_id);
// DbRs's rows to "sms2.txt", whatever DbRs holds; counts in 32 bits.
std::u16string yaeyak_data_text();

}  // namespace taviksms::results
