#!/usr/bin/env bash
# Builds a test NSS database of personal certificates, the way a user's browser database looks:
#   make-nssdb.sh DIR [PASSWORD]
# DIR/home/.pki/nssdb   the database (point HOME at DIR/home); PASSWORD protects its keys
#                       (none when empty or absent)
# DIR/certs/NAME.der    each certificate as DER
# Certificates (NAME: subject in encoded order; key usage):
#   sign       C=CN, O=ACME Corp, CN=Alice Signer            digitalSignature; serial 01 02 03
#   nonrep     C=CN, O=ACME, Inc., CN=Bob NonRep             digitalSignature, nonRepudiation
#   encrypt    C=CN, O=ACME Corp, CN=Carol Encrypt           keyEncipherment
#   multi      C=CN, O=ACME Corp, CN=Dave Multi + OU=Unit    none (no extension)
#   nocn       C=CN, O=NoCN Org, OU=Signing Unit             digitalSignature
#   expired    C=CN, O=ACME Corp, CN=Expired Signer          digitalSignature; ended a year ago
#   sm2signed  C=CN, O=SM2 Org, CN=Erin SM2                  digitalSignature; signed with SM2/SM3
#   ca         C=CN, O=Example Org, CN=Root CA               CA, no private key in the database
#   sm2ca      C=CN, O=SM2 Org, CN=SM2 Root                  CA, no private key in the database
# All but the two CAs have their RSA private key in the database; all but expired, sm2signed and
# sm2ca are issued by ca.
set -euo pipefail

dir=${1:?usage: make-nssdb.sh DIR [PASSWORD]}
password=${2:-}
db="$dir/home/.pki/nssdb"
work="$dir/work"
mkdir -p "$db" "$dir/certs" "$work"
cd "$work"

printf '%s\n' "$password" > pw.txt
if [ -n "$password" ]; then
  certutil -N -d "sql:$db" -f pw.txt
else
  certutil -N -d "sql:$db" --empty-password
fi
head -c 2048 /dev/urandom > noise

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -set_serial 1 \
  -subj "/C=CN/O=Example Org/CN=Root CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null
openssl genpkey -algorithm SM2 -out sm2ca.key 2>/dev/null
openssl req -x509 -new -key sm2ca.key -sm3 -sigopt "distid:1234567812345678" -out sm2ca.pem \
  -days 3650 -set_serial 2 -subj "/C=CN/O=SM2 Org/CN=SM2 Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null

# leaf NAME SUBJECT SERIAL KEYUSAGE CA [SIGNOPTS...]: an RSA certificate with its key, imported
# into the database through PKCS#12.
leaf() {
  local name=$1 subject=$2 serial=$3 usage=$4 ca=$5
  shift 5
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -multivalue-rdn -subj "$subject" 2>/dev/null
  : > "$name.ext"
  [ -n "$usage" ] && echo "keyUsage=critical,$usage" >> "$name.ext"
  echo "subjectKeyIdentifier=hash" >> "$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -set_serial "$serial" \
    -days 825 -extfile "$name.ext" -out "$name.pem" "$@" 2>/dev/null
  openssl pkcs12 -export -inkey "$name.key" -in "$name.pem" -name "$name" -passout pass:p12 \
    -out "$name.p12"
  pk12util -i "$name.p12" -d "sql:$db" -k pw.txt -W p12 >/dev/null
}

leaf sign "/C=CN/O=ACME Corp/CN=Alice Signer" 0x010203 digitalSignature ca
leaf nonrep "/C=CN/O=ACME, Inc./CN=Bob NonRep" 11 "digitalSignature,nonRepudiation" ca
leaf encrypt "/C=CN/O=ACME Corp/CN=Carol Encrypt" 12 keyEncipherment ca
leaf multi "/C=CN/O=ACME Corp/OU=Unit+CN=Dave Multi" 13 "" ca
leaf nocn "/C=CN/O=NoCN Org/OU=Signing Unit" 14 digitalSignature ca
leaf sm2signed "/C=CN/O=SM2 Org/CN=Erin SM2" 15 digitalSignature sm2ca -sm3 \
  -sigopt "distid:1234567812345678"

# NSS writes its subject strings most significant RDN last; the validity started 25 months ago
# and lasted 12 months.
certutil -S -d "sql:$db" -f pw.txt -z noise -x -n expired -t ",," -k rsa -g 2048 -m 16 \
  -s "CN=Expired Signer,O=ACME Corp,C=CN" --keyUsage digitalSignature -w -25 -v 12 \
  >/dev/null 2>&1

certutil -A -d "sql:$db" -f pw.txt -n ca -t "C,," -i ca.pem
certutil -A -d "sql:$db" -f pw.txt -n sm2ca -t ",," -i sm2ca.pem

for name in sign nonrep encrypt multi nocn expired sm2signed ca sm2ca; do
  certutil -L -d "sql:$db" -n "$name" -r > "$dir/certs/$name.der"
done
cd "$dir"
rm -rf "$work"
