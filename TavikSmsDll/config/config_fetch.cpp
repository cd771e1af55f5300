#include "config/config_fetch.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "base/module_state.h"
#include "base/platform/platform.h"
#include "base/text.h"
#include "base/trace.h"

namespace taviksms::core {

namespace {

std::mutex g_fetch_mutex;  // guards the one local ip1.ini all threads share

// One value through the profile reader: ANSI bytes in a NUL-filled 80-byte buffer, back to
// UTF-16, cut at the first NUL.
std::u16string read_value(platform::Platform& p, const std::string& key, const std::string& path) {
  std::string bytes = p.read_profile_string("ip", key, "", kProfileBufferSize, path);
  std::u16string text = p.from_ansi(bytes);
  std::size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return text;
}

// The keys read, for the trace: values as read, the two passwords by their length only.
void trace_keys(const std::string& path, const ModuleState& s, std::size_t db_pw,
                std::size_t sftp_pw) {
  auto v = [](const std::u16string& t) {
    return t.empty() ? std::string("(empty)") : trace::quote(t);
  };
  trace::emit("ini", path + ": sms_id=" + v(s.config.db_user) + " sms_ip=" + v(s.config.db_server) +
                         " sms_pw=" + trace::masked(db_pw) + " sftp_id=" + v(s.config.sftp_user) +
                         " sftp_ip=" + v(s.config.sftp_host) + " sftp_pt=" + v(s.config.sftp_port) +
                         " sftp_pw=" + trace::masked(sftp_pw));
}

}  // namespace

std::u16string unmask_secret(std::u16string_view stored) {
  std::u16string out;
  for (std::size_t k = 3; k <= stored.size(); k += 2) out.push_back(stored[k - 1]);
  return out;
}

std::vector<std::u16string> mirror_urls() {
  std::vector<std::u16string> urls;
  for (const auto& base : platform::current().mirror_bases()) {
    urls.push_back(base + std::u16string(kMirrorPath));
  }
  return urls;
}

std::string temporary_name(const std::string& target) {
  static std::atomic<std::uint64_t> sequence{0};
  static const std::uint64_t process_tag = [] {
    std::random_device rd;
    return (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
  }();
  char tag[40];
  std::snprintf(tag, sizeof tag, ".%016llx-%llu.part", static_cast<unsigned long long>(process_tag),
                static_cast<unsigned long long>(++sequence));
  return target + tag;
}

bool holds_configuration(platform::Platform& p, const std::string& path) {
  return !read_value(p, "sms_id", path).empty();
}

bool install_configuration(platform::Platform& p, const std::string& own, const std::string& target,
                           const std::function<void()>& then) {
  std::lock_guard lock(g_fetch_mutex);
  std::shared_ptr<void> file_lock = p.lock_config_file(target);
  if (!p.replace_file(own, target)) {
    p.remove_file(own);
    return false;
  }
  if (then) then();
  return true;
}

std::u16string config_fetch() {
  platform::Platform& p = platform::current();
  ModuleState& s = module_state();

  std::u16string folder = p.config_folder();
  // Which folder, and why that one (the library's, or a per-user fallback).
  if (trace::enabled()) trace::emit("ini", "folder " + p.config_folder_report().text);
  // Nowhere to keep the file: no mirror is asked, the result is that of a failed download.
  if (folder.empty()) return std::u16string(kIpDownloadError);
  std::u16string target = folder + p.path_separator() + u"ip1.ini";
  std::string target_ansi = p.to_ansi(target);
  // Each fetch downloads into a file of its own, with nothing held: a hanging mirror delays
  // only the fetch that meets it, not every thread or process waiting behind it.
  const std::string own = temporary_name(target_ansi);
  bool downloaded = false;
  for (const auto& url : mirror_urls()) {
    if (p.download_to_file(p.to_ansi(url), own) != 0) continue;
    if (holds_configuration(p, own)) {
      downloaded = true;
      break;
    }
    if (trace::enabled()) {
      trace::emit("ini", utf16_to_utf8(url) + " served no configuration (no sms_id in [ip])");
    }
  }
  if (!downloaded) {
    p.remove_file(own);
    return std::u16string(kIpDownloadError);
  }

  // Put in place and read as one step: no other thread or process replaces the file between the
  // two.
  std::u16string db_pw, sftp_pw;
  const bool installed = install_configuration(p, own, target_ansi, [&] {
    s.config.db_user = read_value(p, "sms_id", target_ansi);
    s.config.db_server = read_value(p, "sms_ip", target_ansi);
    db_pw = read_value(p, "sms_pw", target_ansi);
    s.config.db_password = unmask_secret(db_pw);

    s.config.sftp_user = read_value(p, "sftp_id", target_ansi);
    s.config.sftp_host = read_value(p, "sftp_ip", target_ansi);
    s.config.sftp_port = read_value(p, "sftp_pt", target_ansi);
    sftp_pw = read_value(p, "sftp_pw", target_ansi);
    s.config.sftp_password = unmask_secret(sftp_pw);
  });
  if (!installed) return std::u16string(kIpDownloadError);
  if (trace::enabled()) trace_keys(target_ansi, s, db_pw.size(), sftp_pw.size());

  return s.config.db_user.empty() ? std::u16string(kIpDownloadError) : u"OK";
}

}  // namespace taviksms::core
