// Certificates for the TLS tests, made once per process under a throw-away test authority that
// SSL_CERT_FILE then points at (the client's TLS context reads it on its first handshake).
#pragma once

#include <string>

#include "support/TempDir.h"

namespace norva::testing {

struct TServerCert {
  std::string cert, key, fingerprint;  // the PEM files, and the SHA-256 as the transport spells it
};

struct TCerts {
  TempDir dir;
  TServerCert localhost;   // signed by the test authority for localhost and 127.0.0.1
  TServerCert selfSigned;  // localhost and 127.0.0.1, signed by itself
  TServerCert otherHost;   // signed by the test authority for mail.other.test only
  TCerts();
};

const TCerts& Certs();

}  // namespace norva::testing
