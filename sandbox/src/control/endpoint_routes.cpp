#include "control/endpoint_routes.h"

#include <httplib.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include <taviksms_common/ascii.h>
#include "control/json_reply.h"
#include "mirrors/mirrors.h"
#include "platform/files.h"
#include "sftp/sftp_server.h"
#include "sftp/upload_names.h"
#include "utf8_path.h"

namespace sandbox {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

json mirror_json(int n, const Mirror& m) {
  return json{{"mirror", n},
              {"port", m.port()},
              {"mode", std::string(mirror_mode_name(m.mode()))},
              {"hits", m.hits()}};
}

json sftp_json(const SftpServer& sftp) {
  return json{{"mode", std::string(sftp_mode_name(sftp.mode()))},
              {"offset", sftp.fault_offset()},
              {"port", sftp.port()},
              {"open_sessions", sftp.open_sessions()},
              {"total_sessions", sftp.total_sessions()},
              {"refused_sessions", sftp.refused_sessions()}};
}

// The length of the valid UTF-8 sequence at s[i], or 0 when the byte there starts none
// (overlong forms, surrogates and code points past U+10FFFF are not valid).
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) return 1;
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if ((b & 0xE0) == 0xC0) {
    n = 2;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// A file name as the console shows it: valid UTF-8 unchanged, every other byte as \xNN (and a
// backslash as \\, so the escaped form reads back unambiguously). nullopt: nothing to escape.
std::optional<std::string> escaped_name(const std::string& raw) {
  std::string out;
  bool escaped = false;
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t n = utf8_sequence(raw, i);
    if (n == 0) {
      const auto b = static_cast<unsigned char>(raw[i]);
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
      escaped = true;
      ++i;
    } else {
      if (raw[i] == '\\') out += '\\';
      out.append(raw, i, n);
      i += n;
    }
  }
  if (!escaped) return std::nullopt;
  return out;
}

json uploads_json(const SftpServer& sftp) {
  json files = json::array();
  std::vector<std::pair<std::string, std::uintmax_t>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sftp.uploads_dir(), ec)) {
    std::error_code size_ec;
    if (!entry.is_regular_file(size_ec)) continue;
    auto size = entry.file_size(size_ec);
    if (!size_ec) found.emplace_back(path_text(entry.path().filename()), size);
  }
  std::sort(found.begin(), found.end());
  for (const auto& [name, size] : found) {
    if (auto shown = escaped_name(name)) {
      // Not UTF-8: shown escaped, and flagged so the console does not ask for it by that name.
      files.push_back(json{{"name", *shown}, {"size", size}, {"escaped", true}});
    } else {
      files.push_back(json{{"name", name}, {"size", size}});
    }
  }
  return json{{"files", files}};
}

std::string picture_type(const std::string& name) {
  const std::string ext = taviksms::ascii::lowered(path_text(path_of(name).extension()));
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".png") return "image/png";
  if (ext == ".gif") return "image/gif";
  if (ext == ".bmp") return "image/bmp";
  if (ext == ".webp") return "image/webp";
  return "application/octet-stream";
}

int mirror_number(const httplib::Request& req) {
  const std::string& text = req.matches[1];
  return text.size() == 1 ? text[0] - '0' : 0;
}

}  // namespace

std::string http_error_reason(const httplib::Request& req, int status) {
  // The HTTP library refuses a POST that gives no body length before any route sees it.
  const bool has_length = req.has_header("Content-Length") || req.has_header("Transfer-Encoding");
  if (status == 400 && (req.method == "POST" || req.method == "PUT" || req.method == "PATCH") &&
      !has_length) {
    return req.method +
           " without a body length: send an empty body with Content-Length: 0 (curl -d '')";
  }
  if (status == 414) return "request line too long (at most 8192 bytes with its query)";
  return "HTTP " + std::to_string(status);
}

void install_json_error_handlers(httplib::Server& server) {
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (res.body.empty()) send_error(res, res.status, http_error_reason(req, res.status));
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "internal error";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        send_error(res, 500, what);
      });
}

void register_endpoint_routes(httplib::Server& server, MirrorSet& mirrors, SftpServer& sftp,
                              std::function<void(nlohmann::json&)> add_state) {
  server.Get("/state",
             [&mirrors, &sftp, add_state](const httplib::Request&, httplib::Response& res) {
               json state;
               json list = json::array();
               for (int n = 1; n <= 3; ++n) list.push_back(mirror_json(n, mirrors.mirror(n)));
               state["mirrors"] = list;
               state["sftp"] = sftp_json(sftp);
               if (add_state) add_state(state);
               send_json(res, state);
             });

  server.Get("/mirrors", [&mirrors](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (int n = 1; n <= 3; ++n) list.push_back(mirror_json(n, mirrors.mirror(n)));
    send_json(res, list);
  });

  server.Post(R"(/mirrors/(\d+))", [&mirrors](const httplib::Request& req, httplib::Response& res) {
    int n = mirror_number(req);
    if (n < 1 || n > 3) return send_error(res, 404, "mirror must be 1, 2 or 3");
    auto mode = parse_mirror_mode(req.get_param_value("mode"));
    if (!mode) {
      return send_error(res, 400,
                        "mode must be up, down, 404, 500, no-sms-id, hang, html, binary, custom, "
                        "trickle or close-mid-body");
    }
    Mirror& m = mirrors.mirror(n);
    try {
      m.set_mode(*mode, *mode == MirrorMode::Custom ? req.body : std::string());
    } catch (const std::exception& e) {
      return send_error(res, 500, e.what());
    }
    send_json(res, mirror_json(n, m));
  });

  server.Post(R"(/mirrors/(\d+)/reset-hits)",
              [&mirrors](const httplib::Request& req, httplib::Response& res) {
                int n = mirror_number(req);
                if (n < 1 || n > 3) return send_error(res, 404, "mirror must be 1, 2 or 3");
                mirrors.mirror(n).reset_hits();
                send_json(res, mirror_json(n, mirrors.mirror(n)));
              });

  server.Get("/sftp", [&sftp](const httplib::Request&, httplib::Response& res) {
    send_json(res, sftp_json(sftp));
  });

  server.Post("/sftp", [&sftp](const httplib::Request& req, httplib::Response& res) {
    auto mode = parse_sftp_mode(req.get_param_value("mode"));
    if (!mode) return send_error(res, 400, "mode must be up, refuse-writes, mute, drop or stall");
    std::uint64_t offset = 0;
    if (req.has_param("offset")) {
      const std::string text = req.get_param_value("offset");
      std::size_t used = 0;
      try {
        offset = std::stoull(text, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (text.empty() || used != text.size() || text[0] == '-') {
        return send_error(res, 400, "offset must be a byte count");
      }
    }
    sftp.set_mode(*mode, offset);
    send_json(res, sftp_json(sftp));
  });

  server.Get("/uploads", [&sftp](const httplib::Request&, httplib::Response& res) {
    send_json(res, uploads_json(sftp));
  });

  // One uploaded file as it arrived (the console's thumbnails). Only a plain file directly in
  // the uploads folder: the same names the SFTP server lets clients write.
  server.Get(R"(/uploads/([^/]+))", [&sftp](const httplib::Request& req, httplib::Response& res) {
    const std::string requested = req.matches[1];
    const auto name = upload_name(requested);
    if (!name || *name != requested) return send_error(res, 404, "no such upload");
    const fs::path file = sftp.uploads_dir() / path_of(*name);
    std::error_code ec;
    if (!files::is_plain_file(file)) return send_error(res, 404, "no such upload");
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!*in || ec) return send_error(res, 500, "cannot read the upload");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Content-Security-Policy", "default-src 'none'; sandbox");
    res.set_header("Cache-Control", "no-cache");
    // Sent as it is read, 64 KiB at a time: a large upload never sits in memory whole. The
    // length is the size when asked; a file cut meanwhile ends the connection early.
    res.set_content_provider(static_cast<std::size_t>(size), picture_type(*name),
                             [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               char buf[65536];
                               in->seekg(static_cast<std::streamoff>(offset));
                               in->read(buf,
                                        static_cast<std::streamsize>(std::min(length, sizeof buf)));
                               const std::streamsize got = in->gcount();
                               return got > 0 && sink.write(buf, static_cast<std::size_t>(got));
                             });
  });

  server.Delete("/uploads", [&sftp](const httplib::Request&, httplib::Response& res) {
    std::error_code ec;
    std::size_t removed = 0;
    for (const auto& entry : fs::directory_iterator(sftp.uploads_dir(), ec)) {
      std::error_code rm_ec;
      if (entry.is_regular_file(rm_ec) && fs::remove(entry.path(), rm_ec)) ++removed;
    }
    send_json(res, json{{"removed", removed}});
  });
}

}  // namespace sandbox
