#!/usr/bin/env bash
# Installs with apt-get what building, running and testing the relay need,
# only when it is missing. Without root and without sudo it names the
# packages to install by hand.
#   (no option)  building and running the relay, make install
#   --package    also making the Debian package
#   --bench      also the benchmark: its peers (ncat, node with ws) and the
#                chart; GoogleTest because the benchmark is configured with
#                the tests
#   --test       everything the tests need, Chromium for the browser test included
#   --fuzz       clang and its sanitizer and libFuzzer runtimes, for the fuzz targets
#   --soak       matplotlib, for the soak run's chart
set -euo pipefail

packages=(g++ cmake make pkg-config libssl-dev openssl scdoc)
case "${1:-}" in
--package) packages+=(dpkg-dev file) ;;
--bench) packages+=(libgtest-dev ncat nodejs node-ws python3-matplotlib) ;;
--test) packages+=(libgtest-dev python3-websockets chromium nodejs node-ws dpkg-dev file man-db systemd) ;;
--fuzz) packages+=(clang libclang-rt-14-dev) ;;
--soak) packages+=(python3-matplotlib) ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo > /dev/null; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "as root, run:  apt-get install ${missing[*]}" >&2
    exit 1
  fi
  sudo="sudo"
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
