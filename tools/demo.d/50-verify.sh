#!/usr/bin/env bash
# tessora-verify on signatures that openssl makes: attached and detached, then tampered with.
set -euo pipefail
VERIFY="$BUILD_DIR/tools/verify/tessora-verify"
echo "== Verifying PKCS#7 signatures with tessora-verify"
if [ ! -x "$VERIFY" ]; then
  echo "(no tessora-verify in $BUILD_DIR; skipped)"
  exit 0
fi

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
quiet() { "$@" >/dev/null 2>&1; }
run() {
  echo "\$ tessora-verify ${*}"
  (cd "$WORK" && env LC_ALL=C.UTF-8 "$VERIFY" "$@" 2>&1) && status=0 || status=$?
  echo "(exit status $status)"
  echo
}

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/signer.key" -out "$WORK/signer.pem" \
  -subj "/O=Tessora Demo/CN=Demo Signer" -days 30
printf 'Pay 100 to account 7' > "$WORK/message.txt"
for form in attached detached; do
  extra=""
  [ "$form" = attached ] && extra="-nodetach"
  openssl cms -sign -binary -noattr -md sha256 $extra -in "$WORK/message.txt" \
    -signer "$WORK/signer.pem" -inkey "$WORK/signer.key" -outform DER |
    base64 > "$WORK/$form.b64"
done

run attached RSA attached.b64
run detached RSA detached.b64 message.txt
printf 'Pay 900 to account 7' > "$WORK/tampered.txt"
echo "-- the message changed after signing:"
run detached RSA detached.b64 tampered.txt
echo "-- the signature algorithm named wrongly:"
run attached SM2 attached.b64
echo "-- a file that is not there:"
run attached RSA missing.b64
