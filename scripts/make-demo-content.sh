#!/usr/bin/env bash
# Writes a demo content folder for the stand-in service (tools/standin):
#   DIR/client/...      a small game client, including a harmless "Quillon Saga.exe" and a
#                       32 MB archive the service publishes in chunks
#   DIR/previous/...    the same client as it was before today's patch, which changed three small
#                       regions of the archive (`make run` starts the player from it)
#   DIR/latest.json     the launcher release document (v1.0.8, the launcher's own version)
#   DIR/status.json     the server status
#   DIR/news.json       eight news items whose texts exercise the launcher's text cleaning
# Usage: scripts/make-demo-content.sh DIR   (DIR is replaced when it already holds demo content)
set -euo pipefail

dir="${1:?usage: make-demo-content.sh DIR}"
if [ -e "$dir" ] && [ ! -f "$dir/.quillon-demo" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
    echo "make-demo-content: $dir exists and is not a demo folder; refusing to overwrite" >&2
    exit 1
fi
rm -rf "$dir"
mkdir -p "$dir/client/data/maps" "$dir/client/sound"
touch "$dir/.quillon-demo"

client="$dir/client"
printf 'Quillon Saga demo client.\nThese files come from the stand-in service.\n' >"$client/readme.txt"
printf '[graphics]\nwidth=1280\nheight=720\n' >"$client/data/Game Settings.ini"
# A few kilobytes of deterministic binary-ish data.
for i in $(seq 1 2048); do printf '%08x' $((i * 2654435761 % 4294967296)); done >"$client/data/maps/world.pak"
printf 'RIFF\0\0\0\0WAVEdemo' >"$client/sound/click.wav"
# Deterministic noise, as compressed game data looks: AES-CTR over zeros under a fixed key.
noise() {  # key-hex bytes (openssl ends on a broken pipe, which is not a failure here)
    head -c "$2" < <(openssl enc -aes-128-ctr -nosalt -K "$1" -iv 00000000000000000000000000000000 \
        -in /dev/zero 2>/dev/null)
}
noise 51756c6c6f6e53616761417472617331 $((32 << 20)) >"$client/data/maps/atlas.pak"
# QS_DEMO_LARGE_MB adds a larger archive, so a download lasts long enough to watch.
if [ -n "${QS_DEMO_LARGE_MB:-}" ]; then
    head -c $((QS_DEMO_LARGE_MB << 20)) /dev/zero | tr '\0' 'q' >"$client/data/maps/terrain.pak"
fi

cat >"$client/Quillon Saga.exe" <<'EOF'
#!/bin/sh
# Demo game client: shows that the launcher started it, then exits.
marker="${TMPDIR:-/tmp}/quillon-saga-demo-started"
{
    date
    echo "started in: $(pwd)"
    echo "arguments: $*"
} >"$marker"
echo "Quillon Saga demo client started (marker: $marker)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    if command -v zenity >/dev/null 2>&1; then
        zenity --info --title="Quillon Saga" --text="The demo game client was started." --timeout=5 >/dev/null 2>&1 &
    elif command -v xmessage >/dev/null 2>&1; then
        xmessage -center -timeout 5 "Quillon Saga: the demo game client was started." >/dev/null 2>&1 &
    fi
fi
exit 0
EOF
chmod +x "$client/Quillon Saga.exe"

# Yesterday's client, then today's patch: three regions of the archive rewritten in place.
cp -a "$client" "$dir/previous"
for offset_kb in 1200 15000 29000; do
    noise 5061746368446179$(printf '%016x' "$offset_kb") $((48 << 10)) |
        dd of="$client/data/maps/atlas.pak" bs=1024 seek="$offset_kb" conv=notrunc status=none
done

cat >"$dir/latest.json" <<'EOF'
{
  "version": "v1.0.8",
  "url": "https://localhost/updater/launcher/QuillonSagaLauncher-Setup-1.0.8.exe",
  "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
  "changelog": "Nothing new: this is the launcher's own version."
}
EOF

cat >"$dir/status.json" <<'EOF'
{
  "online": true,
  "players": 128,
  "maxPlayers": 500,
  "maintenance": false,
  "motd": "Welcome back to Quillon Saga!",
  "serverName": "Quillon Saga Demo"
}
EOF

# Curly quotes, dashes, ellipsis, bullets, middle dots, no-break spaces, an emoji, accented
# letters, mention/channel/custom-emoji tokens and a stray '<' that must survive.
cat >"$dir/news.json" <<'EOF'
[
  {
    "id": "news-108",
    "tag": "UPDATE",
    "title": "Patch 1.0.8 — “The Quillon Tides” is live 🎉",
    "summary": "New coastline zone, the Tidecaller’s questline and a reworked crafting bench… Thanks to <@123> and <@&987> for the testing!",
    "date": "June 12, 2025",
    "author": "Quillon Team",
    "url": "https://localhost/news/patch-1-0-8",
    "featured": true
  },
  {
    "id": "news-107",
    "tag": "CHANGELOG",
    "title": "Changelog 1.0.8",
    "summary": "• Fixed a crash when opening the map\n• Fishing nets no longer float – finally\n• Server · 128 slots",
    "date": "June 12, 2025",
    "author": "Dev Team",
    "url": "https://localhost/news/changelog-1-0-8",
    "featured": false
  },
  {
    "id": "news-106",
    "tag": "CHANGELOG",
    "title": "Changelog 1.0.7",
    "summary": "Balance pass on ‘Storm Lance’ and ‘Ember Ward’; quest log sorting <:quill:445566> restored.",
    "date": "May 28, 2025",
    "author": "Dev Team",
    "url": "https://localhost/news/changelog-1-0-7",
    "featured": false
  },
  {
    "id": "news-105",
    "tag": "EVENT",
    "title": "Summer Festival 🌞 starts June 20",
    "summary": "Join the festival in Port Vell — fireworks every hour, see <#555> for the schedule. Level < 10 players welcome!",
    "date": "June 5, 2025",
    "author": "Community Team",
    "url": "https://localhost/news/summer-festival",
    "featured": false
  },
  {
    "id": "news-104",
    "tag": "MAINTENANCE",
    "title": "Maintenance on Tuesday 06:00–08:00 UTC",
    "summary": "The servers will be offline for hardware upgrades. Café chat stays open.\r\nSee you soon!",
    "date": "June 2, 2025",
    "author": "Operations",
    "url": "https://localhost/news/maintenance-june",
    "featured": false
  },
  {
    "id": "news-103",
    "tag": "CHANGELOG",
    "title": "Changelog 1.0.6",
    "summary": "Launcher: faster start, “Close on launch” option. <a:spin:778899> Animated badges.",
    "date": "May 14, 2025",
    "author": "Dev Team",
    "url": "https://localhost/news/changelog-1-0-6",
    "featured": false
  },
  {
    "id": "news-102",
    "tag": "UPDATE",
    "title": "Guild halls – first look",
    "summary": "A peek at what’s coming… guild halls with shared storage and trophies 🏆.",
    "date": "May 2, 2025",
    "author": "Quillon Team",
    "url": "https://localhost/news/guild-halls",
    "featured": false
  },
  {
    "id": "news-101",
    "tag": "NEWS",
    "title": "Welcome to Quillon Saga",
    "summary": "Thanks for joining the adventure! Questions? Ask <@123> on the forums.",
    "date": "April 20, 2025",
    "author": "Quillon Team",
    "url": "https://localhost/news/welcome",
    "featured": false
  }
]
EOF

python3 -c 'import json,sys; [json.load(open(f, encoding="utf-8")) for f in sys.argv[1:]]' \
    "$dir/latest.json" "$dir/status.json" "$dir/news.json"
echo "make-demo-content: wrote $dir"
