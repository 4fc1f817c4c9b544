#!/usr/bin/env bash
# Builds OpenSSL 3 for x86_64-w64-mingw32 from Debian's own source package and
# installs it into PREFIX (default build-windows/openssl). Debian ships no
# MinGW build of OpenSSL. The install is reused while the source version and
# the flags below are unchanged.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${1:-$root/build-windows/openssl}"
work="$(dirname "$prefix")/openssl-src"
jobs="${JOBS:-2}"
flags="mingw64 no-shared no-tests --cross-compile-prefix=x86_64-w64-mingw32-"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# apt-get source needs a deb-src line for the Debian mirror already in use.
if [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  main_sources=/etc/apt/sources.list.d/debian.sources
  if [ -f "$main_sources" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$main_sources" | $sudo tee /etc/apt/sources.list.d/debian-src.sources > /dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo tee /etc/apt/sources.list.d/debian-src.list > /dev/null
  fi
  $sudo apt-get update -qq
fi

stamp="$prefix/.stamp"
# The newest source version the mirror really serves: an index may list a
# version whose files are not on the mirror yet.
mkdir -p "$(dirname "$prefix")"
for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -Vr); do
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version $flags" ] && [ -f "$prefix/lib64/libssl.a" ]; then
    exit 0
  fi
  rm -rf "$work"
  mkdir -p "$work"
  if (cd "$work" && apt-get source -qq --only-source "openssl=$version" > /dev/null 2>&1); then
    break
  fi
  version=""
done
if [ -z "$version" ]; then
  echo "apt-get source openssl failed for every version the index lists" >&2
  exit 1
fi

echo "building OpenSSL $version for x86_64-w64-mingw32"
rm -rf "$prefix"
src="$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'openssl-*' | head -1)"
cd "$src"
# apt-get source has applied Debian's patches; the build is OpenSSL's own.
# Its compiler warnings go to a log, shown only when the build fails.
log="$work/build.log"
# shellcheck disable=SC2086
if ! { ./Configure $flags --prefix="$prefix" --libdir=lib64 && make -j "$jobs" build_libs && make install_dev; } > "$log" 2>&1; then
  tail -n 40 "$log" >&2
  exit 1
fi
echo "$version $flags" > "$stamp"
rm -rf "$work"
