#!/usr/bin/env bash
# Runs winhttp_probe.exe under Wine against two stand-in services on 127.0.0.1:
#   1. no store trusts the stand-in's authority: every handshake fails;
#   2. the authority added to the host's bundle, for this run only (private mount namespace, fresh
#      Wine prefix): success, status, redirect, truncation, stall, drip, endless bodies, names;
#   3. the authority handed to the requests instead (ServiceEndpoint::caPem), with a wrong one too.
# Needs root (unshare, mount), wine, curl, openssl, python3. The host's files are not changed.
# Usage: tests/net/run-winhttp-probe.sh PROBE_EXE [STANDIN_BINARY]
set -euo pipefail
probe="$(realpath "$1")"
root="$(cd "$(dirname "$0")/../.." && pwd)"
standin="${2:-$root/build/dev/tools/standin/standin}"
[ -x "$standin" ] || { echo "run-winhttp-probe: no stand-in binary at $standin" >&2; exit 2; }

work="$(mktemp -d /tmp/winhttp-probe.XXXXXX)"
pids=()
cleanup() {
    # Wine processes of an interrupted run belong to its prefixes only.
    for prefix in "$work"/prefix-*; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

bash "$root/scripts/make-demo-content.sh" "$work/content" >/dev/null
port=$(free_port)
other_port=$(free_port)
"$standin" --root "$work/content" --port "$port" --cert-dir "$work/certs" \
    --fault /probe/empty=status:200 --fault /probe/204=status:204 --fault /probe/404=status:404 \
    --fault /probe/503=status:503 --fault /probe/redirect=redirect:/status.php \
    --fault /probe/truncated=truncate --fault /probe/stall=stall --fault /probe/endless=endless \
    --fault /news.php=drip:100 >"$work/standin.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    [ -f "$work/certs/ca.pem" ] && curl -sf --max-time 2 --cacert "$work/certs/ca.pem" \
        "https://localhost:$port/status.php" >/dev/null 2>&1 && break
    sleep 0.2
done
# Same authority, a certificate for another name only.
"$standin" --root "$work/content" --port "$other_port" --cert-dir "$work/certs" \
    --name other.example >"$work/standin-other.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do
    curl -sf --max-time 2 --cacert "$work/certs/ca.pem" --resolve "other.example:$other_port:127.0.0.1" \
        "https://other.example:$other_port/status.php" >/dev/null 2>&1 && break
    sleep 0.2
done
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Not The Stand-in Authority" \
    -keyout "$work/wrong-key.pem" -out "$work/wrong-ca.pem" 2>/dev/null

export WINEDEBUG=-all
status=0
echo "== 1. no store trusts the stand-in"
WINEPREFIX="$work/prefix-untrusted" wine "$probe" --port "$port" --untrusted || status=1

echo "== 2. the stand-in's authority in the host bundle (this mount namespace only)"
cat /etc/ssl/certs/ca-certificates.crt "$work/certs/ca.pem" >"$work/bundle.crt"
unshare --mount --propagation private sh -c '
    mount --bind "$1" /etc/ssl/certs/ca-certificates.crt
    WINEPREFIX="$2" wine "$3" --port "$4" --other-name-port "$5" --wrong-ca "$6"; code=$?
    WINEPREFIX="$2" wineserver -w
    exit $code' sh "$work/bundle.crt" "$work/prefix-system" "$probe" "$port" "$other_port" "$work/wrong-ca.pem" || status=1

echo "== 3. the authority handed to the requests, not in any store"
WINEPREFIX="$work/prefix-ca" wine "$probe" --port "$port" --ca "$work/certs/ca.pem" \
    --wrong-ca "$work/wrong-ca.pem" --other-name-port "$other_port" || status=1

echo "== requests the stand-in saw"
grep -c '^standin:' "$work/standin.log" || true
exit $status
