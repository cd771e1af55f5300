#include "tds/connection.h"

#include <algorithm>
#include <exception>
#include <string>

#include <taviksms_common/ascii.h>
#include "tds/login.h"
#include "tds/request_decoder.h"
#include "tds/response_encoder.h"
#include "tds/wire.h"

namespace sandbox::tds {
namespace {

constexpr std::uint8_t kServerVersion[4] = {16, 0, 0x10, 0x00};  // 16.0.4096

ServerMessage error_message(std::int32_t number, const std::string& text,
                            std::uint8_t severity = 16) {
  ServerMessage m;
  m.number = number;
  m.severity = severity;
  m.state = 1;
  m.text = ascii_to_u16(text);
  return m;
}

Reply error_reply(std::int32_t number, const std::string& text, bool close) {
  ResponseBuilder b;
  b.error_done(error_message(number, text));
  return {b.finish(), close};
}

bool any_drop(const std::vector<StatementResult>& results) {
  return std::any_of(results.begin(), results.end(),
                     [](const StatementResult& r) { return r.drop_connection; });
}

bool is_execute_sql(const RpcCall& call) {
  if (call.proc_id != 0) return call.proc_id == kProcIdExecuteSql;
  return taviksms::ascii::iequals(call.name, u"sp_executesql") ||
         taviksms::ascii::iequals(call.name, u"sys.sp_executesql") ||
         taviksms::ascii::iequals(call.name, u"[sys].[sp_executesql]");
}

bool is_text(const SqlValue& v) {
  return !v.is_null && (v.type == SqlType::NVarChar || v.type == SqlType::VarChar);
}

}  // namespace

Reply Connection::too_large() {
  return error_reply(4002,
                     "The incoming tabular data stream (TDS) protocol stream is incorrect. "
                     "The message is too large.",
                     true);
}

ResponseBuilder Connection::builder() {
  ResponseBuilder b;
  // Parts of about 32 KiB: a long answer costs that much memory while it goes out.
  if (sink_) {
    b.stream_to(32 * 1024, [this](std::vector<std::uint8_t> part) {
      partly_sent_ = true;
      return sink_(std::move(part));
    });
  }
  return b;
}

Reply Connection::handle(const Message& m) {
  partly_sent_ = false;
  try {
    switch (m.type) {
      case packet_type::kPrelogin:
        return prelogin(m);
      case packet_type::kLogin7:
        return login(m);
      case packet_type::kSqlBatch:
      case packet_type::kRpc:
      case packet_type::kTransactionManager:
      case packet_type::kAttention:
        if (state_ != State::kLoggedIn) return {{}, true};
        break;
      default:
        // Not a TDS 7 client message (or garbage): nothing sensible to answer.
        return {{}, true};
    }
    if (m.type == packet_type::kAttention) {
      // Requests run to completion before the next message is read, so the attention always
      // arrives after the response it meant to cancel: acknowledge it exactly once.
      ResponseBuilder b;
      b.done(token::kDone, done::kAttention);
      return {b.finish(), false};
    }
    if (m.type == packet_type::kSqlBatch) return sql_batch(m);
    if (m.type == packet_type::kRpc) return rpc(m);
    return error_reply(4002, "Transaction manager requests are not supported.", false);
  } catch (const ProtocolError& e) {
    if (partly_sent_) return {{}, true};  // an answer already under way cannot turn into another
    // Framing is intact (the message was complete), so the connection can carry on — except
    // before login, where there is no session to carry on with.
    return error_reply(e.number(), e.what(), state_ != State::kLoggedIn);
  } catch (const std::exception& e) {
    if (partly_sent_) return {{}, true};
    return error_reply(50000, std::string("Internal error: ") + e.what(), false);
  }
}

Reply Connection::prelogin(const Message& m) {
  if (state_ != State::kNew) return {{}, true};
  const Prelogin p = parse_prelogin(m.payload);
  const EncryptionAgreement agreed = agree_encryption(encryption_setting_, p.encryption);
  if (agreed.refuse) return {{}, true};
  encryption_ = agreed.encryption;
  state_ = State::kPrelogin;
  return {build_prelogin_reply(agreed.answer), false};
}

Reply Connection::login(const Message& m) {
  if (state_ == State::kLoggedIn) return {{}, true};
  const Login7 l = parse_login7(m.payload);
  login_user_ = l.request.user;
  if (l.integrated_security && l.request.user.empty()) {
    ResponseBuilder b;
    ServerMessage e = error_message(18452,
                                    "Login failed. The login is from an untrusted domain "
                                    "and cannot be used with Integrated authentication.",
                                    14);
    b.error_done(e);
    return {b.finish(), true};
  }
  const LoginResult result = session_.login(l.request);
  ResponseBuilder b;
  if (result.error) {
    b.error_done(*result.error);
    return {b.finish(), true};
  }
  database_ = result.database.empty() ? l.request.database : result.database;
  if (!database_.empty()) {
    b.envchange(envchange::kDatabase, database_, u"master");
    ServerMessage info;
    info.number = 5701;
    info.state = 2;
    info.severity = 0;
    info.text = u"Changed database context to '" + database_ + u"'.";
    b.message(info, false);
  }
  b.envchange_collation();
  b.envchange(envchange::kLanguage, u"us_english", u"");
  ServerMessage lang;
  lang.number = 5703;
  lang.state = 1;
  lang.severity = 0;
  lang.text = u"Changed language setting to us_english.";
  b.message(lang, false);
  b.login_ack(u"Microsoft SQL Server", kTds74, kServerVersion);
  packet_size_ = l.packet_size == 0
                     ? kDefaultPacketSize
                     : std::clamp<std::size_t>(l.packet_size, kMinPacketSize, kMaxPacketSize);
  b.envchange(envchange::kPacketSize, ascii_to_u16(std::to_string(packet_size_)),
              ascii_to_u16(std::to_string(kDefaultPacketSize)));
  b.done(token::kDone, done::kFinal);
  state_ = State::kLoggedIn;
  return {b.finish(), false};
}

Reply Connection::sql_batch(const Message& m) {
  const std::u16string sql = decode_sql_batch(m.payload);
  const std::vector<StatementResult> results = session_.execute_batch(sql);
  if (any_drop(results)) return {{}, true};
  ResponseBuilder b = builder();
  b.batch_results(results, database_);
  if (b.stream_failed()) return {{}, true};
  return {b.finish(), false};
}

Reply Connection::rpc(const Message& m) {
  const std::vector<RpcCall> calls = decode_rpc(m.payload);
  ResponseBuilder b = builder();
  for (const RpcCall& call : calls) {
    std::vector<StatementResult> results;
    if (is_execute_sql(call)) {
      if (call.params.empty() || !is_text(call.params[0].value) ||
          (call.params.size() > 1 && !call.params[1].value.is_null &&
           !is_text(call.params[1].value))) {
        StatementResult st;
        st.error = error_message(214,
                                 "Procedure expects parameter '@statement' of type "
                                 "'ntext/nchar/nvarchar'.");
        st.error->procedure = u"sp_executesql";
        results.push_back(std::move(st));
      } else {
        const std::u16string declaration =
            call.params.size() > 1 ? call.params[1].value.s : std::u16string();
        std::vector<RpcParam> values;
        if (call.params.size() > 2) values.assign(call.params.begin() + 2, call.params.end());
        results = session_.execute_sql(call.params[0].value.s, declaration, values);
      }
    } else if (call.proc_id == kProcIdPrepare || call.proc_id == kProcIdExecute ||
               call.proc_id == kProcIdPrepExec || call.proc_id == kProcIdUnprepare) {
      results = prepared_call(call);
    } else if (call.proc_id != 0) {
      StatementResult st;
      st.error = error_message(2812, "Could not find stored procedure '" +
                                         u16_to_ascii(proc_id_name(call.proc_id)) + "'.");
      results.push_back(std::move(st));
    } else {
      results.push_back(session_.call_rpc(call.name, call.params));
    }
    if (any_drop(results)) return {{}, true};
    b.rpc_results(results, database_);
    if (b.stream_failed()) return {{}, true};
  }
  return {b.finish(), false};
}

// sp_prepare (@handle OUTPUT, @params, @stmt, @options), sp_execute (@handle, values...),
// sp_prepexec (@handle OUTPUT, @params, @stmt, values...) and sp_unprepare (@handle). The
// statement runs as sp_executesql would run it; the new handle returns as an output value.
std::vector<StatementResult> Connection::prepared_call(const RpcCall& call) {
  const std::u16string proc = proc_id_name(call.proc_id);
  auto refuse = [&](std::int32_t number, const std::string& text) {
    StatementResult st;
    st.error = error_message(number, text);
    st.error->procedure = proc;
    return std::vector<StatementResult>{std::move(st)};
  };
  auto int_param = [&](std::size_t i) -> std::optional<std::int32_t> {
    if (i >= call.params.size() || call.params[i].value.is_null) return std::nullopt;
    const SqlValue& v = call.params[i].value;
    if (v.type == SqlType::Int || v.type == SqlType::BigInt) return static_cast<std::int32_t>(v.i);
    return std::nullopt;
  };
  auto text_param = [&](std::size_t i) -> const std::u16string* {
    if (i >= call.params.size()) return nullptr;
    const SqlValue& v = call.params[i].value;
    if (v.is_null) {
      static const std::u16string empty;
      return &empty;
    }
    return is_text(v) ? &v.s : nullptr;
  };

  if (call.proc_id == kProcIdUnprepare) {
    const auto handle = int_param(0);
    if (!handle) return refuse(8179, "Could not find prepared statement with handle 0.");
    prepared_.erase(*handle);
    StatementResult st;
    st.return_status = 0;
    return {std::move(st)};
  }
  if (call.proc_id == kProcIdExecute) {
    const auto handle = int_param(0);
    const auto it = handle ? prepared_.find(*handle) : prepared_.end();
    if (it == prepared_.end()) {
      return refuse(8179, "Could not find prepared statement with handle " +
                              std::to_string(handle.value_or(0)) + ".");
    }
    std::vector<RpcParam> values(call.params.begin() + 1, call.params.end());
    std::vector<StatementResult> results =
        session_.execute_sql(it->second.statement, it->second.declaration, values);
    if (results.empty()) results.emplace_back();
    results.back().return_status = 0;
    return results;
  }
  // sp_prepare / sp_prepexec
  const std::u16string* declaration = text_param(1);
  const std::u16string* statement = text_param(2);
  if (!declaration || !statement || statement->empty()) {
    return refuse(214, "Procedure expects parameter '@stmt' of type 'ntext/nchar/nvarchar'.");
  }
  const std::int32_t handle = next_handle_++;
  prepared_[handle] = Prepared{*declaration, *statement};
  std::vector<StatementResult> results;
  if (call.proc_id == kProcIdPrepExec) {
    std::vector<RpcParam> values;
    if (call.params.size() > 3) values.assign(call.params.begin() + 3, call.params.end());
    results = session_.execute_sql(*statement, *declaration, values);
  }
  if (results.empty()) results.emplace_back();
  StatementResult& last = results.back();
  last.return_status = 0;
  RpcParam out;
  out.name = call.params.empty() ? std::u16string() : call.params[0].name;
  out.value = SqlValue::int32(handle);
  out.output = true;
  last.output_values.push_back(std::move(out));
  return results;
}

}  // namespace sandbox::tds
