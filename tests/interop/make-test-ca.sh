#!/usr/bin/env bash
# A throw-away certificate authority and server certificates for the TLS interop tests.
# Usage: make-test-ca.sh WORKDIR [DAYS]       (DAYS of validity, default 7)
# Writes WORKDIR/tls/ (replacing what is there):
#   ca.pem, ca.key                 the test CA (trust ca.pem in the client)
#   server.pem, server.key         DNS:localhost and IP:127.0.0.1, signed by the CA
#   wronghost.pem, wronghost.key   DNS:wrong.example only, signed by the CA (a name mismatch)
#   selfsigned.pem, selfsigned.key DNS:localhost and IP:127.0.0.1, signed by itself (untrusted)
# EC P-256 keys, SHA-256 signatures. Needs the openssl command line tool; uses no system config.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 WORKDIR [DAYS]" >&2; exit 2; }
command -v openssl >/dev/null || {
  echo "error: openssl missing; install it with: apt-get install -y openssl" >&2; exit 1; }
days=${2:-7}
mkdir -p "$1/tls"
dir=$(cd "$1/tls" && pwd -P)
rm -f "$dir"/*.pem "$dir"/*.key "$dir"/*.csr "$dir"/*.cnf "$dir"/*.srl

# One config with every extension section: nothing comes from the system's openssl.cnf.
cat >"$dir/ext.cnf" <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[localhost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[wronghost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

newkey=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256)
umask 077   # the keys; the certificates are made readable below

openssl req -config "$dir/ext.cnf" -x509 "${newkey[@]}" -days "$days" \
  -subj "/O=Norva tests/CN=Norva test CA" -extensions ca \
  -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null

# NAME CN SECTION: a key and a CA-signed certificate with SECTION's extensions
signed() {
  openssl req -config "$dir/ext.cnf" -new "${newkey[@]}" -subj "/O=Norva tests/CN=$2" \
    -keyout "$dir/$1.key" -out "$dir/$1.csr" 2>/dev/null
  openssl x509 -req -in "$dir/$1.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -set_serial "0x$(openssl rand -hex 16)" -days "$days" -sha256 \
    -extfile "$dir/ext.cnf" -extensions "$3" -out "$dir/$1.pem" 2>/dev/null
  rm -f "$dir/$1.csr"
}
signed server localhost localhost
signed wronghost wrong.example wronghost

# Self-signed: the right names, but an issuer nobody trusts.
openssl req -config "$dir/ext.cnf" -x509 "${newkey[@]}" -days "$days" \
  -subj "/O=Norva tests/CN=localhost" -extensions localhost \
  -keyout "$dir/selfsigned.key" -out "$dir/selfsigned.pem" 2>/dev/null

chmod 0644 "$dir"/*.pem
openssl verify -CAfile "$dir/ca.pem" "$dir/server.pem" "$dir/wronghost.pem" >/dev/null
echo "test CA and certificates in $dir"
