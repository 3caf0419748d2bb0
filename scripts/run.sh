#!/usr/bin/env bash
# `make run`: the launcher against the local stand-in service, with a throwaway player home.
#
# Everything lives under build/run: the stand-in's content and test authority (service/), the
# demo player's data and config folders (home/), and the launcher's build. The player's real
# folders are never touched. Sourced by scripts/screenshots.sh for the shared steps.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

QS_ROOT=$PWD
QS_RUN_DIR=$QS_ROOT/build/run
QS_SERVICE_DIR=$QS_RUN_DIR/service
QS_HOME_DIR=$QS_RUN_DIR/home
QS_RUN_PORT=${QS_RUN_PORT:-}
QS_LAUNCHER=$QS_RUN_DIR/build/shell/quillon-launcher
JOBS=${JOBS:-2}

QS_SERVICE_CONTENT=$QS_SERVICE_DIR/content
QS_SERVICE_CA=$QS_SERVICE_DIR/certs/ca.pem

# Fresh demo content (client, status, news, release document), then the stand-in service with its
# test authority. The service must run first: the build bakes in the authority it made.
# 8443 keeps the build unchanged between runs; when another checkout's service holds it, any
# free port (the build then bakes in the new one).
choose_port() {
    if [ -n "$QS_RUN_PORT" ]; then return; fi
    QS_RUN_PORT=$(bash "$QS_ROOT/scripts/pick-port.sh" 8443)
}

# A signing key of this checkout's own in $1 (made once, owner-only) and its public half beside it;
# QS_SIGNING_DIR names the folder. The launcher is built with the public half, so the signed path
# is the one that runs.
make_signing_key() {
    QS_SIGNING_DIR=$1
    if [ ! -f "$QS_SIGNING_DIR/update-key.pem" ]; then
        mkdir -p "$QS_SIGNING_DIR"
        (umask 077 && openssl genpkey -algorithm ed25519 -out "$QS_SIGNING_DIR/update-key.pem" 2>/dev/null)
    fi
    openssl pkey -in "$QS_SIGNING_DIR/update-key.pem" -pubout -out "$QS_SIGNING_DIR/update-key.pub.pem"
}

# The demo content published signed into DIR/tree, with the test authority's certificates in
# DIR/certs; TOOLS is a build with quillon-publish and the stand-in. The demo release is the
# launcher's own version, so the launcher reports itself up to date.
publish_demo() {
    local dir=$1 tools=$2
    bash scripts/make-demo-content.sh "$dir/content" >/dev/null
    "$tools/tools/standin/standin" --certs-only --cert-dir "$dir/certs"
    printf 'demo installer\n' >"$dir/content/QuillonSagaLauncher-Setup-1.0.8.exe"
    make_signing_key "$dir/keys"
    "$tools/tools/publish/quillon-publish" "$dir/content/client" "$dir/tree" \
        --sign "$QS_SIGNING_DIR/update-key.pem" \
        --status "$dir/content/status.json" --news "$dir/content/news.json" \
        --release v1.0.8 --installer "$dir/content/QuillonSagaLauncher-Setup-1.0.8.exe" \
        --base-url "https://localhost:$QS_RUN_PORT" \
        --changelog "Nothing new: this is the launcher's own version."
}

start_service() {
    stop_service  # a service left over from an earlier run of this checkout
    choose_port
    mkdir -p "$QS_SERVICE_DIR"
    bash scripts/make-demo-content.sh "$QS_SERVICE_CONTENT"
    trap stop_service EXIT
    local assignments
    make_signing_key "$QS_SERVICE_DIR/keys"
    # QS_STANDIN_FAULTS: extra "--fault PATH=KIND" arguments; QS_SLOW_FILE=RELATIVE:BYTES_PER_S
    # holds one client file to a speed at the address the launcher fetches it from, its digest's.
    local faults=${QS_STANDIN_FAULTS:-}
    if [ -n "${QS_SLOW_FILE:-}" ]; then
        local digest
        digest=$(sha256sum "$QS_SERVICE_CONTENT/client/${QS_SLOW_FILE%%:*}" | cut -c1-64)
        faults="$faults --fault /updater/objects/${digest:0:2}/$digest=limit:${QS_SLOW_FILE##*:}"
    fi
    assignments=$(bash scripts/standin-start.sh --port "$QS_RUN_PORT" --root "$QS_SERVICE_CONTENT" \
        --cert-dir "$QS_SERVICE_DIR/certs" -- --sign-key "$QS_SIGNING_DIR/update-key.pem" \
        $faults)
    eval "$assignments"
    QS_RUN_PORT=$QS_STANDIN_PORT
    QS_SERVICE_CA=$QS_STANDIN_CA
}

stop_service() {
    bash scripts/standin-stop.sh >/dev/null 2>&1 || true
}

# The service's host, port and authority are built in; the build dir is kept between runs.
build_launcher() {
    cmake -S . -B "$QS_RUN_DIR/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DQS_SERVICE_HOST=localhost -DQS_SERVICE_PORT="$QS_RUN_PORT" \
        -DQS_SERVICE_CA_FILE="$QS_SERVICE_CA" \
        -DQS_UPDATE_PUBLIC_KEY="$QS_SIGNING_DIR/update-key.pub.pem" -DQS_BUILD_TESTS=OFF >/dev/null
    cmake --build "$QS_RUN_DIR/build" -j "$JOBS" --target quillon-launcher
}

# A fresh demo player each time: no client installed, default settings.
reset_home() {
    rm -rf "$QS_HOME_DIR"
    mkdir -p "$QS_HOME_DIR/data" "$QS_HOME_DIR/config"
}

# The player installed yesterday's client; today's patch changed three small regions of its
# 32 MB archive.
install_previous_client() {
    local client="$QS_HOME_DIR/data/Quillon Saga/QuillonSaga Game"
    mkdir -p "$client"
    cp -a "$QS_SERVICE_CONTENT/previous/." "$client/"
}


if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    # The archive comes at 256 KB/s, a slow connection: the patch takes a few seconds to watch,
    # where the whole archive would take two minutes. QS_RUN_FRESH=1 starts with no client.
    QS_SLOW_FILE=${QS_SLOW_FILE-data/maps/atlas.pak:262144}
    start_service
    build_launcher
    reset_home
    [ -n "${QS_RUN_FRESH:-}" ] || install_previous_client
    echo "run: stand-in service on https://localhost:$QS_RUN_PORT, player home in $QS_HOME_DIR"
    XDG_DATA_HOME="$QS_HOME_DIR/data" XDG_CONFIG_HOME="$QS_HOME_DIR/config" "$QS_LAUNCHER"
fi
