#!/usr/bin/env bash
# GetKeyID with a software USB key: softskf, built by the tests, is installed as the USB-key
# library into a throwaway system library directory, which a demo build of the host was compiled
# to look in; its state file says which keys are plugged in.
set -euo pipefail

HOST="$BUILD_DIR/host/tessora-host-usbkey-demo"
SOFTSKF="$BUILD_DIR/tests/usbkey/softskf/libsoftskf.so"
NMCLIENT="$BUILD_DIR/tools/nmclient/tessora-nmclient"
LIBDIR="$BUILD_DIR/demo/usbkey-system-lib"
echo "== USB key: GetKeyID through a software SKF library"
if [ ! -x "$HOST" ] || [ ! -f "$SOFTSKF" ]; then
  echo "(no USB-key demo host or softskf in $BUILD_DIR; skipped)"
  exit 0
fi

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK" "$LIBDIR"' EXIT
export SOFTSKF_STATE="$WORK/softskf.state"
export LANG=C.UTF-8
unset LC_ALL LC_MESSAGES

# Sends the requests to one host and prints each request and its response.
ask() {
  if [ -x "$NMCLIENT" ]; then
    printf '%s\n' "$@" | "$NMCLIENT" "$HOST"
    echo
    return
  fi
  # Without the client: frames by hand, a 32-bit little-endian length and then the JSON.
  local request length offset=0 size
  : >"$WORK/requests"
  for request in "$@"; do
    length=$(printf '%s' "$request" | LC_ALL=C wc -c)
    printf "$(printf '\\%03o\\%03o\\000\\000' $((length & 255)) $((length >> 8 & 255)))" \
      >>"$WORK/requests"
    printf '%s' "$request" >>"$WORK/requests"
  done
  "$HOST" <"$WORK/requests" >"$WORK/responses"
  size=$(stat -c %s "$WORK/responses")
  for request in "$@"; do
    echo "→ $request"
    [ "$offset" -lt "$size" ] || break
    length=$(od -An -tu4 -N4 -j "$offset" "$WORK/responses" | tr -d ' ')
    echo "← $(tail -c +$((offset + 5)) "$WORK/responses" | head -c "$length")"
    offset=$((offset + 4 + length))
  done
  echo
}
# Rewrites the keys that are plugged in (one state-file line per argument); the load and unload
# events softskf has recorded so far are kept.
keys() {
  {
    printf '%s\n' "$@"
    grep '^@' "$SOFTSKF_STATE" 2>/dev/null || true
  } >"$WORK/next"
  mv "$WORK/next" "$SOFTSKF_STATE"
}

mkdir -p "$LIBDIR"
cp "$SOFTSKF" "$LIBDIR/libVELK_UKEY_GMAPI.so"
echo "installed softskf as $LIBDIR/libVELK_UKEY_GMAPI.so"

echo "-- one key plugged in, serial number 4A31000123"
keys '[device]' 'name = DemoKey' 'serial = 4A31000123'
ask '{"function":"GetKeyID","params":[""],"randomId":"1"}' \
    '{"function":"GetLastErrorDesc","params":[]}'

echo "-- a second key plugged in: the key is no longer unique"
keys '[device]' 'name = DemoKey' 'serial = 4A31000123' \
     '[device]' 'name = OtherKey' 'serial = 4A31000124'
ask '{"function":"GetKeyID","params":[""]}' '{"function":"GetLastErrorDesc","params":[]}'

echo "-- both keys pulled out"
keys '# no keys'
ask '{"function":"GetKeyID","params":[""]}' '{"function":"GetLastErrorDesc","params":[]}'

echo "softskf was loaded $(grep -c '^@load' "$SOFTSKF_STATE") times and unloaded" \
  "$(grep -c '^@unload' "$SOFTSKF_STATE") times:"
echo "each GetKeyID releases the library before it answers."
echo
