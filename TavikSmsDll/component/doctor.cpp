// taviksms::doctor_checks: each step a method takes before it can succeed, tried on its own and
// explained, so a user sees why "IP Download Error", "False" or "FTP Connect Error" came back.
#include <taviksms/doctor.h>

#include <chrono>
#include <optional>

#include "base/error.h"
#include "base/platform/platform.h"
#include "base/text.h"
#include "base/trace.h"
#include "config/config_fetch.h"
#include "db/session.h"
#include "session/db_open.h"

namespace taviksms {

namespace {

struct Keys {
  std::u16string values[7];
  static constexpr const char* kNames[7] = {"sms_id",  "sms_ip",  "sms_pw", "sftp_id",
                                            "sftp_ip", "sftp_pt", "sftp_pw"};
  const std::u16string& get(std::size_t i) const { return values[i]; }
};

Keys read_keys(platform::Platform& p, const std::string& path) {
  Keys k;
  for (std::size_t i = 0; i < 7; ++i) {
    std::string bytes =
        p.read_profile_string("ip", Keys::kNames[i], "", core::kProfileBufferSize, path);
    k.values[i] = p.from_ansi(bytes);
  }
  return k;
}

// What a mirror served instead of the configuration, for its line: an empty body, or how it
// begins (the shell escapes what it shows).
std::string not_a_configuration(platform::Platform& p, const std::string& path) {
  constexpr std::size_t kShown = 60;
  std::string start = p.read_file_start(path, kShown + 1);
  if (start.empty()) return "not ip1.ini: an empty body";
  std::string shown = start.substr(0, kShown);
  // Not inside a character.
  while (!shown.empty() && start.size() > kShown &&
         (static_cast<unsigned char>(start[shown.size()]) & 0xC0) == 0x80) {
    shown.pop_back();
  }
  return "not ip1.ini (no sms_id in its [ip] section); it begins \"" + shown +
         (start.size() > kShown ? "...\"" : "\"");
}

// Whether a failed open's message is the driver manager's own: the driver was never loaded, so the
// server and the credentials were never reached (unixODBC and odbc32 wordings).
bool driver_not_loaded(const std::u16string& message) {
  for (std::u16string_view words : {u"Can't open lib", u"Data source name not found",
                                    u"could not be loaded", u"Driver's SQLAllocHandle"}) {
    if (message.find(words) != std::u16string::npos) return true;
  }
  return false;
}

std::string ms_since(std::chrono::steady_clock::time_point t0) {
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  return std::to_string(ms.count()) + " ms";
}

}  // namespace

std::vector<DoctorCheck> doctor_checks() {
  platform::Platform& p = platform::current();
  std::vector<DoctorCheck> out;
  auto add = [&](std::string name, bool ok, std::string detail, std::string hint) {
    out.push_back({std::move(name), ok, std::move(detail), ok ? std::string() : std::move(hint)});
  };

  // 1. The mirrors, each on its own; the first that serves gives the file the component uses.
  const platform::MirrorOverride o = p.mirror_override();
  if (!o.source.empty()) {
    add("mirror list", o.problem.empty(),
        o.problem.empty() ? "from " + o.source + ": " + o.shown
                          : o.source + " refused (" + o.problem +
                                "); no mirror is asked, methods answer \"IP Download Error\"",
        "give one to three http:// or https:// addresses separated by ';', e.g. "
        "TAVIKSMS_MIRRORS=\"http://127.0.0.1:18081\", or remove the setting to use the "
        "built-in addresses");
  }
  const std::u16string folder = p.config_folder();
  const std::string target = p.to_ansi(folder + p.path_separator() + u"ip1.ini");
  std::optional<Keys> keys;
  std::string chosen;  // the first mirror's configuration, in a file of this run's own
  bool write_failed = false;
  // Every mirror a local address that nothing answered at (no HTTP status at all).
  bool local_and_silent = true;
  int n = 0;
  // Each mirror into a file of its own, with nothing held: a mirror that hangs delays no host's
  // fetch meanwhile (only putting the chosen file in place takes the folder's lock, below).
  for (const auto& base : p.mirror_bases()) {
    ++n;
    const std::string url = core::utf16_to_utf8(base + std::u16string(core::kMirrorPath));
    const std::string own = core::temporary_name(target);
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = p.download_to_file(p.to_ansi(base + std::u16string(core::kMirrorPath)), own);
    std::string outcome = p.last_download_outcome();
    if (outcome.empty()) outcome = rc == 0 ? "served" : "failed (" + std::to_string(rc) + ")";
    const bool configuration = rc == 0 && core::holds_configuration(p, own);
    if (rc == 0 && !configuration) outcome += "; " + not_a_configuration(p, own);
    if (configuration && !keys) {
      keys = read_keys(p, own);
      chosen = own;
    } else {
      p.remove_file(own);
    }
    write_failed = write_failed || rc == -3;
    local_and_silent = local_and_silent && rc != 0 && outcome.starts_with("error:") &&
                       (url.starts_with("http://127.") || url.starts_with("http://localhost") ||
                        url.starts_with("http://[::1]"));
    // A mirror's whole address (as the sandbox prints it) given where its base belongs: the
    // component adds the path itself, so it asks for the path twice.
    const bool path_given = base.ends_with(core::kMirrorPath);
    add("mirror " + std::to_string(n), configuration,
        url + ": " + outcome + " (" + ms_since(t0) + ")",
        rc == -3 ? "the folder of ip1.ini is not writable (see the last check)"
        : path_given
            ? "the address already ends in " + core::utf16_to_utf8(core::kMirrorPath) +
                  ", which the component adds itself: give the mirror's base address, "
                  "e.g. " +
                  core::utf16_to_utf8(base.substr(0, base.size() - core::kMirrorPath.size()))
        : rc == 0 ? "the mirror answers with something that is not the configuration (an error "
                    "or sign-in page of a proxy or network, an empty file); the component goes "
                    "on with the next mirror; check the address and the network"
                  : "the component goes on with the next mirror; check the network, the proxy "
                    "(Linux: http_proxy, no_proxy; Windows: the system's proxy settings) and "
                    "the address");
  }
  // The file the component would use, put in place as ip1.ini.
  if (!chosen.empty() && !core::install_configuration(p, chosen, target)) write_failed = true;

  // 2. The keys of the file the first serving mirror gave.
  if (!keys) {
    add("ip1.ini keys", false, "no mirror served ip1.ini",
        std::string("methods answer \"IP Download Error\" until a mirror serves it") +
            (local_and_silent ? "; nothing answers at these local addresses: start "
                                "taviksms-sandbox (the local stand-in for the service), or set "
                                "TAVIKSMS_MIRRORS to the service's addresses"
                              : ""));
  } else {
    std::string present, missing;
    for (std::size_t i = 0; i < 7; ++i) {
      std::string& list = keys->get(i).empty() ? missing : present;
      if (!list.empty()) list += ' ';
      list += Keys::kNames[i];
    }
    add("ip1.ini keys", missing.empty(),
        "present: " + (present.empty() ? "none" : present) +
            (missing.empty() ? "" : "; missing or empty: " + missing),
        "the mirror serves an incomplete ip1.ini");
  }

  // 3. The driver.
  const platform::Platform::Report driver = p.odbc_driver_report();
  add("ODBC driver", driver.ok, driver.text,
      !driver.hint.empty() ? driver.hint
                           : "install the FreeTDS ODBC driver (Debian: apt-get install tdsodbc); "
                             "without it Login answers \"False\"");

  // What the server says about encryption, asked as the driver asks by default: a failed TLS
  // handshake reads "False" like any other failed connect. Shown after the login.
  std::optional<platform::Platform::EncryptionProbe> probe;
  auto probe_ms = std::string();
  if (keys && !keys->get(1).empty()) {
    const std::u16string& server = keys->get(1);
    const std::size_t comma = server.rfind(u',');
    auto trimmed = [](std::u16string_view t) {
      while (!t.empty() && t.front() == u' ') t.remove_prefix(1);
      while (!t.empty() && t.back() == u' ') t.remove_suffix(1);
      return std::u16string(t);
    };
    const std::u16string host = trimmed(std::u16string_view(server).substr(0, comma));
    const std::optional<std::uint16_t> port =
        comma == std::u16string::npos
            ? std::optional<std::uint16_t>(1433)
            : core::parse_port(std::u16string_view(trimmed(server.substr(comma + 1))));
    const auto t0 = std::chrono::steady_clock::now();
    probe =
        port ? p.probe_encryption(host, *port)
             : platform::Platform::EncryptionProbe{-1, "the port is not a number from 1 to 65535"};
    probe_ms = ms_since(t0);
  }
  const bool encrypts = probe && probe->answer >= 0 && probe->answer != 2;

  // 4. A database login with the file's values, on a connection of its own.
  if (keys && !keys->get(1).empty()) {
    const std::u16string server = keys->get(1), user = keys->get(0);
    try {
      auto conn = p.new_connection();
      conn->open(core::build_conn_string(server, user, core::unmask_secret(keys->get(2))));
      conn->close();
      add("database login", true,
          "logged in to " + core::utf16_to_utf8(server) + " as " + core::utf16_to_utf8(user), "");
    } catch (const core::Error& e) {
      add("database login", false,
          core::utf16_to_utf8(server) + " as " + core::utf16_to_utf8(user) + ": " +
              core::utf16_to_utf8(e.description()),
          driver_not_loaded(e.description())
              ? std::string(
                    "the ODBC driver could not be loaded (the credentials were never tried; "
                    "see the ODBC driver check): on Linux the driver manager's entry for "
                    "\"FreeTDS\" (odbcinst -q -d -n FreeTDS) must name a library that "
                    "exists for this architecture (Debian: apt-get install tdsodbc). Login "
                    "answers \"False\" until it loads")
              : std::string("Login answers \"False\"; check sms_ip, sms_id and sms_pw and that the "
                            "server is reachable") +
                    (encrypts ? "; the server encrypts (see \"database TLS\"): a failed TLS "
                                "handshake ends this way too"
                              : ""));
    }
  } else {
    add("database login", false, "not tried: no sms_ip", "ip1.ini must name the database server");
  }

  if (probe) {
    add("database TLS", probe->answer >= 0,
        probe->answer >= 0
            ? platform::describe_encryption_answer(probe->answer) + " (" + probe_ms + ")"
            : "no PRELOGIN answer from " + core::utf16_to_utf8(keys->get(1)) + ": " +
                  probe->problem,
        "the database port does not answer as a SQL Server; check sms_ip");
  }

  // 5. The SFTP login.
  if (keys && !keys->get(4).empty()) {
    const std::string where = core::utf16_to_utf8(keys->get(4)) + ":" +
                              core::utf16_to_utf8(keys->get(5)) + " as " +
                              core::utf16_to_utf8(keys->get(3));
    bool ok = false;
    std::string detail;
    if (auto c = p.new_sftp_component()) {
      c->set_host(keys->get(4));
      c->set_user_name(keys->get(3));
      c->set_password(core::unmask_secret(keys->get(6)));
      std::int32_t port = 0;
      for (char16_t ch : keys->get(5)) {
        port = (ch >= u'0' && ch <= u'9' && port < 100000) ? port * 10 + (ch - u'0') : -1;
        if (port < 0) break;
      }
      c->set_port(port);
      const auto t0 = std::chrono::steady_clock::now();
      ok = c->connect();
      detail = (ok ? "connected and authenticated to " : "could not connect or authenticate to ") +
               where + " (" + ms_since(t0) + ")";
    } else {
      detail = "no SFTP client in this build";
    }
    add("SFTP login", ok, detail,
        "FTP_Upload answers \"FTP Connect Error\"; check sftp_ip, sftp_pt, sftp_id and sftp_pw "
        "(TAVIKSMS_TRACE names the failing step)");
  } else {
    add("SFTP login", false, "not tried: no sftp_ip", "ip1.ini must name the SFTP server");
  }

  // 6. The folder ip1.ini goes to.
  platform::Platform::Report f = p.config_folder_report();
  if (write_failed && f.ok) {
    f = platform::Platform::Report(false, f.text + ", but writing ip1.ini there failed", f.hint);
  }
  add("ip1.ini folder", f.ok, f.text,
      !f.hint.empty() ? f.hint : "make the folder writable for this user");

  // The trace, when asked for (or set in a form that cannot be used).
  if (trace::enabled() || !trace::current_path().empty() || !trace::problem().empty()) {
    const std::string why = trace::problem();
    add("trace", why.empty(), why.empty() ? "writing to " + trace::current_path() : why,
        "TAVIKSMS_TRACE (or the string value HKCU\\Software\\TavikSms\\TraceFile on Windows) "
        "must name a file in a writable folder");
  }
  return out;
}

}  // namespace taviksms
