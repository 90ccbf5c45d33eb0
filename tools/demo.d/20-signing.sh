#!/usr/bin/env bash
# Signing with a certificate of the user's NSS database: a throwaway database with one demo
# certificate in a temporary HOME; the host selects it, reports its properties and signs a message
# attached and detached; openssl verifies both signatures.
set -euo pipefail

HOST="$BUILD_DIR/host/tessora-host"
CLIENT="$BUILD_DIR/tools/nmclient/tessora-nmclient"
echo "== Signing with a certificate of the NSS database"
if [ ! -x "$HOST" ]; then
  echo "(no host binary in $BUILD_DIR; skipped)"
  exit 0
fi

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export HOME="$WORK/home"
DB="$HOME/.pki/nssdb"
mkdir -p "$DB"
quiet() { "$@" >/dev/null 2>&1; }

quiet certutil -N -d "sql:$DB" --empty-password
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/demo.key" -out "$WORK/demo.pem" \
  -subj "/C=CN/O=Tessora Demo/CN=Demo Signer" -days 365 -set_serial 0x0D3A0 \
  -addext "keyUsage=critical,digitalSignature"
quiet openssl pkcs12 -export -inkey "$WORK/demo.key" -in "$WORK/demo.pem" -name demo \
  -passout pass: -out "$WORK/demo.p12"
quiet pk12util -i "$WORK/demo.p12" -d "sql:$DB" -W ""
echo "demo certificate in sql:$DB:"
openssl x509 -in "$WORK/demo.pem" -noout -subject -serial -dates | sed 's/^/  /'

MESSAGE="Pay 100 yuan to Tessora"
REQUESTS=(
  '{"function":"SelectCertificate","params":["Demo Signer","",""],"randomId":"1"}'
)
for type in SubjectDN SubjectCN SerialNumber CSPName CertType IssuerDN ValidFrom ValidTo; do
  REQUESTS+=("{\"function\":\"GetSignCertInfo\",\"params\":[\"$type\"]}")
done
REQUESTS+=(
  "{\"function\":\"SignMsgPKCS7\",\"params\":[\"$MESSAGE\",\"SHA-256\",true],\"randomId\":\"attached\"}"
  "{\"function\":\"SignMsgPKCS7\",\"params\":[\"$MESSAGE\",\"SHA-1\",false],\"randomId\":\"detached\"}"
)

if [ -x "$CLIENT" ]; then
  "$CLIENT" "$HOST" "${REQUESTS[@]}"
else
  echo "(no tessora-nmclient in $BUILD_DIR; the requests go to the host unprinted)"
fi

# The client shortens long responses for the terminal, so the same requests go to the host once
# more as raw native messaging frames (32-bit little-endian length, then the text) to keep the
# whole signatures.
frame() {
  local n
  n=$(LC_ALL=C; printf '%s' "${#1}")
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((n & 255)) $(((n >> 8) & 255)) \
    $(((n >> 16) & 255)) $(((n >> 24) & 255)))"
  printf '%s' "$1"
}
for request in "${REQUESTS[@]}"; do frame "$request"; done | "$HOST" > "$WORK/responses.bin"

# The Base64 SignedData of the response with the given randomId, as DER.
signature() {
  LC_ALL=C grep -ao "\"result\":\"[^\"]*\",\"randomId\":\"$1\"" "$WORK/responses.bin" |
    sed 's/^"result":"\([^"]*\)".*/\1/' | base64 -d > "$WORK/$1.p7"
}
signature attached
signature detached
printf '%s' "$MESSAGE" > "$WORK/message.txt"

echo "openssl verifies the attached signature (the content comes out of it):"
openssl cms -verify -binary -noverify -inform DER -in "$WORK/attached.p7" 2>&1 | sed 's/^/  /'
echo
echo "openssl verifies the detached signature against the message:"
openssl cms -verify -binary -noverify -inform DER -in "$WORK/detached.p7" \
  -content "$WORK/message.txt" -out /dev/null 2>&1 | sed 's/^/  /'
echo "structure of the detached SignedData (openssl asn1parse, first lines):"
openssl asn1parse -inform DER -in "$WORK/detached.p7" | head -n 14 | sed 's/^/  /'
