#!/usr/bin/env bash
# `make screenshots`: `make run` under a virtual display, capturing the Home page before and
# after the start-up update into build/screenshots/.
set -euo pipefail
source "$(dirname "$0")/run.sh"

out_dir=$QS_ROOT/build/screenshots
mkdir -p "$out_dir"
rm -f "$out_dir"/*.png

# A 24 MB archive held to 3 MB/s: the download box and Home's bar have something to show.
export QS_DEMO_LARGE_MB=24
QS_STANDIN_FAULTS="--fault /updater/files/data/maps/terrain.pak=limit:3145728"
start_service
build_launcher
reset_home

# A screen larger than the window (it opens at (120, 80)); Xvfb picks a free display number, as
# other checkouts on this machine may have their own.
display_file=$(mktemp)
Xvfb -displayfd 5 -screen 0 1440x900x24 +extension GLX -nolisten tcp 5>"$display_file" >"$out_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
launcher_pid=
cleanup() {
    set +e
    # The launcher turns SIGTERM into a normal close; give its shutdown time before the display goes.
    if [ -n "$launcher_pid" ]; then
        kill "$launcher_pid" 2>/dev/null
        for _ in $(seq 1 100); do kill -0 "$launcher_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$launcher_pid" 2>/dev/null
        wait "$launcher_pid" 2>/dev/null
    fi
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    stop_service
}
trap cleanup EXIT
for _ in $(seq 1 100); do [ -s "$display_file" ] && break; sleep 0.1; done
if [ ! -s "$display_file" ]; then
    echo "screenshots: Xvfb did not start (see $out_dir/xvfb.log)" >&2
    exit 1
fi
export DISPLAY=:$(head -n1 "$display_file")
rm -f "$display_file"

# Mesa's software renderer gives an OpenGL 3.3 core context without a GPU.
# Started directly (not through a function) so that $! is the launcher itself.
LIBGL_ALWAYS_SOFTWARE=1 XDG_DATA_HOME="$QS_HOME_DIR/data" XDG_CONFIG_HOME="$QS_HOME_DIR/config" \
    "$QS_LAUNCHER" >"$out_dir/launcher.log" 2>&1 &
launcher_pid=$!

window=
for _ in $(seq 1 100); do
    window=$(xdotool search --name '^Quillon Saga$' 2>/dev/null | head -n1 || true)
    [ -n "$window" ] && break
    sleep 0.1
done
if [ -z "$window" ]; then
    echo "screenshots: the launcher window did not appear (see $out_dir/launcher.log)" >&2
    exit 1
fi

capture() {
    import -window root -crop 1280x760+120+80 +repage "$out_dir/$1"
    echo "screenshots: $out_dir/$1"
}

# Software rendering takes a moment for the first frame: wait until the window is not blank.
capture_when_drawn() {
    for _ in $(seq 1 50); do
        capture "$1" >/dev/null
        [ "$(convert "$out_dir/$1" -format '%[fx:mean>0.02]' info:)" = 1 ] && break
        sleep 0.2
    done
    echo "screenshots: $out_dir/$1"
}

# A click at a point of the launcher window (it opens at 120, 80 on this screen).
click_at() {
    xdotool mousemove $(($1 + 120)) $(($2 + 80)) click 1
    sleep "${3:-1}"
}

# The first frames: the start-up check is under way, nothing installed yet.
capture_when_drawn home-before-update.png
# The archive coming in: the download box and Home's bar with bytes, speed and time left.
sleep 4
capture home-downloading.png

# After the start-up update: the demo client is installed and the server reports online.
client_exe=$QS_HOME_DIR/data/Quillon\ Saga/QuillonSaga\ Game/Quillon\ Saga.exe
for _ in $(seq 1 300); do
    [ -f "$client_exe" ] && break
    sleep 0.1
done
sleep 2
capture home-after-update.png

# The other pages through the sidebar, and the Clear Client Data dialog (then cancelled).
click_at 36 189
capture news.png
click_at 36 237
click_at 1206 587 0.3
click_at 1206 587 0.3
click_at 1206 587
capture settings.png
click_at 1163 449
capture settings-dialog.png
click_at 520 412

# A failed run: the service goes away, CHECK UPDATES fails, and the outcome stays on screen.
stop_service
click_at 1148 393 3
capture settings-update-failed.png
click_at 36 141
capture home-update-failed.png

# The News page with an empty list, rendered in software from the same composer.
cmake --build "$QS_RUN_DIR/build" -j "$JOBS" --target page_snapshot >/dev/null
"$QS_RUN_DIR/build/tools/page_snapshot/page_snapshot" "$out_dir/snapshots" >/dev/null
echo "screenshots: $out_dir/snapshots/news_empty.png"
