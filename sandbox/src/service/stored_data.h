// What the service stored, read and changed for the control port as JSON documents (the shapes of
// docs/sandbox.md, "The control port"): messages, results, acknowledgements, deposits, members,
// accounts. The control port parses requests and sends answers; the store stays behind this.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

class Service;

// Filters of GET /messages and DELETE /messages; an unset one matches everything.
struct MessageFilter {
  std::optional<std::u16string> user_key;  // comparison_key() of the user id
  std::optional<std::int64_t> kind;        // 0 sms, 1 lms, 2 mms
  std::optional<std::int64_t> state;       // 0 waiting, 1 delivered, 3 cancelled
  std::optional<bool> reserved;
  std::u16string recipient;  // digits only when it holds digits, else the text as typed
  bool recipient_digits = false;
  std::u16string text;                 // folded search text over recipient, name, text, sub-account
  std::optional<std::int64_t> limit;   // only the newest N that match
  std::optional<std::int64_t> before;  // only ids below this ("load more")

  // The search text, folded as it is compared (A-Z in any case, everything else exactly).
  void set_text(std::u16string_view typed);
  // Its digits are found among the recipient's digits; text without digits is matched as typed.
  void set_recipient(std::u16string_view typed);
};

// The kind names of messages, by kind number.
inline constexpr const char* kMessageKinds[] = {"sms", "lms", "mms"};

// The longest search text and recipient a filter may hold (longer ones are refused, 400).
inline constexpr std::size_t kMaxSearchLength = 200;

// A JSON array written a piece at a time (one entry per piece), so that a long list never sits
// in memory whole; it is read from a snapshot of the store, not under the service's lock. The
// writer returns false once `sink` refused a piece (the client went away). Call it once.
using JsonSink = std::function<bool(std::string_view piece)>;
using JsonListWriter = std::function<bool(const JsonSink& sink)>;

// Calls `write_part` with `text` a part at a time (surrogate pairs kept whole); false once it
// returned false.
bool for_each_part(std::u16string_view text,
                   const std::function<bool(std::u16string_view part)>& write_part);
// `text` as a JSON string (UTF-8, escaped, a lone surrogate as U+FFFD), written a part at a time:
// a text of megabytes never sits in memory as JSON whole.
bool write_json_string(const JsonSink& sink, std::u16string_view text);

// Messages in id order; with a limit, the newest that match. Their message text and subject come
// last in each entry, written a part at a time. `total` counts every match, also
// those past the limit, so a list can say how many there are.
struct MessageList {
  std::int64_t total = 0;
  JsonListWriter write;
};
MessageList message_list(Service& service, const MessageFilter& filter);
// Deletes the messages that match (limit and before aside), in one transaction; returns how many.
std::int64_t delete_messages(Service& service, const MessageFilter& filter);
// One message with its send procedure's parameters in declared order, as stored.
std::optional<nlohmann::json> message_detail_json(Service& service, std::int64_t id);

enum class CancelOutcome { Cancelled, NoSuchMessage, NotPending };
// Cancels a reservation that is not yet due, refunding it, as the service's own cancel does.
CancelOutcome cancel_reservation(Service& service, std::int64_t id);

JsonListWriter result_list(Service& service);  // the delivered messages
JsonListWriter ack_list(Service& service);
JsonListWriter deposit_list(Service& service);
JsonListWriter member_list(Service& service);
nlohmann::json accounts_json(Service& service);

struct AccountChange {
  std::u16string user;
  std::optional<std::int64_t> balance;  // ten-thousandths
  std::optional<bool> blocked;
  std::optional<std::u16string> password;  // a new account without one: the id + "1234"
};
// Creates the account or changes the given fields; true when it was created.
bool set_account(Service& service, const AccountChange& change);

}  // namespace sandbox
