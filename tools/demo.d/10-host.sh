#!/usr/bin/env bash
# The host's own functions through the real binary, the way a browser extension talks to it.
set -euo pipefail
HOST="$BUILD_DIR/host/tessora-host"
NMCLIENT="$BUILD_DIR/tools/nmclient/tessora-nmclient"

# Only LANG decides the language below.
session() {
    local lang="$1"
    shift
    env -u LC_ALL -u LC_MESSAGES LANG="$lang" "$NMCLIENT" "$HOST" "$@"
    echo
}

echo "== Host: version, SM2 provider list, error descriptions (English) =="
session C.UTF-8 \
    '{"function":"GetVersion","params":[],"randomId":"1"}' \
    '{"function":"GetLastErrorDesc","params":[]}' \
    '{"function":"SetSM2CSPList","params":["ProvA||ProvB"],"randomId":"2"}' \
    '{"function":"SetSM2CSPList","params":[""],"randomId":"3"}' \
    '{"function":"GetLastErrorDesc","params":[],"randomId":"4"}'

echo "== The same in Chinese (LANG=zh_CN.UTF-8) =="
session zh_CN.UTF-8 \
    '{"function":"GetLastErrorDesc","params":[]}' \
    '{"function":"SetSM2CSPList","params":[""]}' \
    '{"function":"GetLastErrorDesc","params":[]}'

echo "== Bad requests are answered and the host goes on =="
session C.UTF-8 \
    '{"function":"NoSuchFunction","params":[],"randomId":"5"}' \
    '{"function":"GetVersion","params":[' \
    '{"function":"GetSignCertInfo","params":[5]}' \
    '{"function":"GetVersion","params":[]}'
