#!/usr/bin/env bash
# Starts the stand-in web service in the background and waits until it answers.
# Prints shell assignments on stdout (eval-able), everything else on stderr:
#   QS_STANDIN_PID=1234 QS_STANDIN_PORT=8443 QS_STANDIN_CA=/abs/ca.pem QS_STANDIN_ROOT=/abs/content
# Usage: scripts/standin-start.sh [--port N] [--root DIR] [--cert-dir DIR] [--bin PATH] [-- standin options]
# Defaults: port 8443, root build/standin/content (demo content made when missing),
# cert dir build/standin/certs, binary built in build/standin/tool when not given.
# Already running (pid file alive)? Prints its values and exits 0. Stop it with scripts/standin-stop.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

port="${QS_STANDIN_PORT:-8443}"
state="$repo/build/standin"
root="$state/content"
certs="$state/certs"
bin=""
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port="$2"; shift 2 ;;
        --root) root="$2"; shift 2 ;;
        --cert-dir) certs="$2"; shift 2 ;;
        --bin) bin="$2"; shift 2 ;;
        --) shift; extra=("$@"); break ;;
        *) echo "standin-start: unknown option $1" >&2; exit 2 ;;
    esac
done
mkdir -p "$state"
root="$(realpath -m "$root")"
certs="$(realpath -m "$certs")"
pidfile="$state/standin.pid"
logfile="$state/standin.log"

report() {
    echo "QS_STANDIN_PID=$1"
    echo "QS_STANDIN_PORT=$port"
    echo "QS_STANDIN_CA=$certs/ca.pem"
    echo "QS_STANDIN_ROOT=$root"
}

answers() {
    curl -sf --max-time 5 --cacert "$certs/ca.pem" -X POST -H 'Content-Type: application/json' -d '{}' \
        "https://localhost:$port/updater/updater.php" >/dev/null 2>&1
}

if [ -f "$pidfile" ]; then
    old_pid="$(cat "$pidfile")"
    if kill -0 "$old_pid" 2>/dev/null && answers; then
        echo "standin-start: already running (pid $old_pid)" >&2
        report "$old_pid"
        exit 0
    fi
    rm -f "$pidfile"
fi

if [ -z "$bin" ]; then
    bin="$state/tool/tools/standin/standin"
    if [ ! -x "$bin" ] || [ -n "$(find tools/standin -newer "$bin" -type f 2>/dev/null | head -1)" ]; then
        echo "standin-start: building the stand-in service" >&2
        cmake -S . -B "$state/tool" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_BUILD_APP=OFF >&2
        cmake --build "$state/tool" --target standin -j "${JOBS:-2}" >&2
    fi
fi

if [ ! -d "$root/client" ]; then
    bash scripts/make-demo-content.sh "$root" >&2
fi

nohup "$bin" --root "$root" --port "$port" --cert-dir "$certs" "${extra[@]}" >"$logfile" 2>&1 &
pid=$!
echo "$pid" >"$pidfile"

for _ in $(seq 1 150); do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "standin-start: the service exited; log follows" >&2
        cat "$logfile" >&2
        rm -f "$pidfile"
        exit 1
    fi
    if [ -f "$certs/ca.pem" ] && answers; then
        echo "standin-start: serving $root on https://localhost:$port (pid $pid, log $logfile)" >&2
        report "$pid"
        exit 0
    fi
    sleep 0.2
done
echo "standin-start: no answer after 30 s; stopping pid $pid" >&2
kill "$pid" 2>/dev/null || true
rm -f "$pidfile"
cat "$logfile" >&2
exit 1
