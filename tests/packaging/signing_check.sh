#!/bin/sh
# Build check of `make windows` with signing, on a certificate made here (self-signed, for code
# signing): run once by .ci/run (make check-signing), after make windows and make test-windows.
#  - with the PKCS#12 file and its password, the shipped .exe is signed: osslsigncode verify
#    reports the signature ok against that certificate, signed by it; the signature attached to the
#    unsigned build gives the signed file byte for byte (so the Authenticode digest of the
#    reproducible unsigned build is the signed release's); the signed program runs under Wine.
#  - a wrong password, a key file that cannot be read and a signature that does not verify against
#    the trusted certificates fail the build with their line, and leave no .exe behind.
#   signing_check.sh <repo>
set -eu
repo=$(cd "$1" && pwd)
cd "$repo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exe=build/windows/iolink-update.exe
unsigned=build/windows/cross/iolink-update.exe

key() {  # <name>: a self-signed code-signing certificate <name>.pem and its key in <name>.p12
    openssl req -x509 -newkey rsa:2048 -sha256 -days 7 -nodes -subj "/CN=iolink-update $1" \
        -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
        -keyout "$work/$1.key" -out "$work/$1.pem" 2> /dev/null
    openssl pkcs12 -export -inkey "$work/$1.key" -in "$work/$1.pem" \
        -passout "file:$work/password" -out "$work/$1.p12"
}
printf 'test password\n' > "$work/password"
printf 'not the password\n' > "$work/wrong-password"
key signer
key stranger

failures=0
fail() {
    echo "signing check: $*" >&2
    failures=$((failures + 1))
}

# Rows: name | make's signing variables | line the build must print on standard error ("" for a
# build that must succeed).
while IFS='|' read -r name variables expected; do
    [ -n "$name" ] || continue
    rm -f "$exe"
    # shellcheck disable=SC2086 # the variables are words for make
    if (eval "make --no-print-directory windows $variables") < /dev/null > "$work/$name.log" 2>&1; then
        status=0
    else
        status=$?
    fi
    if [ -z "$expected" ]; then
        [ "$status" -eq 0 ] || { cat "$work/$name.log" >&2; fail "$name: the build failed"; continue; }
        osslsigncode verify -CAfile "$work/signer.pem" -in "$exe" > "$work/$name.verify" 2>&1 || true
        grep -qx 'Signature verification: ok' "$work/$name.verify" \
            || { cat "$work/$name.verify" >&2; fail "$name: the signature does not verify"; }
        grep -q 'Subject: /CN=iolink-update signer$' "$work/$name.verify" \
            || fail "$name: not signed by the test certificate"
        osslsigncode extract-signature -in "$exe" -out "$work/signature" > /dev/null 2>&1
        osslsigncode attach-signature -sigin "$work/signature" -CAfile "$work/signer.pem" \
            -in "$unsigned" -out "$work/attached.exe" > /dev/null 2>&1 \
            || fail "$name: the signature does not attach to the unsigned build"
        cmp -s "$work/attached.exe" "$exe" \
            || fail "$name: the unsigned build with the signature attached differs from the signed .exe"
    else
        [ "$status" -ne 0 ] || fail "$name: the build succeeded"
        grep -qF "$expected" "$work/$name.log" \
            || { cat "$work/$name.log" >&2; fail "$name: no line \"$expected\""; }
        [ ! -e "$exe" ] || fail "$name: $exe was left behind"
    fi
    echo "signing check: $name done"
done <<EOF
signed|SIGN_PKCS12=$work/signer.p12 SIGN_PASSWORD_FILE=$work/password SIGN_CA_FILE=$work/signer.pem|
wrong password|SIGN_PKCS12=$work/signer.p12 SIGN_PASSWORD_FILE=$work/wrong-password SIGN_CA_FILE=$work/signer.pem|iolink-update: signing failed: osslsigncode could not sign $unsigned: Failed to parse PKCS#12 file
key not readable|SIGN_PKCS12=$work/missing.p12 SIGN_PASSWORD_FILE=$work/password SIGN_CA_FILE=$work/signer.pem|iolink-update: signing failed: SIGN_PKCS12=$work/missing.p12 cannot be read
password not readable|SIGN_PKCS12=$work/signer.p12 SIGN_PASSWORD_FILE=$work/missing SIGN_CA_FILE=$work/signer.pem|iolink-update: signing failed: SIGN_PASSWORD_FILE=$work/missing cannot be read
untrusted signer|SIGN_PKCS12=$work/signer.p12 SIGN_PASSWORD_FILE=$work/password SIGN_CA_FILE=$work/stranger.pem|iolink-update: signing failed: osslsigncode verify of the signed $unsigned: the signature's status is not ok
EOF

# The signed program still runs: its help under Wine (the Windows tests' prefix).
make --no-print-directory windows "SIGN_PKCS12=$work/signer.p12" "SIGN_PASSWORD_FILE=$work/password" \
    "SIGN_CA_FILE=$work/signer.pem" > "$work/wine-build.log" 2>&1 || fail "the signed build for Wine failed"
if WINEPREFIX="$repo/build/windows/cross/wine-prefix" WINE_LOG="$work/wine.log" \
        tests/windows/wine_run.sh "$exe" "-?" < /dev/null > "$work/help.txt" 2>&1; then
    head -n 1 "$work/help.txt" | grep -q '^Norvik IO-Link USB Master - SE Firmware Updater' \
        || { cat "$work/help.txt" >&2; fail "the signed program's help under Wine is not the help"; }
else
    cat "$work/help.txt" "$work/wine.log" >&2
    fail "the signed program does not run under Wine"
fi
# Leave the unsigned build in place, as make windows without a key has it.
make --no-print-directory windows > /dev/null 2>&1 || fail "the unsigned build failed"

if [ "$failures" -ne 0 ]; then
    echo "signing check: $failures failed" >&2
    exit 1
fi
echo "signing check: all passed"
