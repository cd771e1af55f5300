#include "mirrors/mirrors.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "http/guarded_server.h"

namespace sandbox {

namespace {

constexpr const char* kIniPath = "/uini/ip1.ini";

std::string html_page(std::string_view title, std::string_view text) {
  std::string page = "<!DOCTYPE html>\r\n<html><head><title>";
  page.append(title);
  page += "</title></head><body><h1>";
  page.append(title);
  page += "</h1><p>";
  page.append(text);
  page += "</p></body></html>\r\n";
  return page;
}

}  // namespace

std::optional<MirrorMode> parse_mirror_mode(std::string_view text) {
  if (text == "up") return MirrorMode::Up;
  if (text == "down") return MirrorMode::Down;
  if (text == "404") return MirrorMode::NotFound;
  if (text == "500") return MirrorMode::ServerError;
  if (text == "no-sms-id") return MirrorMode::NoSmsId;
  if (text == "hang") return MirrorMode::Hang;
  if (text == "html") return MirrorMode::Html;
  if (text == "binary") return MirrorMode::Binary;
  if (text == "custom") return MirrorMode::Custom;
  if (text == "trickle") return MirrorMode::Trickle;
  if (text == "close-mid-body") return MirrorMode::CloseMidBody;
  return std::nullopt;
}

std::string_view mirror_mode_name(MirrorMode mode) {
  switch (mode) {
    case MirrorMode::Up:
      return "up";
    case MirrorMode::Down:
      return "down";
    case MirrorMode::NotFound:
      return "404";
    case MirrorMode::ServerError:
      return "500";
    case MirrorMode::NoSmsId:
      return "no-sms-id";
    case MirrorMode::Hang:
      return "hang";
    case MirrorMode::Html:
      return "html";
    case MirrorMode::Binary:
      return "binary";
    case MirrorMode::Custom:
      return "custom";
    case MirrorMode::Trickle:
      return "trickle";
    case MirrorMode::CloseMidBody:
      return "close-mid-body";
  }
  return "up";
}

Mirror::Mirror(std::string host, std::uint16_t port, MirrorEndpoints endpoints, HttpLimits limits)
    : host_(std::move(host)),
      port_(port),
      endpoints_(std::move(endpoints)),
      limits_(limits),
      rng_(std::random_device{}()) {}

Mirror::~Mirror() {
  stop();
}

void Mirror::start() {
  std::lock_guard lifecycle(lifecycle_mu_);
  {
    std::lock_guard lock(mu_);
    stopping_ = false;
  }
  if (mode() != MirrorMode::Down) open_listener();
}

void Mirror::stop() {
  std::lock_guard lifecycle(lifecycle_mu_);
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  changed_.notify_all();
  close_listener();
}

void Mirror::open_listener() {
  if (server_) return;
  auto server = std::make_unique<GuardedHttpServer>(limits_);
  // Short write limit keeps stop() prompt; the mirrors answer at once anyway.
  server->set_write_timeout(3, 0);
  server->set_socket_options(exclusive_listen_options);
  // Every request, for any path and method, reaches handle(): it counts as a hit.
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    handle(req, res);
    return httplib::Server::HandlerResponse::Handled;
  });
  if (port_ == 0) {
    int bound = server->bind_to_any_port(host_);
    if (bound <= 0) throw std::runtime_error("cannot listen on " + host_ + ":0");
    port_ = static_cast<std::uint16_t>(bound);
  } else if (!server->bind_to_port(host_, port_)) {
    throw std::runtime_error("cannot listen on " + host_ + ":" + std::to_string(port_));
  }
  GuardedHttpServer* raw = server.get();
  thread_ = std::thread([raw] { raw->listen_after_bind(); });
  // stop() only takes effect once the accept loop runs.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!raw->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_ = std::move(server);
}

void Mirror::close_listener() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void Mirror::set_mode(MirrorMode mode, std::string custom_body) {
  std::lock_guard lifecycle(lifecycle_mu_);
  {
    std::lock_guard lock(mu_);
    mode_ = mode;
    custom_body_ = std::move(custom_body);
    ++generation_;
  }
  changed_.notify_all();
  bool stopping;
  {
    std::lock_guard lock(mu_);
    stopping = stopping_;
  }
  if (stopping) return;
  if (mode == MirrorMode::Down) {
    close_listener();
    return;
  }
  try {
    open_listener();
  } catch (...) {
    // The port was taken meanwhile: the mirror is down whatever was asked, and says so.
    {
      std::lock_guard lock(mu_);
      mode_ = MirrorMode::Down;
    }
    throw;
  }
}

MirrorMode Mirror::mode() const {
  std::lock_guard lock(mu_);
  return mode_;
}

std::uint64_t Mirror::hits() const {
  std::lock_guard lock(mu_);
  return hits_;
}

void Mirror::reset_hits() {
  std::lock_guard lock(mu_);
  hits_ = 0;
}

void Mirror::set_latency(std::chrono::milliseconds latency) {
  std::lock_guard lock(mu_);
  latency_ = latency;
}

std::chrono::milliseconds Mirror::latency() const {
  std::lock_guard lock(mu_);
  return latency_;
}

void Mirror::handle(const httplib::Request& request, httplib::Response& response) {
  std::unique_lock lock(mu_);
  ++hits_;
  if (latency_.count() > 0) {
    // The answer's delay on the way back; shutdown ends it early.
    changed_.wait_for(lock, latency_, [&] { return stopping_; });
  }
  MirrorMode mode = mode_;
  if (mode == MirrorMode::Hang) {
    // Never answer while the mode stays `hang`; a mode change or shutdown lets the request go
    // on with whatever the mirror does now.
    std::uint64_t generation = generation_;
    changed_.wait(lock, [&] { return stopping_ || generation_ != generation; });
    if (stopping_) {
      response.status = 503;
      response.set_content(html_page("503 Service Unavailable", "Shutting down."), "text/html");
      return;
    }
    mode = mode_;
  }
  std::string custom = custom_body_;
  lock.unlock();
  answer(mode, custom, request, response);
}

void Mirror::answer(MirrorMode mode, const std::string& custom, const httplib::Request& request,
                    httplib::Response& response) {
  bool is_ini = request.path == kIniPath && (request.method == "GET" || request.method == "HEAD");
  if (!is_ini || mode == MirrorMode::NotFound) {
    response.status = 404;
    response.set_content(html_page("404 Not Found", "The requested URL was not found."),
                         "text/html");
    return;
  }
  switch (mode) {
    case MirrorMode::ServerError:
      response.status = 500;
      response.set_content(html_page("500 Internal Server Error", "The server failed."),
                           "text/html");
      return;
    case MirrorMode::Html:
      response.status = 200;
      response.set_content(html_page("Welcome", "This is not the file you are looking for."),
                           "text/html");
      return;
    case MirrorMode::Binary: {
      std::string bytes(4096, '\0');
      {
        std::lock_guard lock(mu_);
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
          // Every 64th byte stays NUL so the body always holds some.
          if (i % 64 != 0) bytes[i] = static_cast<char>(byte(rng_));
        }
      }
      response.status = 200;
      response.set_content(bytes, "application/octet-stream");
      return;
    }
    case MirrorMode::Custom:
      response.status = 200;
      response.set_content(custom, "text/plain");
      return;
    case MirrorMode::Down:  // a request that slipped in while the listener was closing
    case MirrorMode::Hang:  // released by shutdown: handled above
      response.status = 503;
      response.set_content(html_page("503 Service Unavailable", "Mirror is down."), "text/html");
      return;
    case MirrorMode::Up:
    case MirrorMode::NoSmsId:
    case MirrorMode::NotFound:
    case MirrorMode::Trickle:
    case MirrorMode::CloseMidBody:
      break;
  }
  std::string body;
  {
    std::lock_guard lock(mu_);
    body = render_ini(endpoints_, mode != MirrorMode::NoSmsId, rng_);
  }
  response.status = 200;
  if (mode == MirrorMode::Trickle) {
    // One byte a second, the length announced up front; a mode change or shutdown cuts it.
    std::uint64_t generation;
    {
      std::lock_guard lock(mu_);
      generation = generation_;
    }
    response.set_content_provider(
        body.size(), "text/plain",
        [this, body, generation](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          std::unique_lock lock(mu_);
          if (changed_.wait_for(lock, std::chrono::seconds(1),
                                [&] { return stopping_ || generation_ != generation; })) {
            return false;
          }
          lock.unlock();
          return sink.write(body.data() + offset, 1);
        });
    return;
  }
  if (mode == MirrorMode::CloseMidBody) {
    // The full length is announced, half the bytes are sent, then the connection is closed.
    const std::size_t half = body.size() / 2;
    response.set_content_provider(
        body.size(), "text/plain",
        [body, half](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          if (offset >= half) return false;
          return sink.write(body.data() + offset, std::min(length, half - offset));
        });
    return;
  }
  response.set_content(body, "text/plain");
}

MirrorSet::MirrorSet(std::string host, std::array<std::uint16_t, 3> ports,
                     MirrorEndpoints endpoints, HttpLimits limits) {
  for (std::size_t i = 0; i < 3; ++i) {
    mirrors_[i] = std::make_unique<Mirror>(host, ports[i], endpoints, limits);
  }
}

void MirrorSet::start() {
  try {
    for (auto& m : mirrors_) m->start();
  } catch (...) {
    stop();
    throw;
  }
}

void MirrorSet::stop() {
  for (auto& m : mirrors_) m->stop();
}

void MirrorSet::set_latency(std::chrono::milliseconds latency) {
  for (auto& m : mirrors_) m->set_latency(latency);
}

Mirror& MirrorSet::mirror(int n) {
  if (n < 1 || n > 3) throw std::out_of_range("mirror number must be 1 to 3");
  return *mirrors_[static_cast<std::size_t>(n - 1)];
}

const Mirror& MirrorSet::mirror(int n) const {
  if (n < 1 || n > 3) throw std::out_of_range("mirror number must be 1 to 3");
  return *mirrors_[static_cast<std::size_t>(n - 1)];
}

}  // namespace sandbox
