#!/usr/bin/env bash
# Builds a release of Sentrel into dist/: the three executables and the MSI, Authenticode-signed
# when a certificate is given, a zip of the executables, and SHA256SUMS; the version is in every
# file name.
#
#   scripts/release.sh --cert CERT --key KEY [--pass-file FILE] [--timestamp URL]
#   scripts/release.sh --pkcs12 BUNDLE.pfx [--pass-file FILE] [--timestamp URL]
#   scripts/release.sh                      (unsigned: for trying the package only)
#
# Options: --out DIR (default dist), --build-dir DIR (default build-release, a Release build without
# tests), --no-build (use what --build-dir holds), --build-number N (the fourth version field).
# The signing options are those of scripts/sign.sh. The executables are signed before they go into
# the MSI and the zip, so installed files carry their signatures too.
#
# dist/ then holds, for version X.Y.Z:
#   SentrelSvc-X.Y.Z.exe  SentrelUI-X.Y.Z.exe  runguard-X.Y.Z.exe   (install under their plain names)
#   Sentrel-X.Y.Z-x64.msi    the Windows Installer package
#   Sentrel-X.Y.Z-x64.zip    Sentrel-X.Y.Z/ with SentrelSvc.exe, SentrelUI.exe, runguard.exe
#   SHA256SUMS               sha256sum format; check with: sha256sum -c SHA256SUMS
set -euo pipefail
cd "$(dirname "$0")/.."

out=dist build_dir=build-release build=1 build_number=0
sign_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --build-dir) build_dir=${2:?--build-dir needs a folder}; shift 2 ;;
    --no-build) build=0; shift ;;
    --build-number) build_number=${2:?--build-number needs a number}; shift 2 ;;
    --cert|--key|--pkcs12|--pass-file|--timestamp) sign_args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    *) echo "usage: scripts/release.sh [--cert CERT --key KEY | --pkcs12 FILE] [--pass-file FILE] [--timestamp URL]" \
            "[--out DIR] [--build-dir DIR] [--no-build] [--build-number N]" >&2; exit 2 ;;
  esac
done
case "$build_number" in ''|*[!0-9]*) echo "release.sh: --build-number must be a whole number" >&2; exit 2 ;; esac
fail() { echo "release.sh: $*" >&2; exit 1; }

if [ "$build" = 1 ]; then
  bash scripts/install-deps.sh
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DSENTREL_BUILD_NUMBER="$build_number" >/dev/null
  cmake --build "$build_dir" --target SentrelSvc SentrelUI runguard SentrelActions sentrel_icons
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build_dir/CMakeCache.txt (build first, or drop --no-build)"
for f in bin/SentrelSvc.exe bin/SentrelUI.exe bin/runguard.exe installer/SentrelActions.dll resources/sentrel.ico; do
  [ -f "$build_dir/$f" ] || fail "$build_dir/$f is missing (build first, or drop --no-build)"
done

stage=$(mktemp -d "${TMPDIR:-/tmp}/sentrel-release.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/bin"
cp "$build_dir"/bin/{SentrelSvc,SentrelUI,runguard}.exe "$stage/bin/"
cp "$build_dir/installer/SentrelActions.dll" "$stage/"
msi="$stage/Sentrel-$version-x64.msi"

if [ ${#sign_args[@]} -gt 0 ]; then
  bash scripts/sign.sh "${sign_args[@]}" "$stage"/bin/*.exe "$stage/SentrelActions.dll"
else
  echo "release.sh: WARNING: no certificate given, the release is NOT signed" >&2
fi
python3 installer/build_msi.py --bin "$stage/bin" --actions "$stage/SentrelActions.dll" \
  --icon "$build_dir/resources/sentrel.ico" --version "$version" --out "$msi"
[ ${#sign_args[@]} -eq 0 ] || bash scripts/sign.sh "${sign_args[@]}" "$msi"

rm -rf "$out"
mkdir -p "$out"
for exe in SentrelSvc SentrelUI runguard; do cp "$stage/bin/$exe.exe" "$out/$exe-$version.exe"; done
cp "$msi" "$out/"
# A reproducible zip: fixed order and time stamps.
python3 - "$stage/bin" "$out/Sentrel-$version-x64.zip" "Sentrel-$version" <<'PY'
import os, sys, zipfile
folder, target, top = sys.argv[1:]
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
    for name in ("SentrelSvc.exe", "SentrelUI.exe", "runguard.exe"):
        info = zipfile.ZipInfo(top + "/" + name, date_time=(2025, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(os.path.join(folder, name), "rb") as f:
            z.writestr(info, f.read())
PY
(cd "$out" && sha256sum -- *.exe *.msi *.zip > SHA256SUMS)
echo "release $version in $out/:"
ls -l "$out"
