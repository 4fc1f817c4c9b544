#!/usr/bin/env bash
# Installs with apt-get what the Windows cross-build and its tests under Wine
# need, only when it is missing.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix wine64 wine dpkg-dev cmake make libgtest-dev openssl python3-websockets)

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
