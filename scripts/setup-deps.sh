#!/usr/bin/env bash
# Installs what the build, the tests and `make run` need on Debian 12. Idempotent:
# each step is skipped when its result is already in place.
set -euo pipefail
cd "$(dirname "$0")/.."

FONT_AWESOME_VERSION=6.7.2

apt_packages=(
    build-essential cmake ninja-build pkg-config git ca-certificates
    clang clang-format libclang-rt-14-dev llvm
    libgtest-dev libgmock-dev libbenchmark-dev
    libimgui-dev libsdl2-dev libstb-dev
    libcurl4-openssl-dev libssl-dev openssl curl gcovr
    nlohmann-json3-dev libcpp-httplib-dev
    fonts-league-spartan fonts-dejavu-core
    python3 xvfb xauth imagemagick xdotool libgl1-mesa-dri libgl-dev fonts-liberation2
    nginx varnish
    npm
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# node may come from outside Debian on some machines; npm is only needed when no node/npm exists.
if command -v npm >/dev/null 2>&1; then
    missing=("${missing[@]/npm/}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Font Awesome Free: pinned, from the npm registry, kept out of the source tree.
fa_dir=.deps/fontawesome
fa_stamp="$fa_dir/.version-$FONT_AWESOME_VERSION"
if [ ! -f "$fa_stamp" ]; then
    echo "setup: fetching @fortawesome/fontawesome-free@$FONT_AWESOME_VERSION"
    rm -rf "$fa_dir"
    mkdir -p "$fa_dir"
    (cd "$fa_dir" && npm pack --silent "@fortawesome/fontawesome-free@$FONT_AWESOME_VERSION" >/dev/null \
        && tar -xzf fortawesome-fontawesome-free-*.tgz && rm -f fortawesome-fontawesome-free-*.tgz)
    test -f "$fa_dir/package/webfonts/fa-solid-900.ttf"
    test -f "$fa_dir/package/webfonts/fa-brands-400.ttf"
    touch "$fa_stamp"
fi
