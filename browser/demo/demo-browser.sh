#!/usr/bin/env bash
# `make demo-browser`: serves the demo page on localhost and opens it in Chromium with the
# extension loaded unpacked. Chromium runs with a throwaway profile whose per-user native
# messaging manifest names the build's tessora-host; the host reads your own certificates
# (~/.pki/nssdb). Needs a display.
#   browser/demo/demo-browser.sh [BUILD_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD_DIR="$(cd "${1:-$ROOT/build}" && pwd)"
HOST="$BUILD_DIR/host/tessora-host"
EXTENSION="$ROOT/browser/extension"
EXTENSION_ID=ofkngopgnahpfnggkcmklkhddcljbnkp
CHROMIUM="${CHROMIUM:-$(command -v chromium || true)}"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "demo-browser: no display. Run it in a desktop session (or under xvfb-run to try it)." >&2
  exit 1
fi
[ -x "$HOST" ] || { echo "demo-browser: $HOST is missing; run make build" >&2; exit 1; }
[ -n "$CHROMIUM" ] || { echo "demo-browser: chromium is not installed" >&2; exit 1; }

PROFILE="$(mktemp -d)"
SERVER_LOG="$PROFILE/server.log"
cleanup() {
  [ -n "${SERVER_PID:-}" ] && kill "$SERVER_PID" 2>/dev/null || true
  rm -rf "$PROFILE"
}
trap cleanup EXIT

# Chromium reads per-user host manifests from NativeMessagingHosts in its profile folder.
mkdir -p "$PROFILE/NativeMessagingHosts"
cat >"$PROFILE/NativeMessagingHosts/org.tessora.host.json" <<JSON
{
  "name": "org.tessora.host",
  "description": "Tessora signing host (demo build)",
  "path": "$HOST",
  "type": "stdio",
  "allowed_origins": ["chrome-extension://$EXTENSION_ID/"]
}
JSON

node "$ROOT/browser/demo/serve.mjs" --host 127.0.0.1 --port 0 >"$SERVER_LOG" &
SERVER_PID=$!
for _ in $(seq 50); do
  URL="$(grep -o 'http://[^ ]*' "$SERVER_LOG" || true)"
  [ -n "$URL" ] && break
  sleep 0.1
done
[ -n "$URL" ] || { echo "demo-browser: the page server did not start" >&2; exit 1; }
URL="${URL/127.0.0.1/localhost}"
echo "demo page: $URL (close Chromium to end the demo)"

sandbox=()
[ "$(id -u)" -eq 0 ] && sandbox=(--no-sandbox)  # Chromium refuses to run its sandbox as root
"$CHROMIUM" "${sandbox[@]}" --user-data-dir="$PROFILE" --no-first-run \
  --disable-extensions-except="$EXTENSION" --load-extension="$EXTENSION" "$URL"
