#!/usr/bin/env bash
# Writes the per-user native messaging manifest of the host for Chrome and Chromium.
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 EXTENSION_ID [HOST_PATH]" >&2
  exit 2
fi
id="$1"
host_path="$(readlink -f "${2:-/usr/local/bin/tessora-host}")"
for dir in "$HOME/.config/google-chrome/NativeMessagingHosts" "$HOME/.config/chromium/NativeMessagingHosts"; do
  mkdir -p "$dir"
  cat > "$dir/org.tessora.host.json" <<JSON
{
  "name": "org.tessora.host",
  "description": "Tessora signing host",
  "path": "$host_path",
  "type": "stdio",
  "allowed_origins": ["chrome-extension://$id/"]
}
JSON
  echo "wrote $dir/org.tessora.host.json"
done
