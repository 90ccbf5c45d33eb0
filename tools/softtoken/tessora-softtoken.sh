#!/bin/sh
# tessora-softtoken: sets up the Tessora software token, an SM2 "USB key" in software for web
# developers who want to try SM2 pages without hardware. `init` makes a throwaway SM2 CA, a
# signing and an encryption certificate (SM3 with SM2, the default signer ID of GM/T 0009),
# writes the token's state file and prints the command that registers the token's SKF library.
#
# The keys sit unprotected in the state folder: this token is for development only.
set -eu

PROVIDER_NAME="Tessora software token"
LIBRARY_FILE="libtessora-softtoken.so"
DEVICE="SOFTTOKEN"
APPLICATION="TESSORA"
CONTAINER="DEVELOPER"
RETRIES=6
SM2_ID="1234567812345678"

usage() {
  cat <<USAGE
usage: tessora-softtoken init [--pin PIN] [--name NAME] [--force]
       tessora-softtoken unlock
       tessora-softtoken path

  init     make a new token: SM2 CA, signing and encryption certificates, state file
           (--pin: the user PIN, default 123456; --name: the certificates' common name;
           --force: replace an existing token, whose keys are then lost)
  unlock   give a locked token its $RETRIES PIN tries back
  path     print the state file's path

The state file is \$SOFTSKF_STATE, else \${XDG_CONFIG_HOME:-\$HOME/.config}/tessora/softtoken/state.
USAGE
}

die() {
  echo "tessora-softtoken: $*" >&2
  exit 1
}

# The same rule as the library: SOFTSKF_STATE, else the per-user folder (XDG_CONFIG_HOME only
# when absolute, as the XDG base directory rules require).
state_path() {
  if [ -n "${SOFTSKF_STATE:-}" ]; then
    echo "$SOFTSKF_STATE"
    return
  fi
  case "${XDG_CONFIG_HOME:-}" in
    /*) config="$XDG_CONFIG_HOME" ;;
    *)
      case "${HOME:-}" in
        /*) config="$HOME/.config" ;;
        *) die "neither XDG_CONFIG_HOME nor HOME is an absolute path; set SOFTSKF_STATE" ;;
      esac
      ;;
  esac
  echo "$config/tessora/softtoken/state"
}

# The library beside this command's installation (bin/ -> lib/tessora/) or, in a build tree,
# in the same folder.
library_path() {
  here=$(cd "$(dirname "$0")" && pwd -P)
  for candidate in "$here/../lib/tessora/$LIBRARY_FILE" "$here/$LIBRARY_FILE"; do
    if [ -f "$candidate" ]; then
      echo "$(cd "$(dirname "$candidate")" && pwd -P)/$LIBRARY_FILE"
      return
    fi
  done
  echo "$here/../lib/tessora/$LIBRARY_FILE"
}

# Runs an openssl command, showing its chatter only when it fails.
quiet() {
  if ! output=$("$@" 2>&1); then
    echo "$output" >&2
    die "$1 $2 failed"
  fi
}

# One certificate under the CA: $1 file stem, $2 key usage, $3 subject.
issue() {
  quiet openssl genpkey -algorithm SM2 -out "$1.key"
  quiet openssl req -new -key "$1.key" -sm3 -sigopt "distid:$SM2_ID" -subj "$3" -out "$1.csr"
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,%s\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n' \
    "$2" >"$1.ext"
  quiet openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -sm3 -sigopt "distid:$SM2_ID" -vfyopt "distid:$SM2_ID" -days 825 -extfile "$1.ext" \
    -out "$1.crt"
  rm -f "$1.csr" "$1.ext"
}

init() {
  pin=123456
  name="Tessora Developer"
  force=no
  while [ $# -gt 0 ]; do
    case "$1" in
      --pin) [ $# -ge 2 ] || die "--pin needs a value"; pin=$2; shift 2 ;;
      --name) [ $# -ge 2 ] || die "--name needs a value"; name=$2; shift 2 ;;
      --force) force=yes; shift ;;
      *) usage >&2; exit 2 ;;
    esac
  done
  # The state file is line based and trims blanks around values.
  case "$pin" in
    "" | " "* | *" " | *"	"*) die "the PIN must not be empty or start or end with a blank" ;;
  esac
  case "$pin$name" in
    *"
"*) die "the PIN and the name must be one line each" ;;
  esac
  case "$name" in
    */* | *=* | *+* | *\\*) die "the name must not contain / = + or a backslash" ;;
  esac
  command -v openssl >/dev/null || die "openssl is not installed"

  state=$(state_path)
  folder=$(dirname "$state")
  library=$(library_path)  # before leaving the folder $0 may be relative to
  if [ -e "$state" ] && [ "$force" != yes ]; then
    die "a token exists in $folder; --force replaces it (its keys are lost)"
  fi
  umask 077
  mkdir -p "$folder"
  cd "$folder"
  rm -f ca.key ca.crt sign.key sign.crt enc.key enc.crt ca.srl

  quiet openssl genpkey -algorithm SM2 -out ca.key
  quiet openssl req -new -x509 -key ca.key -sm3 -sigopt "distid:$SM2_ID" -days 3650 \
    -subj "/C=CN/O=Tessora development/CN=Tessora software token CA (not trusted)" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out ca.crt
  issue sign "digitalSignature,nonRepudiation" "/C=CN/O=Tessora development/CN=$name"
  issue enc "keyEncipherment,dataEncipherment,keyAgreement" "/C=CN/O=Tessora development/CN=$name"
  serial=$(openssl rand -hex 8 | tr 'a-f' 'A-F')
  rm -f ca.srl

  tmp="$state.new"
  cat >"$tmp" <<STATE
# The Tessora software token: an SM2 key in software for development only. Its keys sit
# unprotected in this folder. Made by tessora-softtoken init; read by $LIBRARY_FILE.
[device]
name = $DEVICE
serial = $serial
label = $PROVIDER_NAME

[application]
name = $APPLICATION
pin = $pin
retries = $RETRIES

[container]
name = $CONTAINER
type = 2
sign_key = sign.key
sign_cert = sign.crt
enc_key = enc.key
enc_cert = enc.crt
STATE
  mv -f "$tmp" "$state"

  echo "Made the software token in $folder"
  echo "  user PIN: $pin; CA certificate (to trust it while testing): $folder/ca.crt"
  echo "Register it with:"
  echo "  tessora-providers add '$PROVIDER_NAME' $library"
}

unlock() {
  state=$(state_path)
  [ -f "$state" ] || die "no token at $state; run: tessora-softtoken init"
  # The library reads the retry counter from its last "@retries" line.
  echo "@retries $DEVICE/$APPLICATION $RETRIES" >>"$state"
  echo "The token has $RETRIES PIN tries again."
}

case "${1:-}" in
  init) shift; init "$@" ;;
  unlock) unlock ;;
  path) state_path ;;
  -h | --help | help) usage ;;
  *) usage >&2; exit 2 ;;
esac
