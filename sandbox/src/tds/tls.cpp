#include "tds/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <stdexcept>

namespace sandbox::tds {
namespace {

std::string openssl_error() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

SSL_CTX* new_server_ctx(TlsMax max) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) throw std::runtime_error("TLS: " + openssl_error());
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, max == TlsMax::k13 ? TLS1_3_VERSION : TLS1_2_VERSION);
  // No session tickets: after a login-only handshake the connection goes on in clear, and a
  // ticket sent after the handshake would land in the middle of the login answer.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  return ctx;
}

std::string describe(X509* cert) {
  char subject[256] = "";
  X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(cert, EVP_sha256(), md, &len);
  std::string out = std::string(subject) + ", SHA-256 ";
  for (unsigned int i = 0; i < len; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
    out += hex;
  }
  return out;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::self_signed(TlsMax max) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr;
  if (ok) {
    std::uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    X509_set_version(cert, 2);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("taviksms-sandbox"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    ok = X509_sign(cert, key, EVP_sha256()) > 0;
  }
  SSL_CTX* ctx = ok ? new_server_ctx(max) : nullptr;
  ok = ctx != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 &&
       SSL_CTX_use_PrivateKey(ctx, key) == 1;
  const std::string why = ok ? std::string() : openssl_error();
  std::shared_ptr<TlsContext> out;
  if (ok) {
    out.reset(new TlsContext(ctx));
    out->description_ = describe(cert) + " (self-signed, made at start-up)";
  } else if (ctx != nullptr) {
    SSL_CTX_free(ctx);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) throw std::runtime_error("cannot make a TLS certificate: " + why);
  return out;
}

std::shared_ptr<TlsContext> TlsContext::from_files(const std::string& certificate_file,
                                                   const std::string& key_file, TlsMax max) {
  SSL_CTX* ctx = new_server_ctx(max);
  std::shared_ptr<TlsContext> out(new TlsContext(ctx));
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    throw std::runtime_error("cannot read the TLS certificate " + certificate_file + ": " +
                             openssl_error());
  }
  const std::string& key = key_file.empty() ? certificate_file : key_file;
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot read the TLS private key " + key + ": " + openssl_error());
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    throw std::runtime_error("the TLS private key " + key + " does not belong to " +
                             certificate_file);
  }
  out->description_ = describe(SSL_CTX_get0_certificate(ctx)) + " (" + certificate_file + ")";
  return out;
}

TlsContext::~TlsContext() {
  SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

TlsChannel::TlsChannel(const TlsContext& context) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context.ctx_));
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (ssl == nullptr || in == nullptr || out == nullptr) {
    SSL_free(ssl);
    BIO_free(in);
    BIO_free(out);
    throw std::runtime_error("TLS: out of memory");
  }
  // An empty input buffer means "wait for more", not end of stream.
  BIO_set_mem_eof_return(in, -1);
  SSL_set_bio(ssl, in, out);  // the SSL owns both now
  SSL_set_accept_state(ssl);
  ssl_ = ssl;
  in_ = in;
  out_ = out;
}

TlsChannel::~TlsChannel() {
  SSL_free(static_cast<SSL*>(ssl_));
}

void TlsChannel::feed(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty())
    BIO_write(static_cast<BIO*>(in_), bytes.data(), static_cast<int>(bytes.size()));
}

TlsChannel::Step TlsChannel::handshake() {
  SSL* ssl = static_cast<SSL*>(ssl_);
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl);
  if (r == 1) return Step::kDone;
  const int e = SSL_get_error(ssl, r);
  if (e == SSL_ERROR_WANT_READ) return Step::kMore;
  failure_ = "TLS handshake failed: " + openssl_error();
  return Step::kFailed;
}

bool TlsChannel::decrypt(std::vector<std::uint8_t>& out) {
  SSL* ssl = static_cast<SSL*>(ssl_);
  std::uint8_t buf[16384];
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    const int e = SSL_get_error(ssl, n);
    if (e == SSL_ERROR_WANT_READ) return true;
    failure_ = e == SSL_ERROR_ZERO_RETURN ? "the client closed TLS"
                                          : "TLS record refused: " + openssl_error();
    return false;
  }
}

bool TlsChannel::encrypt(std::span<const std::uint8_t> plain) {
  SSL* ssl = static_cast<SSL*>(ssl_);
  std::size_t done = 0;
  while (done < plain.size()) {
    ERR_clear_error();
    std::size_t written = 0;
    if (SSL_write_ex(ssl, plain.data() + done, plain.size() - done, &written) != 1) {
      failure_ = "TLS write failed: " + openssl_error();
      return false;
    }
    done += written;
  }
  return true;
}

std::vector<std::uint8_t> TlsChannel::take_output() {
  BIO* out = static_cast<BIO*>(out_);
  std::vector<std::uint8_t> bytes(BIO_ctrl_pending(out));
  if (!bytes.empty()) BIO_read(out, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

std::string TlsChannel::version() const {
  return SSL_get_version(static_cast<SSL*>(ssl_));
}

std::string TlsChannel::cipher() const {
  const char* name = SSL_get_cipher_name(static_cast<SSL*>(ssl_));
  return name ? name : "";
}

}  // namespace sandbox::tds
