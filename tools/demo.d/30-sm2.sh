#!/usr/bin/env bash
# SM2 signing with a USB key, played by the software token: `tessora-softtoken init` makes an SM2
# identity in a throwaway home, `tessora-providers add` registers the token's SKF library, and the
# host selects the token's certificate and signs attached and detached (GM/T 0010). The PIN prompt
# is the host's real GTK window on a private X server, answered by xdotool as a person would.
# Each signature is verified twice: by tessora-verify, and by openssl pkeyutl over the message
# with the certificate's public key and the default signer ID of GM/T 0009.
set -euo pipefail

HOST="$BUILD_DIR/host/tessora-host"
PROVIDERS="$BUILD_DIR/tools/providers/tessora-providers"
SOFTTOKEN="$BUILD_DIR/tools/softtoken/tessora-softtoken"
VERIFY="$BUILD_DIR/tools/verify/tessora-verify"
echo "== SM2 signing with a USB key (the software token)"
for tool in "$HOST" "$PROVIDERS" "$SOFTTOKEN" "$VERIFY"; do
  if [ ! -x "$tool" ]; then
    echo "($tool is missing; skipped)"
    exit 0
  fi
done
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "($tool is not installed: the PIN prompt cannot be answered; skipped)"
    exit 0
  fi
done

WORK="$(mktemp -d)"
XVFB_PID=""
cleanup() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" LANG=C.UTF-8
unset SOFTSKF_STATE LC_ALL LC_MESSAGES
mkdir -p "$HOME"
PIN=246810
PROVIDER="Tessora software token"

"$SOFTTOKEN" init --pin "$PIN" --name "Demo SM2 Signer" | sed 's/^/  /'
"$PROVIDERS" add "$PROVIDER" "$(dirname "$SOFTTOKEN")/libtessora-softtoken.so"
"$PROVIDERS" list | sed 's/^/  /'
echo "tessora-providers check shows what the token holds:"
"$PROVIDERS" check "$PROVIDER" | sed 's/^/  /'

# A private X server for the PIN prompt.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
read -r -t 10 display <&3 || { echo "(Xvfb did not start; skipped)"; exit 0; }
export DISPLAY=":$display"

# The person: whenever the PIN prompt shows, type the PIN and press Return.
person() {
  local answered=0
  while [ "$answered" -lt 2 ]; do
    if window=$(xdotool search --onlyvisible --name "PIN Required" 2>/dev/null | head -n 1) &&
      [ -n "$window" ]; then
      sleep 0.3
      xdotool type --delay 20 "$PIN"
      xdotool key Return
      answered=$((answered + 1))
      echo "  (the PIN prompt came up and the PIN was typed: $answered)"
      sleep 1
    else
      sleep 0.2
    fi
  done
}

MESSAGE="Pay 100 yuan to Tessora, 签名演示"
frame() {
  local n
  n=$(printf '%s' "$1" | LC_ALL=C wc -c)
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((n & 255)) $(((n >> 8) & 255)) \
    $(((n >> 16) & 255)) $(((n >> 24) & 255)))"
  printf '%s' "$1"
}
REQUESTS=(
  "{\"function\":\"SetSM2CSPList\",\"params\":[\"$PROVIDER\"],\"randomId\":\"list\"}"
  '{"function":"SelectCertificate","params":["Demo SM2 Signer","",""],"randomId":"select"}'
)
for type in SubjectDN SerialNumber CSPName CertType CertContent; do
  REQUESTS+=("{\"function\":\"GetSignCertInfo\",\"params\":[\"$type\"],\"randomId\":\"$type\"}")
done
REQUESTS+=(
  "{\"function\":\"SignMsgPKCS7\",\"params\":[\"$MESSAGE\",\"\",true],\"randomId\":\"attached\"}"
  "{\"function\":\"SignMsgPKCS7\",\"params\":[\"$MESSAGE\",\"\",false],\"randomId\":\"detached\"}"
)
person &
PERSON_PID=$!
for request in "${REQUESTS[@]}"; do frame "$request"; done | timeout 60 "$HOST" >"$WORK/responses.bin"
wait "$PERSON_PID" 2>/dev/null || true

# The response with the given randomId: its "result" text.
result() {
  LC_ALL=C grep -ao "\"result\":\"[^\"]*\",\"randomId\":\"$1\"" "$WORK/responses.bin" |
    sed 's/^"result":"\([^"]*\)".*/\1/'
}
errorcode() {
  LC_ALL=C grep -ao "\"errorcode\":[-0-9]*,\"result\":\"[^\"]*\",\"randomId\":\"$1\"" \
    "$WORK/responses.bin" | sed 's/^"errorcode":\([-0-9]*\).*/\1/'
}
echo "the chosen certificate:"
for type in SubjectDN SerialNumber CSPName CertType; do
  printf '  %-13s %s\n' "$type" "$(result "$type")"
done
for form in attached detached; do
  code=$(errorcode "$form")
  if [ "$code" != 0 ]; then
    echo "SignMsgPKCS7 ($form) failed with errorcode $code"
    exit 1
  fi
  result "$form" >"$WORK/$form.b64"
  base64 -d "$WORK/$form.b64" >"$WORK/$form.p7"
done
printf '%s' "$MESSAGE" >"$WORK/message.txt"
result CertContent | base64 -d >"$WORK/signer.der"
openssl x509 -inform DER -in "$WORK/signer.der" -pubkey -noout >"$WORK/signer.pub"

echo "tessora-verify checks both signatures:"
(cd "$WORK" && "$VERIFY" attached SM2 attached.b64) | sed 's/^/  /'
(cd "$WORK" && "$VERIFY" detached SM2 detached.b64 message.txt) | sed 's/^/  /'

# OpenSSL 3.0 does not read the GM/T 0010 content types, so the SignedData is taken apart: the
# encryptedDigest is the last OCTET STRING of the structure, and it holds the DER r and s.
echo "openssl pkeyutl verifies r and s over the message (SM3 with Z, ID 1234567812345678):"
for form in attached detached; do
  offset=$(openssl asn1parse -inform DER -in "$WORK/$form.p7" | grep 'OCTET STRING' | tail -n 1 |
    cut -d: -f1 | tr -d ' ')
  openssl asn1parse -inform DER -in "$WORK/$form.p7" -strparse "$offset" -out "$WORK/$form.sig" \
    -noout
  printf '  %s: ' "$form"
  openssl pkeyutl -verify -pubin -inkey "$WORK/signer.pub" -rawin -digest sm3 \
    -pkeyopt distid:1234567812345678 -in "$WORK/message.txt" -sigfile "$WORK/$form.sig"
done
echo "structure of the detached SignedData (openssl asn1parse, first lines):"
openssl asn1parse -inform DER -in "$WORK/detached.p7" | head -n 12 | sed 's/^/  /'
echo
