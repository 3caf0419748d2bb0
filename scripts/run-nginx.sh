#!/usr/bin/env bash
# `make run-nginx`: the launcher against nginx serving a tree that quillon-publish wrote, signed,
# from the demo content, with a throwaway player home (as `make run`, which uses the stand-in
# instead). The launcher is built with the public key, so every update goes through the signature.
#
# Everything lives under build/run-nginx: the content, the signing key (keys/), the test authority
# and server certificate (certs/), the published tree (tree/) and nginx's prefix (nginx/: its
# configuration from deploy/nginx/, logs, pid). nginx runs as an ordinary program in the
# foreground of this script, never as the system service, and stops when the launcher exits.
# QS_RUN_NO_LAUNCHER=1 stops after checking that nginx answers the manifest and signature requests.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/run.sh  # publish_demo, build_launcher, reset_home, QS_LAUNCHER, QS_HOME_DIR

dir=$QS_ROOT/build/run-nginx
tools=$QS_ROOT/build/standin/tool  # the stand-in's build (scripts/standin-start.sh)
prefix=$dir/nginx

stop_nginx() {
    if [ -f "$prefix/nginx.pid" ]; then
        local pid
        pid=$(cat "$prefix/nginx.pid")
        # Only the master this script started: its pid file, and its own command line.
        if grep -qs -- "$prefix" "/proc/$pid/cmdline"; then
            kill -TERM "$pid"
            for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        fi
        rm -f "$prefix/nginx.pid"
    fi
}

# The manifest and its signature, as a launcher built with the key asks for them.
answers() {
    curl -sf --max-time 5 --cacert "$dir/certs/ca.pem" -X POST -d '{}' \
        "https://localhost:$QS_RUN_PORT/updater/updater.php" >/dev/null 2>&1 &&
        curl -sf --max-time 5 --cacert "$dir/certs/ca.pem" \
            "https://localhost:$QS_RUN_PORT/updater/updater.sig" >/dev/null 2>&1
}

stop_nginx
QS_RUN_PORT=${QS_RUN_PORT:-$(bash scripts/pick-port.sh 8444)}

echo "run-nginx: building quillon-publish and the stand-in (for its test authority)"
cmake -S . -B "$tools" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_BUILD_APP=OFF >/dev/null
cmake --build "$tools" -j "$JOBS" --target quillon-publish standin

publish_demo "$dir" "$tools"

mkdir -p "$prefix/tmp"
cp deploy/nginx/standalone.conf "$prefix/nginx.conf"
sed -e "s|@LISTEN@|127.0.0.1:$QS_RUN_PORT|" -e "s|@SERVER_NAME@|localhost|" \
    -e "s|@ROOT@|$dir/tree|g" -e "s|@CERT@|$dir/certs/server.pem|" \
    -e "s|@KEY@|$dir/certs/server-key.pem|" deploy/nginx/quillon.conf >"$prefix/quillon-server.conf"
# A master running as root hands its workers to "nobody"; keep them this user.
user=""
if [ "$(id -u)" -eq 0 ]; then user="user root;"; fi
nginx -p "$prefix/" -c "$prefix/nginx.conf" -g "daemon off; $user" &
trap stop_nginx EXIT
for _ in $(seq 1 50); do answers && break; sleep 0.2; done
if ! answers; then
    echo "run-nginx: nginx does not answer; its log follows" >&2
    cat "$prefix/error.log" >&2 || true
    exit 1
fi
echo "run-nginx: nginx serves $dir/tree on https://localhost:$QS_RUN_PORT (trust $dir/certs/ca.pem)"
echo "run-nginx: curl --cacert $dir/certs/ca.pem -X POST https://localhost:$QS_RUN_PORT/updater/updater.php"
echo "run-nginx: signed with $QS_SIGNING_DIR/update-key.pem"
if [ -n "${QS_RUN_NO_LAUNCHER:-}" ]; then exit 0; fi

QS_SERVICE_CA=$dir/certs/ca.pem
build_launcher
reset_home
echo "run-nginx: player home in $QS_HOME_DIR"
XDG_DATA_HOME="$QS_HOME_DIR/data" XDG_CONFIG_HOME="$QS_HOME_DIR/config" "$QS_LAUNCHER"
