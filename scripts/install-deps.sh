#!/usr/bin/env bash
# Installs every build and test dependency of Sentrel on a bare Debian machine.
# Only Debian packages are used; nothing is downloaded from anywhere else.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  xvfb xauth x11-utils imagemagick
  fonts-wqy-microhei
  googletest
  python3 openssl
  librsvg2-bin                 # rsvg-convert draws the icons
  wixl msitools osslsigncode   # the MSI, its table checks, Authenticode signing
  cppcheck                     # static analysis
  clang libclang-rt-dev llvm   # the parser fuzz targets: libFuzzer and the sanitizers, llvm-cov (scripts/fuzz.sh)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
