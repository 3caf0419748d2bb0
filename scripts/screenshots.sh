#!/usr/bin/env bash
# `make screenshots`: `make run` under a virtual display, capturing the Home page before and
# after the start-up update, the other pages, the keyboard's focus ring and Home and News at the
# display scales 1.5 and 2 (QS_UI_SCALE) into build/screenshots/, then software renderings of the
# pages (long news texts included) into build/screenshots/snapshots/.
set -euo pipefail
source "$(dirname "$0")/run.sh"

out_dir=$QS_ROOT/build/screenshots
mkdir -p "$out_dir"
rm -f "$out_dir"/*.png

# A 24 MB archive held to 3 MB/s: the download box and Home's bar have something to show.
export QS_DEMO_LARGE_MB=24
QS_SLOW_FILE=data/maps/terrain.pak:3145728
start_service
build_launcher
reset_home

# A screen larger than the window at scale 2 (it opens at (120, 80)); Xvfb picks a free display
# number, as other checkouts on this machine may have their own.
display_file=$(mktemp)
Xvfb -displayfd 5 -screen 0 2720x1640x24 +extension GLX -nolisten tcp 5>"$display_file" >"$out_dir/xvfb.log" 2>&1 &
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

# The display scale of the running launcher (QS_UI_SCALE); the window is the design times it.
scale=1

# Mesa's software renderer gives an OpenGL 3.3 core context without a GPU.
start_launcher() {
    scale=${1:-1}
    LIBGL_ALWAYS_SOFTWARE=1 XDG_DATA_HOME="$QS_HOME_DIR/data" XDG_CONFIG_HOME="$QS_HOME_DIR/config" \
        QS_UI_SCALE="$scale" "$QS_LAUNCHER" >>"$out_dir/launcher.log" 2>&1 &
    launcher_pid=$!
    local window=
    for _ in $(seq 1 200); do
        window=$(xdotool search --onlyvisible --name '^Quillon Saga$' 2>/dev/null | head -n1 || true)
        [ -n "$window" ] && break
        kill -0 "$launcher_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$window" ]; then
        local state="still running"
        kill -0 "$launcher_pid" 2>/dev/null || { wait "$launcher_pid"; state="ended with $?"; } || true
        echo "screenshots: the launcher window did not appear, launcher $state (see $out_dir/launcher.log)" >&2
        exit 1
    fi
}

# SIGTERM is a normal close; the next launcher may start only once this one is gone.
stop_launcher() {
    kill "$launcher_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$launcher_pid" 2>/dev/null || break; sleep 0.1; done
    wait "$launcher_pid" 2>/dev/null || true
    launcher_pid=
}

# The design point (x, y) on screen, and the window's size, at the launcher's scale.
px() { awk -v v="$1" -v s="$scale" 'BEGIN { printf "%d", v * s + 0.5 }'; }

capture() {
    import -window root -crop "$(px 1280)x$(px 760)+120+80" +repage "$out_dir/$1"
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

# A click at a design point of the launcher window (it opens at 120, 80 on this screen).
click_at() {
    xdotool mousemove $(($(px "$1") + 120)) $(($(px "$2") + 80)) click 1
    sleep "${3:-1}"
}

# Keys go to the window under the pointer (no window manager); the pointer stays put, as moving
# it would hide the focus ring. Each key is held for a few frames, as a finger would: ImGui 1.86
# sees only whether a key is down when a frame starts.
press_keys() {
    for key in "$@"; do
        xdotool keydown "$key"
        sleep 0.15
        xdotool keyup "$key"
        sleep 0.15
    done
    sleep 1
}

start_launcher
# The first frames: the start-up check is under way, nothing installed yet. The images arrive
# a moment after the first frame.
capture_when_drawn home-before-update.png >/dev/null
sleep 0.4
capture home-before-update.png
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

# From the keyboard: Ctrl+1 for Home, then Tab through the sidebar and the window buttons to
# PLAY NOW; on Settings, Tab to CLEAR DATA and Enter open the dialog on its CANCEL.
press_keys ctrl+1 Tab Tab Tab Tab Tab Tab Tab
capture home-keyboard-focus.png
press_keys ctrl+3 Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab Return
capture settings-dialog-keyboard.png
press_keys Escape

# Home and News at display scales 1.5 and 2: the window, the layout and the fonts follow.
for s in 1.5 2; do
    stop_launcher
    start_launcher "$s"
    sleep 3  # drawn, the news fetched, the start-up check done
    suffix=$([ "$s" = 1.5 ] && echo "@1.5x" || echo "@2x")
    capture "home$suffix.png"
    click_at 36 189 2
    capture "news$suffix.png"
done
stop_launcher
start_launcher
sleep 3
click_at 36 237

# A failed run: the service goes away, CHECK UPDATES fails, and the outcome stays on screen.
stop_service
click_at 1148 393 3
capture settings-update-failed.png
click_at 36 141
capture home-update-failed.png

# The pages rendered in software from the same composer: among them News with an empty list and
# with every text as long as the feed allows, the keyboard's focus ring, and scales 1.5 and 2.
cmake --build "$QS_RUN_DIR/build" -j "$JOBS" --target page_snapshot >/dev/null
"$QS_RUN_DIR/build/tools/page_snapshot/page_snapshot" "$out_dir/snapshots" | sed 's/^wrote /screenshots: /'
