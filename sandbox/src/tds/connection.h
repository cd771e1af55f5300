// One client's protocol state: what each complete message means and what goes back. No
// sockets here, so the whole request/response logic is testable with a fake Session.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backend.h"
#include "tds/login.h"
#include "tds/packet.h"
#include "tds/request_decoder.h"
#include "tds/response_encoder.h"

namespace sandbox::tds {

struct Reply {
  std::vector<std::uint8_t> payload;  // a tabular-result (0x04) message; empty: send nothing
  bool close = false;                 // close the connection after sending `payload`
};

class Connection {
 public:
  explicit Connection(Session& session, EncryptionSetting encryption = EncryptionSetting::kOff)
      : session_(session), encryption_setting_(encryption) {}

  // Handles one complete message from the client.
  Reply handle(const Message& message);
  // A long answer's first parts go to `sink` while it is built (see ResponseBuilder::stream_to);
  // the Reply then holds only its rest. A false from `sink` ends the connection.
  void stream_to(std::function<bool(std::vector<std::uint8_t>)> sink) { sink_ = std::move(sink); }
  // Used for a message over the size bound: an ERROR, then the connection closes.
  static Reply too_large();

  bool logged_in() const { return state_ == State::kLoggedIn; }
  std::size_t packet_size() const { return packet_size_; }
  const std::u16string& database() const { return database_; }
  // What PRELOGIN agreed to; until then kNone. Anything but kNone means the client must now
  // start TLS (the caller runs the handshake and the encrypted reading and writing).
  Encryption encryption() const { return encryption_; }
  // The login name of the last LOGIN7, accepted or not.
  const std::u16string& login_user() const { return login_user_; }

 private:
  enum class State { kNew, kPrelogin, kLoggedIn };

  Reply prelogin(const Message& m);
  Reply login(const Message& m);
  Reply sql_batch(const Message& m);
  Reply rpc(const Message& m);
  std::vector<StatementResult> prepared_call(const RpcCall& call);

  // A builder for an answer, streaming to sink_ when set.
  ResponseBuilder builder();

  Session& session_;
  std::function<bool(std::vector<std::uint8_t>)> sink_;
  bool partly_sent_ = false;  // part of the current answer went to sink_
  EncryptionSetting encryption_setting_;
  Encryption encryption_ = Encryption::kNone;
  std::u16string login_user_;
  State state_ = State::kNew;
  std::size_t packet_size_ = kDefaultPacketSize;
  std::u16string database_;

  // Statements prepared on this connection (sp_prepare/sp_prepexec), by handle: ODBC drivers
  // prepare every parameterised statement a host runs through SQLPrepare/SQLExecute.
  struct Prepared {
    std::u16string declaration;
    std::u16string statement;
  };
  std::map<std::int32_t, Prepared> prepared_;
  std::int32_t next_handle_ = 1;
};

}  // namespace sandbox::tds
