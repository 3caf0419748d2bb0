#!/usr/bin/env bash
# Stops the stand-in web service started by scripts/standin-start.sh (only the pid it recorded).
set -euo pipefail
cd "$(dirname "$0")/.."
pidfile="build/standin/standin.pid"
[ -f "$pidfile" ] || { echo "standin-stop: not running" >&2; exit 0; }
pid="$(cat "$pidfile")"
if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid"
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
fi
rm -f "$pidfile"
echo "standin-stop: stopped pid $pid" >&2
