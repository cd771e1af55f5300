// SmsSend, LmsSend and MmsSend: one stored-procedure execution per recipient on the thread's
// shared command, and the recipient loop they share. The methods' functions raise core::Error on
// failure; their rules in the method list say what a caller sees (and open the session first).
#pragma once

#include <cstdint>
#include <string>

#include "base/module_state.h"

namespace taviksms::send {

// SubmitToRecipients: ":" and ";" become ","; every non-empty entry between commas, in order,
// is set as "@Custom_tel" and the prepared command executed once (DbRs takes the returned
// recordset). Blanks are part of an entry; an entry listed twice is executed twice. The first
// error ends the loop and propagates; entries executed before it stay submitted.
void submit_to_recipients(core::ModuleState& s, std::u16string list);

std::u16string sms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& msg,
                        std::int32_t typ, const std::u16string& yk_time);

std::u16string lms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& yk_time);

// The pictures are named as FTP_Upload stores them (upload/picture_name.h): UserId + "_" + the
// lower-cased base name; an empty path (or one ending in a backslash) sends the empty text.
std::u16string mms_send(const std::u16string& sub_id, const std::u16string& user_tel,
                        const std::u16string& custom_id, const std::u16string& custom_nam,
                        const std::u16string& custom_tel, const std::u16string& subject,
                        const std::u16string& msg, const std::u16string& fnam1,
                        const std::u16string& fnam2, const std::u16string& fnam3,
                        const std::u16string& yk_time);

}  // namespace taviksms::send
