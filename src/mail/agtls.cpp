// TagTls: OpenSSL client sessions on the sockets of TagSocket.
#include "mail/agtls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "mail/agwsock.h"

namespace norva {
namespace {

// One client context for the process, made on first use: the certificate store is read then
// (SSL_CERT_FILE and SSL_CERT_DIR are honoured).
SSL_CTX* ClientContext() {
  static SSL_CTX* context = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (c) {
      SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
      SSL_CTX_set_default_verify_paths(c);
    }
    return c;
  }();
  return context;
}

long BioCtrl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string FingerprintOf(const X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "";
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

// Upper-case hex digits only, so that "ab:cd" and "ABCD" compare equal.
std::string Normalised(const std::string& fingerprint) {
  std::string digits;
  for (char c : fingerprint) {
    if (c == ':' || std::isspace(static_cast<unsigned char>(c))) continue;
    digits += char(std::toupper(static_cast<unsigned char>(c)));
  }
  return digits;
}

}  // namespace

TagTls::TagTls(int fd, const std::string& host, const std::string& accepted)
    : fd_(fd), host_(host), accepted_(Normalised(accepted)) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "norva socket");
    if (m) {
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_ctrl(m, BioCtrl);
    }
    return m;
  }();
  ERR_clear_error();
  SSL_CTX* context = ClientContext();
  BIO* bio = context && method ? BIO_new(method) : nullptr;
  ssl_ = bio ? SSL_new(context) : nullptr;
  if (!ssl_) {
    if (bio) BIO_free(bio);
    const char* why = ERR_reason_error_string(ERR_peek_last_error());
    reason_ = why ? why : "the TLS library could not be set up";
    ERR_clear_error();
    return;
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_app_data(ssl_, this);
  SSL_set_verify(ssl_, SSL_VERIFY_PEER, Verify);
  // Several records can come in one read; HasPending tells the caller they are there.
  SSL_set_read_ahead(ssl_, 1);
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (IsAddress(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    SSL_set1_host(ssl_, host.c_str());
  }
  SSL_set_connect_state(ssl_);
  ERR_clear_error();
}

TagTls::~TagTls() {
  if (ssl_) SSL_free(ssl_);
}

// ---- moving bytes ----

int TagTls::BioRead(BIO* bio, char* buffer, int length) {
  auto* self = static_cast<TagTls*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  try {
    n = TagWinsock::Instance().Recv(self->fd_, buffer, size_t(length));
  } catch (...) {
    self->fault_ = std::current_exception();
    return -1;
  }
  if (n >= 0) return int(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    BIO_set_retry_read(bio);
  else
    self->sysError_ = errno;
  return -1;
}

int TagTls::BioWrite(BIO* bio, const char* data, int length) {
  auto* self = static_cast<TagTls*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  ssize_t n;
  try {
    n = TagWinsock::Instance().Send(self->fd_, data, size_t(length));
  } catch (...) {
    self->fault_ = std::current_exception();
    return -1;
  }
  if (n >= 0) return int(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    BIO_set_retry_write(bio);
  else
    self->sysError_ = errno;
  return -1;
}

void TagTls::RethrowFault() {
  if (!fault_) return;
  ERR_clear_error();
  std::rethrow_exception(std::exchange(fault_, nullptr));
}

// ---- the certificate ----

int TagTls::Verify(int ok, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* self = ssl ? static_cast<TagTls*>(SSL_get_app_data(ssl)) : nullptr;
  if (ok || !self) return ok;
  // The server's own certificate, whichever certificate of the chain failed.
  self->fingerprint_ = FingerprintOf(X509_STORE_CTX_get0_cert(store));
  if (!self->accepted_.empty() && Normalised(self->fingerprint_) == self->accepted_) return 1;
  self->verifyError_ = X509_STORE_CTX_get_error(store);
  return 0;
}

std::string TagTls::Fingerprint() const {
  if (!fingerprint_.empty() || !ssl_) return fingerprint_;
  return FingerprintOf(SSL_get0_peer_certificate(ssl_));
}

// ---- the session ----

TagTls::TStatus TagTls::Status(int result, bool handshaking) {
  RethrowFault();
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ) return TStatus::WantRead;
  if (error == SSL_ERROR_WANT_WRITE) return TStatus::WantWrite;
  const unsigned long last = ERR_peek_last_error();
  const bool eof =
      error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && sysError_ == 0) ||
      (error == SSL_ERROR_SSL && ERR_GET_REASON(last) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
  if (verifyError_ != 0) {
    reason_ = X509_verify_cert_error_string(verifyError_);
    if (verifyError_ == X509_V_ERR_HOSTNAME_MISMATCH)
      reason_ += ": it was not issued for the host name " + host_;
    else if (verifyError_ == X509_V_ERR_IP_ADDRESS_MISMATCH)
      reason_ += ": it was not issued for the address " + host_;
  } else if (eof) {
    reason_ = "the server closed the connection";
  } else if (sysError_ != 0) {
    reason_ = std::strerror(sysError_);
  } else {
    const char* why = ERR_reason_error_string(last);
    reason_ = why ? why : "unknown error";
  }
  ERR_clear_error();
  return eof && !handshaking ? TStatus::Closed : TStatus::Failed;
}

TagTls::TStatus TagTls::Handshake() {
  if (!ssl_) return TStatus::Failed;
  ERR_clear_error();
  sysError_ = 0;
  const int result = SSL_connect(ssl_);
  return result == 1 ? TStatus::Done : Status(result, true);
}

TagTls::TStatus TagTls::Read(char* buffer, size_t length, size_t& transferred) {
  ERR_clear_error();
  sysError_ = 0;
  const int result = SSL_read(ssl_, buffer, int(std::min<size_t>(length, INT_MAX)));
  if (result > 0) {
    transferred = size_t(result);
    return TStatus::Done;
  }
  return Status(result, false);
}

TagTls::TStatus TagTls::Write(const char* data, size_t length, size_t& transferred) {
  ERR_clear_error();
  sysError_ = 0;
  const int result = SSL_write(ssl_, data, int(std::min<size_t>(length, INT_MAX)));
  if (result > 0) {
    transferred = size_t(result);
    return TStatus::Done;
  }
  return Status(result, false);
}

bool TagTls::HasPending() const {
  return ssl_ && SSL_has_pending(ssl_) == 1;
}

bool TagTls::Established() const {
  return ssl_ && SSL_is_init_finished(ssl_);
}

void TagTls::Shutdown() {
  if (!Established()) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  fault_ = nullptr;
  ERR_clear_error();
}

}  // namespace norva
