#!/usr/bin/env bash
# Authenticode-signs Windows files (.exe, .dll, .msi) in place with osslsigncode (SHA-256).
#
#   scripts/sign.sh --cert CERT --key KEY [--pass-file FILE] [--timestamp URL] FILE...
#   scripts/sign.sh --pkcs12 BUNDLE.pfx [--pass-file FILE] [--timestamp URL] FILE...
#
# CERT is the code-signing certificate, PEM or DER, followed by any intermediate certificates
# (they go into the signature); KEY its private key; --pass-file a file holding the key's or the
# bundle's password. --timestamp URL asks that RFC 3161 time-stamping authority to countersign, so
# the signature stays valid after the certificate expires; without it the signature is valid only
# while the certificate is. Each file is signed into a temporary copy that replaces the original
# only when signing succeeded; a file that is already signed is signed anew (its old signature
# replaced). Exit code 0 when every file was signed, 1 otherwise (the reason is printed).
set -euo pipefail

cert="" key="" pkcs12="" pass_file="" timestamp=""
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cert) cert=${2:?--cert needs a file}; shift 2 ;;
    --key) key=${2:?--key needs a file}; shift 2 ;;
    --pkcs12) pkcs12=${2:?--pkcs12 needs a file}; shift 2 ;;
    --pass-file) pass_file=${2:?--pass-file needs a file}; shift 2 ;;
    --timestamp) timestamp=${2:?--timestamp needs a URL}; shift 2 ;;
    --) shift; files+=("$@"); break ;;
    -*) echo "sign.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done

fail() { echo "sign.sh: $*" >&2; exit 1; }
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (scripts/install-deps.sh installs it)"
[ ${#files[@]} -gt 0 ] || fail "no file to sign"
credentials=()
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || fail "give either --pkcs12 or --cert with --key, not both"
  [ -r "$pkcs12" ] || fail "cannot read the PKCS#12 bundle $pkcs12"
  credentials=(-pkcs12 "$pkcs12")
else
  [ -n "$cert" ] && [ -n "$key" ] || fail "give --cert and --key (or --pkcs12)"
  [ -r "$cert" ] || fail "cannot read the certificate $cert"
  [ -r "$key" ] || fail "cannot read the key $key"
  credentials=(-certs "$cert" -key "$key")
fi
if [ -n "$pass_file" ]; then
  [ -r "$pass_file" ] || fail "cannot read the password file $pass_file"
  credentials+=(-readpass "$pass_file")
fi
stamp=()
[ -z "$timestamp" ] || stamp=(-ts "$timestamp")

for file in "${files[@]}"; do
  [ -f "$file" ] || fail "no such file: $file"
  signed="$file.signing"
  rm -f "$signed"
  unsigned="$file"
  # Signing a signed file would nest the signatures: sign the unsigned content instead.
  if osslsigncode extract-signature -in "$file" -out "$file.old-signature" >/dev/null 2>&1; then
    rm -f "$file.old-signature"
    unsigned="$file.unsigned"
    osslsigncode remove-signature -in "$file" -out "$unsigned" >/dev/null || fail "cannot remove the old signature of $file"
  fi
  rm -f "$file.old-signature"
  if ! output=$(osslsigncode sign "${credentials[@]}" -h sha256 -n "Sentrel" "${stamp[@]}" \
                  -in "$unsigned" -out "$signed" 2>&1); then
    rm -f "$signed"
    [ "$unsigned" = "$file" ] || rm -f "$unsigned"
    fail "signing $file failed: $output"
  fi
  [ "$unsigned" = "$file" ] || rm -f "$unsigned"
  chmod --reference="$file" "$signed"
  mv -f "$signed" "$file"
  echo "signed $file"
done
