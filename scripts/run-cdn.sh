#!/usr/bin/env bash
# `make run-cdn`: as `make run-nginx`, but the launcher reaches the published demo tree through the
# cache tier: launcher -> TLS edge (nginx, deploy/varnish/edge.conf) -> Varnish
# (deploy/varnish/quillon.vcl) -> origin nginx (deploy/nginx/quillon.conf on plain loopback HTTP).
#
# Everything lives under build/run-cdn: content, keys/, certs/, tree/, and one folder per server
# (origin/, varnish/, edge/) with its configuration and logs. The three run as ordinary programs
# of this user in the foreground of this script and stop when the launcher exits.
# QS_RUN_NO_LAUNCHER=1 stops after checking that the edge answers the manifest and signature.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/run.sh  # publish_demo, build_launcher, reset_home, QS_LAUNCHER, QS_HOME_DIR

dir=$QS_ROOT/build/run-cdn
tools=${QS_TOOLS_DIR:-$QS_ROOT/build/standin/tool}  # the stand-in's build (scripts/standin-start.sh)
pids=()

stop_servers() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}

answers() {
    curl -sf --max-time 5 --cacert "$dir/certs/ca.pem" -X POST -d '{}' \
        "https://localhost:$QS_RUN_PORT/updater/updater.php" >/dev/null 2>&1 &&
        curl -sf --max-time 5 --cacert "$dir/certs/ca.pem" \
            "https://localhost:$QS_RUN_PORT/updater/updater.sig" >/dev/null 2>&1
}

# nginx in the foreground with prefix $1 serving the server block $2.
start_nginx() {
    local prefix=$1 user=""
    rm -rf "$prefix" && mkdir -p "$prefix/tmp"
    cp deploy/nginx/standalone.conf "$prefix/nginx.conf"
    printf '%s\n' "$2" >"$prefix/quillon-server.conf"
    # A master running as root hands its workers to "nobody"; keep them this user.
    if [ "$(id -u)" -eq 0 ]; then user="user root;"; fi
    nginx -p "$prefix/" -c "$prefix/nginx.conf" -g "daemon off; $user" &
    pids+=($!)
}

QS_RUN_PORT=${QS_RUN_PORT:-$(bash scripts/pick-port.sh 8445)}
origin_port=$(bash scripts/pick-port.sh 8081)
cache_port=$(bash scripts/pick-port.sh 6081)

echo "run-cdn: building quillon-publish and the stand-in (for its test authority)"
if [ -z "${QS_TOOLS_DIR:-}" ]; then
    cmake -S . -B "$tools" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_BUILD_APP=OFF >/dev/null
    cmake --build "$tools" -j "$JOBS" --target quillon-publish standin
fi

publish_demo "$dir" "$tools"

trap stop_servers EXIT
start_nginx "$dir/origin" "$(sed -e "s|@LISTEN@ ssl http2|127.0.0.1:$origin_port|" \
    -e "s|@SERVER_NAME@|localhost|" -e "s|@ROOT@|$dir/tree|g" -e "s|@CERT@|$dir/certs/server.pem|" \
    -e "s|@KEY@|$dir/certs/server-key.pem|" deploy/nginx/quillon.conf)"
rm -rf "$dir/varnish" && mkdir -p "$dir/varnish"
sed -e "s|@ORIGIN_HOST@|127.0.0.1|" -e "s|@ORIGIN_PORT@|$origin_port|" \
    deploy/varnish/quillon.vcl >"$dir/varnish/quillon.vcl"
# -j none: as root, Varnish's default jail wants a "varnish" user; this one runs as the caller.
varnishd -F -j none -n "$dir/varnish/work" -a "127.0.0.1:$cache_port" \
    -f "$dir/varnish/quillon.vcl" -s malloc,256m >"$dir/varnish/varnishd.log" 2>&1 &
pids+=($!)
start_nginx "$dir/edge" "$(sed -e "s|@LISTEN@|127.0.0.1:$QS_RUN_PORT|" \
    -e "s|@SERVER_NAME@|localhost|" -e "s|@CACHE@|127.0.0.1:$cache_port|" \
    -e "s|@CERT@|$dir/certs/server.pem|" -e "s|@KEY@|$dir/certs/server-key.pem|" \
    deploy/varnish/edge.conf)"

for _ in $(seq 1 50); do answers && break; sleep 0.2; done
if ! answers; then
    echo "run-cdn: the edge does not answer; the logs follow" >&2
    cat "$dir/origin/error.log" "$dir/varnish/varnishd.log" "$dir/edge/error.log" >&2 || true
    exit 1
fi
echo "run-cdn: https://localhost:$QS_RUN_PORT (edge) -> Varnish 127.0.0.1:$cache_port -> origin 127.0.0.1:$origin_port serving $dir/tree"
echo "run-cdn: purge after a publish: quillon-publish ... --purge http://127.0.0.1:$cache_port"
if [ -n "${QS_RUN_NO_LAUNCHER:-}" ]; then exit 0; fi

QS_SERVICE_CA=$dir/certs/ca.pem
build_launcher
reset_home
echo "run-cdn: player home in $QS_HOME_DIR"
XDG_DATA_HOME="$QS_HOME_DIR/data" XDG_CONFIG_HOME="$QS_HOME_DIR/config" "$QS_LAUNCHER"
