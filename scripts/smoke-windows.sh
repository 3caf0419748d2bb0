#!/usr/bin/env bash
# The Windows launcher's end-to-end smoke test under Wine and Xvfb, run by scripts/test-windows.sh
# inside its namespace (the stand-in's authority trusted, a fresh WINEPREFIX). Passes when:
#   - the stand-in saw the manifest POST, a GET of every demo client file, /status.php and
#     /news.php;
#   - every demo client file landed in the prefix's roaming app data client folder with the
#     stand-in's digest;
#   - a screenshot of the screen is not blank.
#   - the graphics device, lost on purpose early on, was made again (the launcher's log says so).
# Needs QS_STANDIN_CONTROL, QS_CONTENT, QS_TEST_STATE, QS_LAUNCHER_EXE and WINEPREFIX.
set -euo pipefail
: "${QS_STANDIN_CONTROL:?}" "${QS_CONTENT:?}" "${QS_TEST_STATE:?}" "${QS_LAUNCHER_EXE:?}" "${WINEPREFIX:?}"
out=$QS_TEST_STATE/smoke
mkdir -p "$out"
rm -f "$out"/*

display_file=$(mktemp)
Xvfb -displayfd 5 -screen 0 1440x900x24 +extension GLX -nolisten tcp 5>"$display_file" \
    >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
launcher_pid=
cleanup() {
    set +e
    [ -n "$launcher_pid" ] && kill "$launcher_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1
    [ -n "$launcher_pid" ] && wait "$launcher_pid" 2>/dev/null
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    rm -f "$display_file"
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "smoke: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$display_file")
# Wine's desktop belongs to its server: one started headless (wineboot, the unit tests) has no
# display driver, so start afresh with the display.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true

# A frame early on reports the graphics device lost: everything drawn after it is on a device
# made again.
start_launcher() {
    QS_TEST_LOSE_DEVICE_AT_FRAME=30 wine "$QS_LAUNCHER_EXE" >"$out/launcher.log" 2>&1 &
    launcher_pid=$!
}
start_launcher

# What the stand-in's own service (id 0) has seen, checked against the demo content.
seen_everything() {
    curl -sf --max-time 5 -X POST -d '{"op":"requests","id":0}' \
        "http://$QS_STANDIN_CONTROL/control" >"$out/requests.json" || return 1
    python3 - "$out/requests.json" "$QS_CONTENT/client" <<'PY'
import hashlib, json, os, sys
seen = {(r["method"], r["path"]) for r in json.load(open(sys.argv[1]))["requests"]}
client = sys.argv[2]
wanted = {("POST", "/updater/updater.php"), ("GET", "/status.php"), ("GET", "/news.php")}
for folder, _, files in os.walk(client):
    for name in files:
        # Files come from the address of their content, which the stand-in's manifest names.
        with open(os.path.join(folder, name), "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        wanted.add(("GET", "/updater/objects/%s/%s" % (digest[:2], digest)))
missing = sorted(wanted - seen)
open(sys.argv[1] + ".missing", "w").write("\n".join(" ".join(m) for m in missing))
sys.exit(1 if missing else 0)
PY
}
ok=
started_again=
for tick in $(seq 1 240); do
    if seen_everything; then ok=1; break; fi
    # Under load a fresh Wine process now and then hangs before the launcher's first line; one
    # that has asked for nothing after a minute is started once more.
    if [ "$tick" = 120 ] && [ -z "$started_again" ] && grep -q '"requests":\[\]' "$out/requests.json"; then
        echo "smoke: no request after a minute; starting the launcher once more" >&2
        kill "$launcher_pid" 2>/dev/null || true
        wineserver -k >/dev/null 2>&1 || true
        wait "$launcher_pid" 2>/dev/null || true
        started_again=1
        start_launcher
    fi
    kill -0 "$launcher_pid" 2>/dev/null || break
    sleep 0.5
done
if [ -z "$ok" ]; then
    echo "smoke: the stand-in never saw these requests:" >&2
    cat "$out/requests.json.missing" >&2
    echo "smoke: launcher output:" >&2
    tail -n 20 "$out/launcher.log" >&2
    exit 1
fi
echo "smoke: the stand-in saw the manifest, every client file, status and news" >&2

# The files on the Windows side, by the digests the service built its manifest from.
client_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -path '*/AppData/Roaming/Quillon Saga/QuillonSaga Game' -type d | head -n1)
for _ in $(seq 1 60); do
    bad=0
    if [ -n "$client_dir" ]; then
        (cd "$QS_CONTENT/client" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$out/expected.sha256"
        (cd "$client_dir" && sha256sum --quiet -c "$out/expected.sha256") >"$out/check.log" 2>&1 || bad=1
    else
        bad=1
    fi
    [ "$bad" = 0 ] && break
    sleep 0.5
    client_dir=$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -path '*/AppData/Roaming/Quillon Saga/QuillonSaga Game' -type d | head -n1)
done
if [ "$bad" != 0 ]; then
    echo "smoke: the client folder (${client_dir:-not found}) does not hold the demo client:" >&2
    cat "$out/check.log" >&2 2>/dev/null || true
    exit 1
fi
echo "smoke: $(wc -l <"$out/expected.sha256") client files in $client_dir with the right digests" >&2

# Status and news arrive on their own threads; give the frame a moment to show them.
sleep 3
import -window root "$out/screen.png"
deviation=$(convert "$out/screen.png" -format '%[fx:standard_deviation]' info:)
echo "smoke: screenshot $out/screen.png, standard deviation $deviation" >&2
python3 -c "import sys; sys.exit(0 if float('$deviation') > 0.05 else 1)" || {
    echo "smoke: the screen is blank" >&2
    exit 1
}
launcher_log=$(find "$WINEPREFIX/drive_c/users" -maxdepth 6 -path '*/QuillonSagaLauncher/launcher.log' | head -n1)
grep -q "graphics device lost; made again" "${launcher_log:-/dev/null}" || {
    echo "smoke: the lost graphics device was not made again (${launcher_log:-no launcher.log})" >&2
    exit 1
}
echo "smoke: the graphics device was lost at frame 30 and made again" >&2
echo "smoke: passed" >&2
