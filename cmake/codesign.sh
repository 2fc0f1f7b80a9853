#!/usr/bin/env bash
# Signs one Windows program in place with osslsigncode (Authenticode,
# SHA-256) and verifies the new signature before it replaces the program.
# The build runs it as the last step of a signed program (cmake/codesign.cmake).
#
#   codesign.sh --osslsigncode TOOL --password-var NAME --name TEXT --url URL
#               --ca-file FILE (--pkcs12 FILE | --pkcs11-module SO --pkcs11-key URI
#               --pkcs11-cert FILE-OR-URI) [--timestamp URL] PROGRAM
#
# The PKCS#12 password or token PIN is taken from the environment variable
# NAME and handed to osslsigncode on its standard input, never on a command
# line. Whatever fails, PROGRAM is removed: a build asked to sign leaves a
# signed, verified program or none.
set -uo pipefail

tool='' password_var='' name='' url='' ca_file='' timestamp='' program=''
key=()
while (($#)); do
  case "$1" in
    --osslsigncode) tool=$2; shift 2 ;;
    --password-var) password_var=$2; shift 2 ;;
    --name) name=$2; shift 2 ;;
    --url) url=$2; shift 2 ;;
    --ca-file) ca_file=$2; shift 2 ;;
    --timestamp) timestamp=$2; shift 2 ;;
    --pkcs12) key+=(-pkcs12 "$2"); shift 2 ;;
    --pkcs11-module) key+=(-pkcs11module "$2"); shift 2 ;;
    --pkcs11-key) key+=(-key "$2"); shift 2 ;;
    --pkcs11-cert)
      if [[ $2 == pkcs11:* ]]; then key+=(-pkcs11cert "$2"); else key+=(-certs "$2"); fi
      shift 2 ;;
    -*) echo "codesign.sh: unknown option $1" >&2; exit 2 ;;
    *) program=$1; shift ;;
  esac
done

fail() {
  echo "codesign.sh: $*; $program is removed, so that no unsigned program is shipped" >&2
  rm -f -- "$program" "$program.signing"
  exit 1
}

[[ -n $program && -f $program ]] || { echo "codesign.sh: no program to sign: $program" >&2; exit 2; }
[[ -n $tool && -n $password_var && -n $name && -n $url && -n $ca_file && ${#key[@]} -gt 0 ]] ||
  fail "options missing"
[[ -n ${!password_var-} ]] ||
  fail "the environment variable $password_var (the PKCS#12 password or the token PIN) is not set or empty"

stamp=()
verify_stamp=()
if [[ -n $timestamp ]]; then
  stamp=(-ts "$timestamp")
  verify_stamp=(-TSA-CAfile "$ca_file")
fi

rm -f -- "$program.signing"
if ! printf '%s' "${!password_var}" |
  "$tool" sign -h sha256 -n "$name" -i "$url" "${key[@]}" -readpass - "${stamp[@]}" \
    -in "$program" -out "$program.signing" >"$program.signing.log" 2>&1; then
  cat "$program.signing.log" >&2
  rm -f -- "$program.signing.log"
  fail "osslsigncode could not sign"
fi
rm -f -- "$program.signing.log"
# The chain is checked against the maker's roots; revocation lists are not
# fetched, so that a build needs no network beyond a timestamp server.
if ! "$tool" verify -in "$program.signing" -CAfile "$ca_file" -ignore-cdp "${verify_stamp[@]}" \
  >"$program.verify.log" 2>&1; then
  cat "$program.verify.log" >&2
  rm -f -- "$program.verify.log"
  fail "the new signature does not verify against $ca_file"
fi
rm -f -- "$program.verify.log"
chmod --reference="$program" "$program.signing" 2>/dev/null || true
mv -f -- "$program.signing" "$program" || fail "could not put the signed program in place"
