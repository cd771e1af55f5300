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
  bool write_failed = false;
  // Every mirror a local address that nothing answered at (no HTTP status at all).
  bool local_and_silent = true;
  {
    std::shared_ptr<void> lock = p.lock_config_file(target);
    int n = 0;
    for (const auto& base : p.mirror_bases()) {
      ++n;
      const std::string url = core::utf16_to_utf8(base + std::u16string(core::kMirrorPath));
      const auto t0 = std::chrono::steady_clock::now();
      const int rc =
          p.download_to_file(p.to_ansi(base + std::u16string(core::kMirrorPath)), target);
      std::string outcome = p.last_download_outcome();
      if (outcome.empty()) outcome = rc == 0 ? "served" : "failed (" + std::to_string(rc) + ")";
      if (rc == 0 && !keys) keys = read_keys(p, target);
      write_failed = write_failed || rc == -3;
      local_and_silent = local_and_silent && rc != 0 && outcome.starts_with("error:") &&
                         (url.starts_with("http://127.") || url.starts_with("http://localhost") ||
                          url.starts_with("http://[::1]"));
      add("mirror " + std::to_string(n), rc == 0, url + ": " + outcome + " (" + ms_since(t0) + ")",
          rc == -3 ? "the folder of ip1.ini is not writable (see the last check)"
                   : "the component goes on with the next mirror; check the network, the proxy "
                     "(Linux: http_proxy, no_proxy; Windows: the system's proxy settings) and "
                     "the address");
    }
  }

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
        keys->get(0).empty() ? "without sms_id every method answers \"IP Download Error\""
                             : "the mirror serves an incomplete ip1.ini");
  }

  // 3. The driver.
  const platform::Platform::Report driver = p.odbc_driver_report();
  add("ODBC driver", driver.ok, driver.text,
      !driver.hint.empty() ? driver.hint
                           : "install the FreeTDS ODBC driver (Debian: apt-get install tdsodbc); "
                             "without it Login answers \"False\"");

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
          "Login answers \"False\"; check sms_ip, sms_id and sms_pw and that the server is "
          "reachable");
    }
  } else {
    add("database login", false, "not tried: no sms_ip", "ip1.ini must name the database server");
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
      !f.hint.empty() ? f.hint
                      : "make the folder writable for this user, or give the user a home folder "
                        "($XDG_CACHE_HOME or $HOME)");

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
