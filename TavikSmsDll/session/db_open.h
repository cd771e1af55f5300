// DbOpen / DbClose: the session objects' lifecycle and the connection string; the preamble every
// database method shares, and what becomes of a session whose link to the server was lost.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "base/module_state.h"

namespace taviksms::core {

// "Provider=SQLOLEDB;Initial Catalog=sms;Data Source=<server>;User ID=<user>;Password=<pw>;"
std::u16string build_conn_string(std::u16string_view server, std::u16string_view user,
                                 std::u16string_view password);

// "OK", the configuration fetch's failure text, or "False".
std::u16string db_open();

// The common preamble: when not logged in, LastResult takes DbOpen's text; when logged in on a
// session whose link to the server is lost (marked by an earlier call, or found now before the
// call's first request), the session is opened again (reopen_session) and the call goes on
// logged in. Returns the text the method must return instead of going on, or nothing when the
// session is there.
std::optional<std::u16string> preamble(ModuleState& s);

// Whether the thread's session has lost its link: marked by an earlier call, or found now by a
// look at the open connection (which then marks it). A session closed by its owner (Logout, a
// destroyed instance) has not lost its link.
bool link_lost(ModuleState& s);

// After a call failed: marks the session for opening again when the failure lost the link.
void mark_if_link_lost(ModuleState& s);

// Opens the session again after a lost link, with the same configuration and UserId: DbOpen.
// When that fails, ip1.ini is fetched once more and, if it now names another server or login
// (the service moved), DbOpen is tried once with it. Returns DbOpen's text.
std::u16string reopen_session(ModuleState& s);

// Whether the last failure on the thread's session lost its link because the server did not
// answer in time.
bool server_gave_no_answer(const ModuleState& s);

// Runs `read`, which cannot change the service. When it fails because the link to the server
// broke, the session is opened again (unless `opens_itself`: the read opens its own) and `read`
// runs once more; when the opening fails, the first failure stands. A server that did not answer
// within the deadline is not asked again at once (the session is opened by the next call).
template <typename Read>
auto once_more_after_lost_link(ModuleState& s, Read&& read, bool opens_itself = false)
    -> decltype(read()) {
  std::exception_ptr first;
  try {
    return read();
  } catch (...) {
    mark_if_link_lost(s);
    if (!s.session.reopen || server_gave_no_answer(s)) throw;
    first = std::current_exception();
  }
  if (!opens_itself && reopen_session(s) != u"OK") std::rethrow_exception(first);
  try {
    return read();
  } catch (...) {
    mark_if_link_lost(s);
    throw;
  }
}

// Closes and releases DbRs and DbConn, releases DbCmd; never fails.
void db_close();

}  // namespace taviksms::core
