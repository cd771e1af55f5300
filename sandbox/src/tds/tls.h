// TLS for the database endpoint, as SQL Server does it: the handshake travels inside PRELOGIN
// packets, after which TLS records run directly on the connection (for the login message only,
// or for the whole session). OpenSSL stays behind this header.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sandbox::tds {

// The newest TLS version the handshake inside PRELOGIN may agree to. SQL Server speaks TLS 1.2
// there (it keeps TLS 1.3 for TDS 8, where TLS comes before any TDS packet); 1.3 is for trying
// clients against a server that would accept it.
enum class TlsMax { k12, k13 };

// The server's certificate and key with its TLS settings (TLS 1.2 up to `max`, no session
// tickets, no renegotiation), shared by every connection.
class TlsContext {
 public:
  // A fresh self-signed certificate on an ECDSA P-256 key, as a server without a configured
  // certificate makes one at start-up. Throws std::runtime_error.
  static std::shared_ptr<TlsContext> self_signed(TlsMax max = TlsMax::k12);
  // A PEM certificate (chain) and its private key; both may be in `certificate_file`, or the
  // key in `key_file`. Throws std::runtime_error saying what could not be read or used.
  static std::shared_ptr<TlsContext> from_files(const std::string& certificate_file,
                                                const std::string& key_file,
                                                TlsMax max = TlsMax::k12);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // "CN=..., SHA-256 fingerprint AB:CD:..." for the start-up line.
  const std::string& description() const { return description_; }

 private:
  friend class TlsChannel;
  explicit TlsContext(void* ctx) : ctx_(ctx) {}
  void* ctx_;  // SSL_CTX
  std::string description_;
};

// One connection's TLS state over memory buffers: the caller moves bytes between these and the
// socket, so it decides how records are framed (inside PRELOGIN packets during the handshake)
// and where each read ends (a record at a time, never past the last encrypted byte).
class TlsChannel {
 public:
  explicit TlsChannel(const TlsContext& context);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  enum class Step { kMore, kDone, kFailed };
  // Bytes that arrived from the client (handshake data, or whole records afterwards).
  void feed(std::span<const std::uint8_t> bytes);
  // Advances the handshake with what was fed; its answer, if any, is in take_output().
  Step handshake();
  // Plain text decrypted from what was fed, appended to `out`; false on a TLS failure or when
  // the client closed TLS.
  bool decrypt(std::vector<std::uint8_t>& out);
  // Encrypts `plain`; the records are in take_output(). False on failure.
  bool encrypt(std::span<const std::uint8_t> plain);
  // Bytes to send to the client.
  std::vector<std::uint8_t> take_output();

  // After the handshake: "TLSv1.3", and the cipher suite's name.
  std::string version() const;
  std::string cipher() const;
  // Why the last step failed (OpenSSL's reason), for the connection's record.
  const std::string& failure() const { return failure_; }

 private:
  void* ssl_;  // SSL
  void* in_;   // BIO: client -> OpenSSL
  void* out_;  // BIO: OpenSSL -> client
  std::string failure_;
};

// A TLS record header's announced body length: 5-byte header (type, version, length BE16).
inline constexpr std::size_t kTlsRecordHeader = 5;
// The largest body a record may announce (TLS 1.2's ciphertext limit).
inline constexpr std::size_t kTlsMaxRecordBody = 16384 + 2048;

}  // namespace sandbox::tds
