#!/usr/bin/env bash
# Makes a self-signed certificate and its key in one PEM file, for trying the
# relay's TLS and WSS out. Never overwrites an existing file.
set -euo pipefail
out="${1:-relayhub.pem}"
if [ -e "$out" ]; then
  echo "$out exists; not overwritten" >&2
  exit 1
fi
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 365 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
cat "$tmp/cert.pem" "$tmp/key.pem" > "$out"
chmod 600 "$out"
echo "wrote $out"
