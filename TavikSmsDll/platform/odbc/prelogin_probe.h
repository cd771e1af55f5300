// What a database server answers about encryption in PRELOGIN, asked on a connection of its
// own the way the drivers ask by default ("off": use encryption if the server offers it). The
// answer says what the driver's connection will be: nothing encrypted, the login encrypted, or
// the whole session. For `taviksms doctor` and the trace of a failed open.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/platform/data_access.h"

namespace taviksms::platform::odbc {

// The PRELOGIN message (packet header included): VERSION and ENCRYPTION "off".
std::vector<std::uint8_t> prelogin_probe_request();
// The ENCRYPTION option of a server's PRELOGIN answer (the message's payload, header removed),
// or -1 when the answer holds none or is malformed.
int prelogin_encryption_answer(std::span<const std::uint8_t> payload);

// Connects to host:port, sends the request and reads the answer, all within `limit`.
DataAccess::EncryptionProbe probe_encryption(const std::string& host, std::uint16_t port,
                                             std::chrono::milliseconds limit);

}  // namespace taviksms::platform::odbc
