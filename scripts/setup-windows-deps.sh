#!/usr/bin/env bash
# Installs what the Windows cross build and its Wine test run need on Debian 12, on top of
# setup-deps.sh. Idempotent. Dear ImGui's Win32 and Direct3D 11 backends are not in any binary
# package, so the imgui source package is unpacked into .deps/ through a private sources list:
# the machine's apt configuration is left as it is.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libgcrypt-mingw-w64-dev googletest wine wine64 libwine
    libgnutls30 libgl1 libgl1-mesa-dri libxrandr2 libxi6 libxcursor1 libxcomposite1 libxfixes3 libxinerama1
    dpkg-dev xz-utils)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    # With recommends: Wine's TLS (GnuTLS), OpenGL and X libraries are only recommended by libwine.
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

IMGUI_VERSION=1.86+ds
imgui_dir=.deps/imgui-src
if [ ! -f "$imgui_dir/.version-$IMGUI_VERSION" ]; then
    echo "setup: unpacking Debian's imgui $IMGUI_VERSION source package"
    apt_dir="$PWD/.deps/apt-source"
    rm -rf "$apt_dir" "$imgui_dir"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/work"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
        >"$apt_dir/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
        -o APT::Sandbox::User=root -qq)
    apt-get "${apt_options[@]}" update
    (cd "$apt_dir/work" && apt-get "${apt_options[@]}" source "imgui=$IMGUI_VERSION-1" >/dev/null)
    mv "$apt_dir/work/imgui-$IMGUI_VERSION" "$imgui_dir"
    rm -rf "$apt_dir"
    test -f "$imgui_dir/backends/imgui_impl_win32.cpp"
    test -f "$imgui_dir/backends/imgui_impl_dx11.cpp"
    touch "$imgui_dir/.version-$IMGUI_VERSION"
fi
