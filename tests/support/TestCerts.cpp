// The test certificates: EC keys, X.509 v3 with the extensions a verifier looks at.
#include "support/TestCerts.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace norva::testing {
namespace {

std::string FingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(cert, EVP_sha256(), digest, &length);
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
    text += hex;
  }
  return text;
}

// A certificate for key, signed by issuer (itself when null); san: subjectAltName entries.
X509* MakeCert(EVP_PKEY* key, const char* name, const char* san, X509* issuer, EVP_PKEY* issuerKey,
               bool ca) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : subject);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
  auto add = [&](int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
  };
  add(NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  add(NID_subject_key_identifier, "hash");
  if (ca) add(NID_key_usage, "critical,keyCertSign,cRLSign");
  if (san) add(NID_subject_alt_name, san);
  X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256());
  return cert;
}

int certCount = 0;

void Write(X509* cert, EVP_PKEY* key, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) throw std::runtime_error("cannot write " + path);
  if (cert) PEM_write_X509(f, cert);
  if (key) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

TServerCert Server(const TempDir& dir, const std::string& name, const char* san, X509* ca,
                   EVP_PKEY* caKey) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = MakeCert(key, name.c_str(), san, ca, caKey, false);
  ++certCount;
  TServerCert made{dir.File(name + std::to_string(certCount) + ".pem"),
                   dir.File(name + std::to_string(certCount) + ".key"), FingerprintOf(cert)};
  Write(cert, nullptr, made.cert);
  Write(nullptr, key, made.key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return made;
}

}  // namespace

TCerts::TCerts() {
  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  X509* ca = MakeCert(caKey, "Norva Test CA", nullptr, nullptr, nullptr, true);
  Write(ca, nullptr, dir.File("ca.pem"));
  localhost = Server(dir, "localhost", "DNS:localhost,IP:127.0.0.1", ca, caKey);
  selfSigned = Server(dir, "localhost", "DNS:localhost,IP:127.0.0.1", nullptr, nullptr);
  otherHost = Server(dir, "mail.other.test", "DNS:mail.other.test", ca, caKey);
  X509_free(ca);
  EVP_PKEY_free(caKey);
  ::setenv("SSL_CERT_FILE", dir.File("ca.pem").c_str(), 1);
  ::setenv("SSL_CERT_DIR", dir.Path().c_str(), 1);
}

const TCerts& Certs() {
  static TCerts certs;
  return certs;
}

}  // namespace norva::testing
