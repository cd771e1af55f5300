// Login, Logout and SmsJanek: the service session and the balance; SmsIbgum and AddMember. The
// methods' functions raise core::Error on failure; their rules in the method list say what a
// caller sees (and open the session first).
#pragma once

#include <cstdint>
#include <string>

namespace taviksms::core {

// SmsJanek's answer to any failure (its rule in the method list: balance).
inline constexpr std::int32_t kJanekFailure = -12345678;

std::u16string login(const std::u16string& user_id, const std::u16string& passwd);
std::u16string logout();
std::int32_t sms_janek();

// SmsIbgum: the deposits to "sms3.txt" in the current directory.
std::u16string sms_ibgum();

// The business registration number as sent: "123-45-67890" loses its dashes (characters 1-3,
// 5-6 and 8-12); any text whose 4th character is not "-" is sent unchanged.
std::u16string normalize_tax_no(const std::u16string& tax_no);

// AddMember: registers a member; UserId and LoggedIn stay as they are.
std::u16string add_member(const std::u16string& user_id, const std::u16string& user_pw,
                          const std::u16string& recommender, const std::u16string& tax_no,
                          const std::u16string& tax_ltd, const std::u16string& tax_name,
                          const std::u16string& tax_jongmok, const std::u16string& tax_upte,
                          const std::u16string& tax_tel, const std::u16string& tax_fax,
                          const std::u16string& tax_mail, const std::u16string& tax_juso,
                          const std::u16string& tax_damdang);

}  // namespace taviksms::core
