#!/usr/bin/env bash
# Installs with apt-get what building, running and testing the relay need,
# only when it is missing.
set -euo pipefail

packages=(g++ cmake make pkg-config libssl-dev openssl libgtest-dev)
if [ "${1:-}" = "--test" ]; then
  packages+=(python3-websockets chromium)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
