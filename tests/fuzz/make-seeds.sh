#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets (corpus/<target>/) from real inputs: requests as the
# page library sends them, certificates and signatures made with OpenSSL (RSA per RFC 2315, SM2
# per GM/T 0010), provider files as tessora-providers writes them, and SKF answers of one present
# key. Run it again to refresh them; each file is one input.
#   make-seeds.sh [CORPUS_DIR]   (default: corpus/ beside this script)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seed() {  # seed TARGET NAME: standard input becomes corpus/TARGET/NAME
  mkdir -p "$out/$1"
  cat > "$out/$1/$2"
}
le16() {  # the two-byte little-endian length prefix of the fuzz inputs
  local n=$1
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $((n >> 8)))"
}
piece() { le16 "$(stat -c %s "$1")"; cat "$1"; }

# Keys and certificates.
openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -out rsa.pem -days 3650 \
  -subj "/C=CN/O=ACME Corp/CN=Alice Signer" -addext "keyUsage=critical,digitalSignature" \
  2>/dev/null
openssl x509 -in rsa.pem -outform DER -out rsa.der
openssl genpkey -algorithm SM2 -out sm2.key 2>/dev/null
openssl req -x509 -new -key sm2.key -sm3 -sigopt distid:1234567812345678 -out sm2.pem \
  -days 3650 -subj "/C=CN/O=SM2 Org/CN=Erin SM2" \
  -addext "keyUsage=critical,digitalSignature,nonRepudiation" 2>/dev/null
openssl x509 -in sm2.pem -outform DER -out sm2.der
printf 'Hello, signer. \xe4\xbd\xa0\xe5\xa5\xbd' > message.txt

# RSA SignedData (RFC 2315), attached and detached, SHA-256 and SHA-1.
openssl cms -sign -binary -nodetach -outform DER -md sha256 -signer rsa.pem -inkey rsa.key \
  -in message.txt -out rsa-attached.der
openssl cms -sign -binary -outform DER -md sha1 -signer rsa.pem -inkey rsa.key \
  -in message.txt -out rsa-detached.der

# SM2 SignedData (GM/T 0010): the signature over SM3(Z || message) made by OpenSSL, the structure
# written with asn1parse -genconf.
openssl dgst -sm3 -sign sm2.key -sigopt distid:1234567812345678 -out sm2.sig message.txt
sm2_signed_data() {  # sm2_signed_data ATTACHED(yes/no) OUT
  local content="contentType=OID:1.2.156.10197.6.1.4.2.1"
  [ "$1" = yes ] && content="$content
content=EXPLICIT:0,FORMAT:HEX,OCTETSTRING:$(xxd -p message.txt | tr -d '\n')"
  local serial
  serial=$(openssl x509 -in sm2.pem -noout -serial | sed 's/^serial=//')
  cat > sd.cnf <<CNF
asn1=SEQUENCE:contentInfo
[contentInfo]
type=OID:1.2.156.10197.6.1.4.2.2
content=EXPLICIT:0,SEQUENCE:signedData
[signedData]
version=INTEGER:1
digestAlgorithms=SET:digestAlgorithms
contentInfo=SEQUENCE:dataContent
certificates=IMPLICIT:0,SEQUENCE:certificates
signerInfos=SET:signerInfos
[digestAlgorithms]
sm3=SEQUENCE:sm3
[sm3]
oid=OID:1.2.156.10197.1.401
null=NULL
[dataContent]
$content
[certificates]
cert=FORMAT:HEX,OCTETSTRING:00
[signerInfos]
signer=SEQUENCE:signerInfo
[signerInfo]
version=INTEGER:1
issuerAndSerial=SEQUENCE:issuerAndSerial
digestAlgorithm=SEQUENCE:sm3
signatureAlgorithm=SEQUENCE:sm2
signature=FORMAT:HEX,OCTETSTRING:$(xxd -p sm2.sig | tr -d '\n')
[issuerAndSerial]
issuer=SEQUENCE:issuerName
serial=INTEGER:0x$serial
[issuerName]
c=SET:rdnC
o=SET:rdnO
cn=SET:rdnCN
[rdnC]
a=SEQUENCE:atC
[atC]
oid=OID:countryName
v=PRINTABLESTRING:CN
[rdnO]
a=SEQUENCE:atO
[atO]
oid=OID:organizationName
v=UTF8String:SM2 Org
[rdnCN]
a=SEQUENCE:atCN
[atCN]
oid=OID:commonName
v=UTF8String:Erin SM2
[sm2]
oid=OID:1.2.156.10197.1.301.1
null=NULL
CNF
  openssl asn1parse -genconf sd.cnf -noout -out template.der
  # The certificates field holds the certificate itself: splice its DER in place of the
  # placeholder (IMPLICIT [0] of one OCTET STRING 00 = a0 03 04 01 00).
  python3 - "$2" <<'PY'
import sys
t = open('template.der', 'rb').read()
cert = open('sm2.der', 'rb').read()
def length(n):
    if n < 0x80: return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, 'big')
    return bytes([0x80 | len(b)]) + b
def rewrap(der, old, new):
    # Re-encode every enclosing header whose content grows by len(new) - len(old).
    tag, rest = der[0], der[1:]
    if rest[0] < 0x80: ln, hl = rest[0], 1
    else:
        k = rest[0] & 0x7f; ln, hl = int.from_bytes(rest[1:1 + k], 'big'), 1 + k
    body = rest[hl:hl + ln]
    if der == old: return new
    if tag & 0x20 and old in body:
        out, i = b'', 0
        while i < len(body):
            t2, r2 = body[i], body[i + 1:]
            if r2[0] < 0x80: l2, h2 = r2[0], 1
            else:
                k = r2[0] & 0x7f; l2, h2 = int.from_bytes(r2[1:1 + k], 'big'), 1 + k
            child = body[i:i + 1 + h2 + l2]
            out += rewrap(child, old, new) if old in child else child
            i += 1 + h2 + l2
        body = out
    return bytes([tag]) + length(len(body)) + body
open(sys.argv[1], 'wb').write(rewrap(t, b'\xa0\x03\x04\x01\x00', b'\xa0' + length(len(cert)) + cert))
PY
}
sm2_signed_data yes sm2-attached.der
sm2_signed_data no sm2-detached.der
for f in rsa-attached rsa-detached sm2-attached sm2-detached; do base64 -w0 "$f.der" > "$f.b64"; done
openssl cms -verify -binary -noverify -inform DER -in rsa-attached.der -out /dev/null 2>/dev/null

# fuzz_asn1: DER as it comes.
for f in rsa.der sm2.der rsa-attached.der sm2-detached.der; do seed fuzz_asn1 "$f" < "$f"; done
printf '\x30\x80\x04\x03abc\x00\x00' | seed fuzz_asn1 indefinite

# fuzz_cert_name: a string type byte, then a Name or a certificate.
printf '\x03' | cat - rsa.der | seed fuzz_cert_name rsa-x500
printf '\x41' | cat - sm2.der | seed fuzz_cert_name sm2-semicolon-reverse
# The subject Name alone: the sixth element of the TBSCertificate (after version, serial,
# signature, issuer and validity).
python3 - <<'PY' > subject.der
import sys
der = open('sm2.der', 'rb').read()
def header(i):
    first = der[i + 1]
    if first < 0x80: return 2, first
    k = first & 0x7f
    return 2 + k, int.from_bytes(der[i + 2:i + 2 + k], 'big')
i = header(0)[0]
i += header(i)[0]
for _ in range(5): i += sum(header(i))
sys.stdout.buffer.write(der[i:i + sum(header(i))])
PY
printf '\x01' | cat - subject.der | seed fuzz_cert_name subject-name

# fuzz_verify: a mode byte (bit 0 detached, bit 1 SM2, bit 2 DER), [a message], the signature.
for f in rsa-attached sm2-attached; do
  mode=$([ "${f%%-*}" = sm2 ] && echo 6 || echo 4)
  { printf "\\x0$mode"; cat "$f.der"; } | seed fuzz_verify "$f-der"
  { printf "\\x0$((mode - 4))"; cat "$f.b64"; } | seed fuzz_verify "$f-base64"
done
for f in rsa-detached sm2-detached; do
  mode=$([ "${f%%-*}" = sm2 ] && echo 7 || echo 5)
  { printf "\\x0$mode"; piece message.txt; cat "$f.der"; } | seed fuzz_verify "$f-der"
done

# fuzz_conversions: text of every kind the conversions meet.
printf 'Provider A||Provider B||||C' | seed fuzz_conversions provider-list
printf 'CN=Alice#CN=Bob##' | seed fuzz_conversions filters
printf '0102030405a0B0ff' | seed fuzz_conversions hex
head -c 300 rsa-attached.b64 | seed fuzz_conversions base64
printf '\xe4\xbd\xa0\xe5\xa5\xbd \xed\xa0\x80 \xf0\x9f\x98\x80 \xc0\xaf' | seed fuzz_conversions utf8
printf '|KEY1|KEY2||' | seed fuzz_conversions device-list

# fuzz_provider_registry: .conf files separated by NUL bytes.
printf '# Example\nname = Example SM2 Key\nlibrary = /usr/lib/libexample_skf.so\n' |
  seed fuzz_provider_registry one
printf 'name=A\nlibrary=/a.so\n\0name = B \r\nlibrary = relative.so\n\0name=A\nlibrary=/b.so\n\0library=/c.so\n' |
  seed fuzz_provider_registry overrides

# fuzz_sm2_signed_data: flags, certificate, raw signature r || s, message.
python3 - <<'PY' > rs.bin
der = open('sm2.sig', 'rb').read()
# ECDSA-Sig-Value: SEQUENCE { INTEGER r, INTEGER s }
i = 2
out = b''
for _ in range(2):
    l = der[i + 1]; v = der[i + 2:i + 2 + l]; i += 2 + l
    out += v[-32:].rjust(32, b'\0')
import sys
sys.stdout.buffer.write(out)
PY
head -c 31 rs.bin > rs-short.bin
for flags in 1 0 6; do
  { printf "\\x0$flags"; piece sm2.der; piece rs.bin; cat message.txt; } |
    seed fuzz_sm2_signed_data "flags-$flags"
done
{ printf '\x01'; piece rsa.der; piece rs-short.bin; cat message.txt; } |
  seed fuzz_sm2_signed_data short-signature

# request: one request per line, as the page library sends them.
seed request version <<'REQ'
{"function":"GetVersion","params":[],"randomId":"r1"}
REQ
seed request rsa-sign <<'REQ'
{"function":"SelectCertificate","params":["Alice","",""]}
{"function":"GetSignCertInfo","params":[{"param":"SubjectDN"}]}
{"function":"SignMsgPKCS7","params":["Hello","SHA-256",true]}
{"function":"GetLastErrorDesc","params":[]}
REQ
seed request rsa-detached-sha1 <<'REQ'
{"function":"selectcertificate","params":["","CN=Root CA","010203"],"randomId":"x"}
{"function":"SignMsgPKCS7","params":[{"param":"text"},"SHA-1",false]}
REQ
seed request sm2-sign <<'REQ'
{"function":"SetSM2CSPList","params":["Soft SM2 Token||Other"]}
{"function":"SelectCertificate","params":["Alice SM2","",""]}
{"function":"GetSignCertInfo","params":["CertContent"]}
{"function":"SignMsgPKCS7","params":["\u4f60\u597d","SM3",true]}
REQ
seed request key-id <<'REQ'
{"function":"GetKeyID","params":["SM2"]}
{"function":"GetLastErrorDesc","params":[]}
REQ
seed request bad <<'REQ'
{"function":"NoSuchFunction","params":[1,2,{"a":[]}],"randomId":"\ud800"}
{"function":"SetSM2CSPList","params":[]}
["not an object"]
REQ

# fuzz_skf_answers: the caller (0 GetKeyID, 1 provider walk, 2 agent), then the script: a verdict
# byte per call (0 = success) and length-prefixed pieces for lists, records and certificates.
devinfo() {  # a DEVINFO with its serial number at byte 162
  python3 -c "import sys; d = bytearray(296); d[2:8] = b'Vendor'; d[130:138] = b'Key label'; d[162:172] = b'SN20240001'; sys.stdout.buffer.write(bytes(d))"
}
devinfo > devinfo.bin
printf 'KEY1\0\0' > devices.bin
printf 'APP1\0\0' > apps.bin
printf 'CON1\0\0' > containers.bin
{ printf '\x00'                       # GetKeyID
  printf '\x00'; piece devices.bin      # EnumDev size
  printf '\x00'; piece devices.bin      # EnumDev fill
  printf '\x00\x01'                     # GetDevState: present
  printf '\x00'                         # ConnectDev
  printf '\x00'; piece devinfo.bin      # GetDevInfo
  printf '\x00'                         # DisConnectDev
} | seed fuzz_skf_answers key-id
python3 - <<'PY' > pubkey.bin
# ECCPUBLICKEYBLOB of the certificate's key: BitLen 256, X and Y right-aligned in 64 bytes each.
import subprocess, sys
text = subprocess.run(['openssl', 'pkey', '-in', 'sm2.key', '-pubout', '-outform', 'DER'],
                      capture_output=True).stdout
point = text[-64:]
sys.stdout.buffer.write((256).to_bytes(4, 'little') + bytes(32) + point[:32] + bytes(32) + point[32:])
PY
python3 -c "import sys; r = open('rs.bin', 'rb').read(); sys.stdout.buffer.write(bytes(32) + r[:32] + bytes(32) + r[32:])" > sigblob.bin
head -c 32 /dev/zero > digest.bin
for caller in 1 2; do
  { printf "\\x0$caller"
    # The listing, twice (the size of the longest name, then the names): devices, applications,
    # containers (each a size query and a fill), one ECC container, the three handles closed.
    for listing in 1 2; do
      printf '\x00'; piece devices.bin; printf '\x00'; piece devices.bin
      printf '\x00'
      printf '\x00'; piece apps.bin; printf '\x00'; piece apps.bin
      printf '\x00'
      printf '\x00'; piece containers.bin; printf '\x00'; piece containers.bin
      printf '\x00'
      printf '\x00\x02'
      printf '\x00\x00\x00'
    done
    # The container opened for each key (device, DEVINFO, application, container, its type),
    # the certificate exported (size, then bytes) and the handles closed; then for signing.
    # The encryption key (asked first) has no certificate (SAR_CERTNOTFOUNTERR); the signing key
    # has one.
    printf '\x00'; printf '\x00'; piece devinfo.bin; printf '\x00\x00\x00\x02'
    printf '\xec'
    printf '\x00\x00\x00'
    printf '\x00'; printf '\x00'; piece devinfo.bin; printf '\x00\x00\x00\x02'
    printf '\x00'; piece sm2.der; printf '\x00'; piece sm2.der
    printf '\x00\x00\x00'
    # Signing: the container opened, its public key (size, then bytes), the SM3 hash with Z
    # (init, update, final size and bytes), the signature, the hash and handles closed.
    printf '\x00'; printf '\x00'; piece devinfo.bin; printf '\x00\x00\x00\x02'
    printf '\x00'; piece pubkey.bin; printf '\x00'; piece pubkey.bin
    printf '\x00\x00'
    printf '\x00'; piece digest.bin; printf '\x00'; piece digest.bin
    printf '\x00'; piece sigblob.bin
    printf '\x00\x00\x00\x00'
  } | seed fuzz_skf_answers "walk-$caller"
done
echo "seeds written to $out"
