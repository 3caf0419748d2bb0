#!/usr/bin/env bash
# `make test-windows`: the Windows build's tests under Wine, headless, then the end-to-end smoke
# test (scripts/smoke-windows.sh) under Wine and Xvfb.
#
#   1. the stand-in service for this machine (build/standin/tool) and the cross build with its
#      tests (build/windows-test; the launcher in it talks to https://localhost:PORT and trusts
#      the system store, as a release build does);
#   2. the stand-in on 127.0.0.1 with a fresh test authority and its control port, serving the
#      demo content; the Windows tests create and drive their services through the control port;
#   3. in a private mount namespace: the system bundle plus the test authority bind-mounted over
#      /etc/ssl/certs/ca-certificates.crt (Wine takes its trusted roots from there) and a fresh
#      Wine prefix under build/windows-test/ whose user has a non-Latin name, so the trust ends
#      with the namespace and whatever Wine copied into its registry goes with the prefix; CTest,
#      then the smoke test.
#
# Everything it starts is stopped on exit. Without mount namespaces the authority is appended to
# the system bundle for the run and the bundle restored on exit (said on stderr when it happens).
# Timings of each step are printed at the end. JOBS (default 2) limits parallel work.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
JOBS=${JOBS:-2}
state=$repo/build/windows-test/run
system_bundle=/etc/ssl/certs/ca-certificates.crt
as_root=()
if [ "$(id -u)" -ne 0 ]; then as_root=(sudo); fi

# --- Inside the namespace (or under the fallback): Wine, CTest, smoke -------------------------
if [ "${1:-}" = "--in-namespace" ]; then
    if [ "${QS_TRUST_BY_MOUNT:-1}" = 1 ]; then
        mount --bind "$state/trust-bundle.pem" "$system_bundle"
    fi
    export WINEPREFIX=$state/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
    trap stop_wine EXIT
    # Wine names the profile folder after $USER (when it makes the prefix, and at each start): a
    # name in two alphabets with a blank, as many players' are, so every test and the smoke test
    # keep their data, settings and temporary files under C:\users\Łukasz 山田\.
    export USER="Łukasz 山田"
    t0=$(date +%s)
    wineboot -i >"$state/wineboot.log" 2>&1
    # A crashing test prints Wine's backtrace and ends, instead of waiting on a crash dialog
    # nobody can see until CTest's time-out.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >>"$state/wineboot.log" 2>&1
    t1=$(date +%s)
    echo "test-windows: wine prefix ready in $((t1 - t0)) s" >&2
    status=0
    # Wine's secure channel now and then fails a TLS handshake with the stand-in (WinHTTP error
    # 12157, about one request in a few hundred); a test that fails so runs once more. A real
    # fault fails both times.
    # QS_CTEST_ARGS narrows the run while working on a few tests, e.g. "-R DeltaDownload".
    # shellcheck disable=SC2086
    ctest --test-dir "$repo/build/windows-test" --output-on-failure -j "$JOBS" --timeout 600 \
        --repeat until-pass:2 ${QS_CTEST_ARGS:-} \
        >"$state/ctest.log" 2>&1 || status=$?
    tail -n 40 "$state/ctest.log" >&2
    t2=$(date +%s)
    echo "test-windows: ctest took $((t2 - t1)) s (log $state/ctest.log)" >&2
    smoke=0
    bash "$repo/scripts/smoke-windows.sh" || smoke=$?
    t3=$(date +%s)
    echo "test-windows: smoke took $((t3 - t2)) s" >&2
    echo "wine_prefix=$((t1 - t0)) ctest=$((t2 - t1)) smoke=$((t3 - t2))" >"$state/inner-times"
    [ "$status" = 0 ] && [ "$smoke" = 0 ]
    exit
fi

begin=$(date +%s)
# --- 1. Builds -------------------------------------------------------------------------------
make -s deps windows-deps host-tools >/dev/null
standin_bin=$repo/build/standin/tool/tools/standin/standin
cmake -S . -B build/standin/tool -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQS_BUILD_APP=OFF >/dev/null
cmake --build build/standin/tool --target standin -j "$JOBS"
built_host=$(date +%s)

# The launcher's service port is built in; keep the same one between runs when it is free.
port=$(bash scripts/pick-port.sh 18443)
cmake -S . -B build/windows-test -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DQS_HOST_IMAGEGEN="$repo/build/host-tools/tools/imagegen/qs_imagegen" \
    -DQS_BUILD_TESTS=ON -DQS_SERVICE_HOST=localhost -DQS_SERVICE_PORT="$port" \
    -DQS_SERVICE_CA_FILE= >/dev/null
cmake --build build/windows-test -j "$JOBS"
built_windows=$(date +%s)

# --- 2. The stand-in, with a fresh authority --------------------------------------------------
rm -rf "$state"
mkdir -p "$state"
bash scripts/make-demo-content.sh "$state/content" >/dev/null
standin_pid=
mounted_fallback=
cleanup() {
    set +e
    if [ -n "$standin_pid" ]; then
        kill "$standin_pid" 2>/dev/null
        for _ in $(seq 1 50); do kill -0 "$standin_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$standin_pid" 2>/dev/null
        wait "$standin_pid" 2>/dev/null
    fi
    if [ -n "$mounted_fallback" ] && [ -f "$state/system-bundle.orig" ]; then
        "${as_root[@]}" cp "$state/system-bundle.orig" "$system_bundle"
        echo "test-windows: restored $system_bundle" >&2
    fi
}
trap cleanup EXIT
"$standin_bin" --root "$state/content" --port "$port" --cert-dir "$state/certs" --control-port 0 \
    >"$state/standin.log" 2>&1 &
standin_pid=$!
control=
for _ in $(seq 1 150); do
    control=$(sed -n 's/^standin: control on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$state/standin.log")
    [ -n "$control" ] && break
    kill -0 "$standin_pid" 2>/dev/null || { cat "$state/standin.log" >&2; exit 1; }
    sleep 0.2
done
[ -n "$control" ] || { echo "test-windows: the stand-in did not start" >&2; cat "$state/standin.log" >&2; exit 1; }
echo "test-windows: stand-in on https://localhost:$port, control port $control" >&2
cat "$system_bundle" "$state/certs/ca.pem" >"$state/trust-bundle.pem"

export QS_STANDIN_CONTROL=127.0.0.1:$control QS_STANDIN_PORT=$port QS_STANDIN_CA=$state/certs/ca.pem
export QS_TEST_STATE=$state QS_CONTENT=$state/content
export QS_LAUNCHER_EXE=$repo/build/windows-test/shell/quillon-launcher.exe

# --- 3. Wine with the authority trusted only in here -----------------------------------------
rm -rf "$state/wine-prefix"
status=0
if unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash "$0" --in-namespace || status=$?
elif unshare --mount --map-root-user --propagation private true 2>/dev/null; then
    unshare --mount --map-root-user --propagation private bash "$0" --in-namespace || status=$?
else
    echo "test-windows: no mount namespace here; appending the test authority to $system_bundle" \
        "for this run (restored on exit)" >&2
    cp "$system_bundle" "$state/system-bundle.orig"
    mounted_fallback=1
    "${as_root[@]}" tee -a "$system_bundle" <"$state/certs/ca.pem" >/dev/null
    QS_TRUST_BY_MOUNT=0 bash "$0" --in-namespace || status=$?
fi
rm -rf "$state/wine-prefix"
# Out here the test authority must not be trusted: the system bundle never names it.
if grep -qF "$(sed -n 2p "$state/certs/ca.pem")" "$system_bundle"; then
    echo "test-windows: the test authority is still in $system_bundle" >&2
    status=1
fi
finished=$(date +%s)
inner=$(cat "$state/inner-times" 2>/dev/null || echo "")
echo "test-windows: host stand-in build $((built_host - begin)) s, cross build" \
    "$((built_windows - built_host)) s, $inner, total $((finished - begin)) s" >&2
exit "$status"
