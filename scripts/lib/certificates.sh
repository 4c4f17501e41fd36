#!/usr/bin/env bash
# Certificates for a collector on 127.0.0.1: a certificate authority made for one run and a
# server certificate it signed. Sourced by the scripts for make_certificates and
# make_authority; run as a program, it makes them into a folder:
#   certificates.sh DIR CA-NAME [UNTRUSTED-CA-NAME]
# DIR gets ca.pem and ca.key, server.pem and server.key, and with a third argument
# other-ca.pem, an authority nobody trusts. openssl says nothing unless it fails.

# make_authority DIR STEM NAME: DIR/STEM.pem and DIR/STEM.key, a self-signed authority.
make_authority() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1/$2.key" -out "$1/$2.pem" -days 2 -subj "/CN=$3" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    >/dev/null 2>&1
}

# make_certificates DIR CA-NAME: the authority DIR/ca.* and DIR/server.* for 127.0.0.1.
make_certificates() {
  mkdir -p "$1" || return 1
  make_authority "$1" ca "$2" || return 1
  printf '%s\n' subjectAltName=IP:127.0.0.1 basicConstraints=CA:FALSE \
    keyUsage=critical,digitalSignature,keyEncipherment extendedKeyUsage=serverAuth \
    >"$1/server.ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$1/server.key" -out "$1/server.csr" -subj /CN=127.0.0.1 >/dev/null 2>&1 &&
    openssl x509 -req -in "$1/server.csr" -CA "$1/ca.pem" -CAkey "$1/ca.key" \
      -CAcreateserial -out "$1/server.pem" -days 2 -extfile "$1/server.ext" >/dev/null 2>&1
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  [ $# -ge 2 ] || { echo "usage: $0 DIR CA-NAME [UNTRUSTED-CA-NAME]" >&2; exit 2; }
  make_certificates "$1" "$2"
  [ $# -lt 3 ] || make_authority "$1" other-ca "$3"
fi
