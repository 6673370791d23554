#!/bin/sh
# Signs a Windows program with osslsigncode (Authenticode, SHA-256) and checks the signature:
#   sign.sh <unsigned.exe> <signed.exe>
# `make windows` and `make release` run it when signing variables are given. The key is either
#   SIGN_PKCS12=<file.p12> with SIGN_PASSWORD_FILE=<file holding its password>, or
#   SIGN_PKCS11_MODULE=<module.so> with SIGN_KEY_URI=<pkcs11:... URI of the key> and
#     SIGN_CERT=<the certificate chain, PEM> (a hardware token or a cloud HSM through its PKCS#11
#     module; SIGN_PASSWORD_FILE, when given, holds the token's PIN; SIGN_PKCS11_ENGINE names
#     OpenSSL's pkcs11 engine where osslsigncode does not find it: package
#     libengine-pkcs11-openssl).
# SIGN_TIMESTAMP_URL adds an RFC 3161 time stamp from that server. The signature is then verified
# against SIGN_CA_FILE (default: the system's certificate bundle) and the time stamp against
# SIGN_TSA_CA_FILE (default the same). osslsigncode's exit status alone does not say that the
# signature is good, so its report is read: the signature's status must be "ok" and nothing
# "failed", the digest in the signature must equal the one computed over the file, and a time
# stamp asked for must be there and verified. Anything else fails with one line that starts with
# "iolink-update: " and the verifier's report; <signed.exe> is written only when all is well.
set -eu

fail() {
    echo "iolink-update: signing failed: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: sign.sh <unsigned.exe> <signed.exe>"
in=$1
out=$2
command -v osslsigncode > /dev/null 2>&1 || fail "osslsigncode is not installed (package osslsigncode)"

readable() {  # <variable name> <path>: the file named by the variable can be read
    [ -n "$2" ] || fail "$1 is empty"
    [ -f "$2" ] && [ -r "$2" ] || fail "$1=$2 cannot be read"
}

set --
if [ -n "${SIGN_PKCS12:-}" ]; then
    readable SIGN_PKCS12 "$SIGN_PKCS12"
    [ -n "${SIGN_PASSWORD_FILE:-}" ] || fail "SIGN_PKCS12 needs SIGN_PASSWORD_FILE, the file that holds its password"
    readable SIGN_PASSWORD_FILE "$SIGN_PASSWORD_FILE"
    set -- -pkcs12 "$SIGN_PKCS12" -readpass "$SIGN_PASSWORD_FILE"
elif [ -n "${SIGN_PKCS11_MODULE:-}" ]; then
    readable SIGN_PKCS11_MODULE "$SIGN_PKCS11_MODULE"
    [ -n "${SIGN_KEY_URI:-}" ] || fail "SIGN_PKCS11_MODULE needs SIGN_KEY_URI, the pkcs11: URI of the key"
    [ -n "${SIGN_CERT:-}" ] || fail "SIGN_PKCS11_MODULE needs SIGN_CERT, the certificate chain (PEM)"
    readable SIGN_CERT "$SIGN_CERT"
    set -- -pkcs11module "$SIGN_PKCS11_MODULE" -key "$SIGN_KEY_URI" -certs "$SIGN_CERT"
    if [ -n "${SIGN_PKCS11_ENGINE:-}" ]; then
        readable SIGN_PKCS11_ENGINE "$SIGN_PKCS11_ENGINE"
        set -- -pkcs11engine "$SIGN_PKCS11_ENGINE" "$@"
    fi
    if [ -n "${SIGN_PASSWORD_FILE:-}" ]; then
        readable SIGN_PASSWORD_FILE "$SIGN_PASSWORD_FILE"
        set -- "$@" -readpass "$SIGN_PASSWORD_FILE"
    fi
else
    fail "no key: set SIGN_PKCS12 and SIGN_PASSWORD_FILE, or SIGN_PKCS11_MODULE, SIGN_KEY_URI and SIGN_CERT"
fi
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
    set -- "$@" -ts "$SIGN_TIMESTAMP_URL"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! osslsigncode sign "$@" -h sha256 -n "IO-Link USB master firmware updater" \
        -in "$in" -out "$work/signed.exe" > "$work/sign.log" 2>&1; then
    reason=$(grep -m1 '^Failed to' "$work/sign.log" || true)
    cat "$work/sign.log" >&2
    fail "osslsigncode could not sign $in${reason:+: $reason}"
fi

ca=${SIGN_CA_FILE:-/etc/ssl/certs/ca-certificates.crt}
tsa_ca=${SIGN_TSA_CA_FILE:-$ca}
readable SIGN_CA_FILE "$ca"
readable SIGN_TSA_CA_FILE "$tsa_ca"
# The report is read whatever the exit status; LC_ALL=C keeps its words as matched here.
LC_ALL=C osslsigncode verify -CAfile "$ca" -TSA-CAfile "$tsa_ca" -in "$work/signed.exe" \
    > "$work/verify.log" 2>&1 || true
report=$work/verify.log
problem=""
if ! grep -qx 'Signature verification: ok' "$report"; then
    problem="the signature's status is not ok"
elif grep -q 'verification: failed' "$report"; then
    problem="a verification failed"
fi
stored=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$report" | head -n 1)
computed=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$report" | head -n 1)
if [ -z "$problem" ] && { [ -z "$stored" ] || [ "$stored" != "$computed" ]; }; then
    problem="the digest in the signature (${stored:-none}) is not the file's (${computed:-none})"
fi
if [ -z "$problem" ] && [ -n "${SIGN_TIMESTAMP_URL:-}" ] \
        && ! grep -qx 'Timestamp Server Signature verification: ok' "$report"; then
    problem="the time stamp from $SIGN_TIMESTAMP_URL is missing or not verified"
fi
if [ -n "$problem" ]; then
    cat "$report" >&2
    fail "osslsigncode verify of the signed $in: $problem (verified against $ca)"
fi
mv "$work/signed.exe" "$out"
echo "iolink-update: signed $out (Authenticode digest SHA-256 $computed${SIGN_TIMESTAMP_URL:+, time stamp verified})" >&2
