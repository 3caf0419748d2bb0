#!/usr/bin/env bash
# `make bench`: builds the benchmarks (Release, build/bench), runs them and prints a summary.
# Never part of `make test`.
#   scripts/bench.sh [verify] [download] [smallfiles] [delta] [memory] [frame] [replies] [startup]
#                    [publish] [patchday] [manifest] [cdn]
#   (default: all twelve; patchday installs zsync and casync, smallfiles aria2, with apt-get when
#   they are missing)
# BENCH_REPETITIONS (default 5): repetitions per measurement; the table shows medians.
# PATCHDAY_RUNS (default 3) and PATCHDAY_PAIR (one pair of the part `patchday`; default all).
# Test content is written once under build/bench-data (about 2 GiB) and reused.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="$root/build/bench"
data="$root/build/bench-data"
results="$data/results"
reps="${BENCH_REPETITIONS:-5}"
jobs="${JOBS:-2}"

parts=("$@")
[ "${#parts[@]}" -eq 0 ] && parts=(verify download smallfiles delta memory frame replies startup publish patchday)
# The manifest of a large client, changed beside unchanged (a 304 and the kept copy).
[ "$#" -eq 0 ] && parts+=(manifest cdn)
wants() { printf '%s\n' "${parts[@]}" | grep -qx "$1"; }

# The small-file comparison runs aria2c; only the benchmarks need it.
if wants smallfiles && ! command -v aria2c >/dev/null; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends aria2
fi

targets=(qs_bench_verify qs_bench_download qs_bench_small_files qs_skip_fsync qs_bench_delta qs_bench_memory
    qs_bench_frame qs_bench_frame_download qs_bench_replies qs_bench_publish qs_bench_patch_day)
[ "${parts[*]}" = patchday ] && targets=(qs_bench_patch_day)
[ "${parts[*]}" = manifest ] && targets=()
wants manifest && targets+=(qs_bench_manifest)
[ "${parts[*]}" = cdn ] && targets=()
wants cdn && targets+=(qs_bench_cdn)
app=OFF
if wants startup; then app=ON; targets+=(qs_bench_startup); fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_BENCH=ON \
    -DQS_BUILD_APP="$app" -DQS_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"
mkdir -p "$results"

gbench() {  # name binary [extra flags]
    local name=$1 binary=$2
    shift 2
    echo "== $name" >&2
    "$build/bench/$binary" --data="$data" --benchmark_repetitions="$reps" \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/$name.json" --benchmark_out_format=json "$@" >&2
}

wants verify && gbench verify qs_bench_verify
if wants download; then
    gbench download qs_bench_download
    # A real network's round trip: every reply held back 20 ms.
    gbench download-20ms qs_bench_download --delay_ms=20 \
        --benchmark_filter='BM_Download(Launcher|LauncherOneAtATime|CurlOneConnection|CurlParallel4)/'
    # The same with fsync made free: the transfer path alone (curl flushes nothing to disk).
    LD_PRELOAD="$build/bench/libqs_skip_fsync.so" gbench download-nofsync qs_bench_download \
        --benchmark_filter='BM_Download(Launcher|LauncherOneAtATime|CurlOneConnection)/'
fi
# 20,000 files of 4 KiB, every reply 20 ms late: three repetitions (each launcher run at four
# transfers takes minutes).
wants smallfiles && gbench smallfiles qs_bench_small_files --benchmark_repetitions="$(( reps < 3 ? reps : 3 ))"
# Patch days for a 256 MiB archive, by chunks against the whole download (one run each per
# repetition: every run writes and flushes the whole new file).
wants delta && gbench delta qs_bench_delta
if wants patchday; then
    # The launcher's patch path beside zsync and casync on the same pairs, each tool over nginx
    # on loopback (plain HTTP, as the tools speak it), at full speed and at 50 MB/s (nginx's
    # limit_rate, per request; the launcher paces itself). Bytes are every body a server sent for
    # the run, indexes included; times run to the new file flushed.
    echo "== patchday" >&2
    if ! command -v zsync >/dev/null || ! command -v casync >/dev/null; then
        for attempt in 1 2 3 4 5; do  # apt may be busy with another install
            apt-get install -y zsync casync >&2 && break
            sleep 15
        done
    fi
    pd="$data/patch-day"
    runs="${PATCHDAY_RUNS:-3}"
    "$build/bench/qs_bench_patch_day" --data="$data" --write_only
    for pair in edits shifted fewbytes; do
        (cd "$pd/$pair" && [ -f new.zsync ] || zsyncmake -u new.pak -o new.zsync new.pak >&2)
        (cd "$pd/$pair" && [ -f new.caibx ] || casync make --store=store.castr new.caibx new.pak >&2)
    done
    # A few changed files among many: zsync on each changed file (the manifest tells which; its
    # files and their .zsync under zs/, links to new/, which casync takes whole as one archive).
    fw="$pd/fewfiles"
    changed=()
    mkdir -p "$fw/zs"
    for file in "$fw"/new/*.pak; do
        name=$(basename "$file")
        cmp -s "$file" "$fw/old/$name" && continue
        changed+=("$name")
        ln -f "$file" "$fw/zs/$name"
        (cd "$fw/zs" && [ -f "$name.zsync" ] || zsyncmake -u "$name" -o "$name.zsync" "$name" >&2)
    done
    (cd "$fw" && [ -f new.caidx ] || casync make --store=store.castr new.caidx new >&2)
    prefix="$pd/nginx"
    mkdir -p "$prefix/logs"
    port=$(bash scripts/pick-port.sh 18611)
    cat >"$prefix/nginx.conf" <<CONF
worker_processes 1;
daemon off;
user root;
error_log $prefix/logs/error.log;
pid $prefix/nginx.pid;
events { worker_connections 256; }
http {
    log_format sent '\$body_bytes_sent \$request_uri';
    access_log $prefix/logs/access.log sent;
    sendfile on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$port;
        root $pd;
        location /paced/ { alias $pd/; limit_rate 50000000; }
    }
}
CONF
    nginx -p "$prefix" -c "$prefix/nginx.conf" &
    nginx_pid=$!
    trap 'kill "$nginx_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 1 50); do curl -sf -o /dev/null "http://127.0.0.1:$port/edits/new.zsync" && break; sleep 0.1; done
    out="$results/patchday.txt"
    : >"$out"
    tool_run() {  # tool pair mbps: one run, prints "bytes seconds"
        local tool=$1 pair=$2 mbps=$3 base="http://127.0.0.1:$port"
        if [ "$mbps" = rtt ]; then base="http://127.0.0.1:$rtt_port"; elif [ "$mbps" != 0 ]; then base="$base/paced"; fi
        rm -rf "$pd/out" && mkdir -p "$pd/out" && sync
        : >"$prefix/logs/access.log"
        local start end
        start=$(date +%s.%N)
        if [ "$pair" = fewfiles ] && [ "$tool" = zsync ]; then
            for name in "${changed[@]}"; do
                (cd "$pd/out" && zsync -q -i "$fw/old/$name" -o "$name" "$base/fewfiles/zs/$name.zsync" >/dev/null)
            done
        elif [ "$pair" = fewfiles ]; then
            casync extract --store="$base/fewfiles/store.castr" --seed="$fw/old" \
                "$base/fewfiles/new.caidx" "$pd/out/tree" >/dev/null 2>&1
        elif [ "$tool" = zsync ]; then
            (cd "$pd/out" && zsync -q -i "$pd/$pair/old.pak" -o new.pak "$base/$pair/new.zsync" >/dev/null)
        else
            casync extract --store="$base/$pair/store.castr" --seed="$pd/$pair/old.pak" \
                "$base/$pair/new.caibx" "$pd/out/new.pak" >/dev/null 2>&1
        fi
        find "$pd/out" -type f -exec sync {} +
        end=$(date +%s.%N)
        if [ "$pair" = fewfiles ]; then
            local name got="$pd/out"
            [ "$tool" = casync ] && got="$pd/out/tree"
            for name in "${changed[@]}"; do
                cmp -s "$got/$name" "$fw/new/$name" ||
                    { echo "$tool $pair: wrong result" >&2; exit 1; }
            done
        else
            cmp -s "$pd/out/new.pak" "$pd/$pair/new.pak" || { echo "$tool $pair: wrong result" >&2; exit 1; }
        fi
        echo "$(awk '{s += $1} END {print s + 0}' "$prefix/logs/access.log") $(echo "$end - $start" | bc)"
    }
    # A link with a 20 ms round trip in front of nginx, for zsync; the launcher's own runs over
    # such a link follow (qs_bench_patch_day --rtt_ms=20).
    rtt_port=$(bash scripts/pick-port.sh 18711)
    python3 bench/delay_proxy.py "$rtt_port" "$port" 20 >/dev/null &
    rtt_pid=$!
    trap 'kill "$nginx_pid" "$rtt_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 1 50); do curl -sf -o /dev/null "http://127.0.0.1:$rtt_port/edits/new.zsync" && break; sleep 0.1; done
    for pair in ${PATCHDAY_PAIR:-edits shifted fewbytes fewfiles}; do
        for tool in zsync casync; do
            for mbps in 0 50 rtt; do
                [ "$tool/$mbps" = casync/rtt ] && continue  # seconds already without a round trip
                times=()
                for _ in $(seq 1 "$runs"); do
                    read -r bytes secs < <(tool_run "$tool" "$pair" "$mbps")
                    times+=("$secs")
                done
                median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
                if [ "$mbps" = rtt ]; then
                    echo "$tool-rtt $pair 0 $bytes $median" | tee -a "$out" >&2
                else
                    echo "$tool $pair $mbps $bytes $median" | tee -a "$out" >&2
                fi
            done
        done
    done
    kill "$nginx_pid" "$rtt_pid" 2>/dev/null || true
    wait "$nginx_pid" "$rtt_pid" 2>/dev/null || true
    trap - EXIT
    rm -rf "$pd/out"
    "$build/bench/qs_bench_patch_day" --data="$data" --runs="$runs" --pair="${PATCHDAY_PAIR:-}" |
        tee -a "$out" >&2
    "$build/bench/qs_bench_patch_day" --data="$data" --runs="$runs" --pair="${PATCHDAY_PAIR:-}" \
        --rtt_ms=20 | tee -a "$out" >&2
fi
if wants publish; then
    gbench publish qs_bench_publish --large=1
    # The first publish without the flush to disk: copying and hashing alone.
    LD_PRELOAD="$build/bench/libqs_skip_fsync.so" gbench publish-nofsync qs_bench_publish \
        --benchmark_filter=BM_PublishFirst
fi
if wants frame; then
    gbench frame qs_bench_frame
    # 60 Hz frames while a download, a digest pass and the start-up check of a 100,000-file
    # client run, beside frames with nothing running.
    echo "== frame-download" >&2
    "$build/bench/qs_bench_frame_download" --data="$data" --rounds=$((reps * 2)) --large=100000 |
        tee "$results/frame-download.txt" >&2
fi
wants replies && gbench replies qs_bench_replies
wants manifest && gbench manifest qs_bench_manifest
if wants cdn; then
    # 50 launchers' update runs at once through TLS edge -> Varnish -> origin nginx on loopback,
    # each with its own client folder: a 200-file, 20 MiB client, so the run stops by itself.
    echo "== cdn" >&2
    "$build/bench/qs_bench_cdn" --runs=50 --files=200 --mib=20 | tee "$results/cdn.txt" >&2
fi

if wants memory; then
    echo "== memory" >&2
    : >"$results/memory.txt"
    for i in $(seq 1 3); do
        "$build/bench/qs_bench_memory" --data="$data" | tee -a "$results/memory.txt" >&2
    done
    : >"$results/memory-500.txt"
    for i in $(seq 1 3); do
        "$build/bench/qs_bench_memory" --data="$data" --files=500 | tee -a "$results/memory-500.txt" >&2
    done
    # A 100,000-file client: the start-up check with a valid record, and the install.
    : >"$results/memory-check-100k.txt"
    for i in $(seq 1 3); do
        "$build/bench/qs_bench_memory" --data="$data" --files=100000 --check=1 |
            tee -a "$results/memory-check-100k.txt" >&2
    done
    "$build/bench/qs_bench_memory" --data="$data" --files=100000 |
        tee "$results/memory-install-100k.txt" >&2
fi

if wants startup; then
    echo "== startup" >&2
    display=:99
    n=99
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    display=":$n"
    Xvfb "$display" -screen 0 1280x760x24 +extension GLX -nolisten tcp >"$results/xvfb.log" 2>&1 &
    xvfb_pid=$!
    trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 1 50); do DISPLAY=$display xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
    "$build/bench/qs_bench_startup" --display="$display" --runs=$((reps * 2 - 1)) \
        --home="$data/startup-home" | tee "$results/startup.txt" >&2
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    trap - EXIT
fi

python3 - "$results" "${parts[@]}" <<'PY'
import json, os, platform, re, sys
results, parts = sys.argv[1], sys.argv[2:]

def medians(name):
    path = os.path.join(results, name + ".json")
    out = {}
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if b.get("aggregate_name") == "median":
                out[b["run_name"]] = b
    return out

def secs(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
    return b["real_time"] * scale, b["cpu_time"] * scale

cpu = "unknown"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
print()
print(f"Machine: {os.cpu_count()} cores (nproc {len(os.sched_getaffinity(0))}), {cpu}, "
      f"Linux {platform.release()}, load average {os.getloadavg()[0]:.2f}")
print("Medians of the repetitions; ratio = time / reference time (lower is faster).")
rows = []
def row(what, value, ratio="", target=""):
    rows.append((what, value, ratio, target))

if "verify" in parts:
    m = medians("verify")
    one, one_cpu = secs(m["BM_VerifyLauncher/one_core:1/iterations:1/process_time/real_time"])
    allc, all_cpu = secs(m["BM_VerifyLauncher/one_core:0/iterations:1/process_time/real_time"])
    sha = secs(m["BM_VerifySha256sum/iterations:1/real_time"])[0]
    ossl = secs(m["BM_VerifyOpensslDgst/iterations:1/real_time"])[0]
    sha_cpu = m["BM_VerifySha256sum/iterations:1/real_time"].get("tool_cpu_s", 0.0)
    ossl_cpu = m["BM_VerifyOpensslDgst/iterations:1/real_time"].get("tool_cpu_s", 0.0)
    gib = 2.0
    row("Verify 2 GiB / 2,000 files: openssl dgst -sha256 (1 core)", f"{ossl:.2f} s ({gib*1024/ossl:.0f} MiB/s)", "1.00", f"CPU {ossl_cpu:.2f} s")
    row("  sha256sum (1 core)", f"{sha:.2f} s ({gib*1024/sha:.0f} MiB/s)", f"{sha/ossl:.2f}", f"CPU {sha_cpu:.2f} s")
    row("  launcher planning pass, 1 core", f"{one:.2f} s ({gib*1024/one:.0f} MiB/s)", f"{one/ossl:.2f}", f"<= 1.10; CPU {one_cpu:.2f} s (x{one_cpu/ossl_cpu:.2f} of openssl)")
    row("  launcher planning pass, all cores", f"{allc:.2f} s ({gib*1024/allc:.0f} MiB/s)", f"{allc/ossl:.2f}", f"speed-up x{one/allc:.2f}; CPU {all_cpu:.2f} s")
    def v(name): return secs(m[f"{name}/iterations:1/real_time"])[0]
    manifest = v("BM_ManifestRequest")
    record = v("BM_CheckWithRecord"); touched = v("BM_CheckWithRecordOneTouched")
    repair = v("BM_CheckRepair")
    row("Start-up check, 2 GiB / 2,000 files, with the record", f"{record*1e3:.0f} ms", f"{record/allc:.3f}", f"{(record-manifest)*1e3:.0f} ms beyond the manifest request ({manifest*1e3:.0f} ms); goal <= 30 ms")
    row("  the same, one 1 MiB file touched since", f"{touched*1e3:.0f} ms", f"{touched/allc:.3f}")
    per_file = {}
    for files in (20000, 100000):
        check = m[f"BM_CheckWithRecordLarge/files:{files}/iterations:1/process_time/real_time"]
        wall, check_cpu = secs(check)
        request = v(f"BM_LargeManifestRequest/files:{files}")
        per_file[files] = (wall - request) / files
        row(f"  {files:,} files of 1 MiB (sparse), with the record", f"{wall*1e3:.0f} ms (CPU {check_cpu*1e3:.0f} ms)", "",
            f"{per_file[files]*1e6:.1f} us a file beyond the manifest request ({request*1e3:.0f} ms); goal <= 3 us")
    row("  cost per file, 100,000 against 20,000", "", f"{per_file[100000]/per_file[20000]:.2f}", "flat: 1.00")
    row("  repair (CHECK UPDATES), every file read", f"{repair:.2f} s", f"{repair/allc:.2f}", "as the verify pass")

for name, label in (("download", "durable"), ("download-20ms", "durable, 20 ms a reply"), ("download-nofsync", "fsync skipped")):
    if "download" not in parts:
        break
    m = medians(name)
    def t(bench): return secs(m[f"BM_Download{bench}/iterations:1/real_time"])[0]
    def has(bench): return f"BM_Download{bench}/iterations:1/real_time" in m
    curl_one = t("CurlOneConnection")
    launcher = t("Launcher"); single = t("LauncherOneAtATime")
    mib = 200.0
    row(f"Download 200 MiB / 500 files ({label}): curl, one connection, nothing made durable", f"{curl_one:.2f} s ({mib/curl_one:.0f} MiB/s)", "1.00")
    if has("CurlOneConnectionSynced"):
        row("  curl, one connection, then one syncfs (durable)", f"{t('CurlOneConnectionSynced'):.2f} s", f"{t('CurlOneConnectionSynced')/curl_one:.2f}")
    if has("CurlConnectionPerFile"):
        row("  curl, a connection per file", f"{t('CurlConnectionPerFile'):.2f} s", f"{t('CurlConnectionPerFile')/curl_one:.2f}")
    if has("CurlProcessPerFile"):
        row("  curl, a process per file", f"{t('CurlProcessPerFile'):.2f} s", f"{t('CurlProcessPerFile')/curl_one:.2f}")
    if has("CurlParallel4"):
        row("  curl --parallel --parallel-max 4", f"{t('CurlParallel4'):.2f} s", f"{t('CurlParallel4')/curl_one:.2f}")
    row("  launcher, one file at a time (as before)", f"{single:.2f} s ({mib/single:.0f} MiB/s)", f"{single/curl_one:.2f}")
    synced = f"; {launcher/t('CurlOneConnectionSynced'):.2f} of curl + syncfs" if has("CurlOneConnectionSynced") else ""
    row("  launcher, 4 transfers at once", f"{launcher:.2f} s ({mib/launcher:.0f} MiB/s)", f"{launcher/curl_one:.2f}", f"x{single/launcher:.2f} faster than one at a time{synced}")
    if has("LargeFileLauncher"):
        big, big_single = t("LargeFileLauncher"), t("LargeFileOneAtATime")
        row("  one 1 GiB file, 4 transfers / 1", f"{big:.2f} s / {big_single:.2f} s", f"{big/big_single:.2f}", "no slower")

if "smallfiles" in parts:
    m = medians("smallfiles")
    def t(bench, route): return secs(m[f"BM_SmallFiles{bench}/nginx:{route}/iterations:1/real_time"])[0]
    for route, label in ((0, "the stand-in (HTTP/1.1)"), (1, "nginx (HTTP/2 offered)")):
        aria = t("Aria2j16", route)
        launcher, four = t("Launcher", route), t("LauncherFourAtOnce", route)
        row(f"20,000 files of 4 KiB, 20 ms a reply, from {label}: aria2c -j16 (nothing durable)", f"{aria:.1f} s", "1.00")
        row("  launcher, 4 transfers at once (as before)", f"{four:.1f} s", f"{four/aria:.2f}")
        row("  launcher", f"{launcher:.1f} s", f"{launcher/aria:.2f}", f"x{four/launcher:.1f} faster than 4 at once; goal >= x5 and < aria2c")

if "publish" in parts:
    m = medians("publish")
    nf = medians("publish-nofsync")
    ossl = secs(m["BM_OpensslDgst/iterations:1/real_time"])[0]
    sha = secs(m["BM_Sha256sum/iterations:1/real_time"])[0]
    gib = 2.0
    row("First publish 2 GiB / 2,000 files: openssl dgst -sha256 (1 core)", f"{ossl:.2f} s ({gib*1024/ossl:.0f} MiB/s)", "1.00")
    row("  sha256sum (1 core)", f"{sha:.2f} s ({gib*1024/sha:.0f} MiB/s)", f"{sha/ossl:.2f}")
    for label, table in (("flushed to disk", m), ("fsync skipped", nf)):
        for core, name in ((1, "1 core"), (0, "all cores")):
            t = secs(table[f"BM_PublishFirst/one_core:{core}/iterations:1/process_time/real_time"])[0]
            row(f"  quillon-publish, {name}, {label}", f"{t:.2f} s ({gib*1024/t:.0f} MiB/s)", f"{t/ossl:.2f}")
    for arg, label in ((1, "one file changed"), (0, "nothing changed")):
        b = m[f"BM_Republish/one_changed:{arg}/iterations:1/real_time"]
        row(f"Republish 2 GiB / 2,000 files, {label}", f"{secs(b)[0]*1e3:.0f} ms", "", f"hashed {b.get('hashed_mib', 0):.1f} MiB")
    first = secs(m["BM_PublishLargeFirst/iterations:1/process_time/real_time"])[0]
    scan = secs(m["BM_ScanLarge/iterations:1/real_time"])[0]
    rl = m["BM_RepublishLarge/iterations:1/real_time"]
    again = secs(rl)[0]
    row("First publish 100,000 files of 1 KiB", f"{first:.2f} s")
    row("  the scan of their stamps alone", f"{scan*1e3:.0f} ms")
    row("  republish, one file changed", f"{again*1e3:.0f} ms", f"{again/scan:.2f}",
        f"its own scan {rl.get('scan_s', 0)*1e3:.0f} ms, then {rl.get('beyond_scan_s', 0)*1e3:.0f} ms; goal < 1 s beyond the scan")

if "patchday" in parts:
    got = {}
    for line in open(os.path.join(results, "patchday.txt")):
        if len(line.split()) != 5:
            continue
        tool, pair, mbps, nbytes, seconds = line.split()
        got[(tool, pair, int(mbps))] = (int(nbytes), float(seconds))
    names = {"edits": "256 MiB, 16 changed 64 KiB regions",
             "shifted": "256 MiB, 1 MiB in near the start, 1 MiB out near the end",
             "fewbytes": "256 MiB, 16 scattered 8-byte edits",
             "fewfiles": "3 of 200 files of 1 MiB with a 64 KiB region rewritten"}
    for pair, label in names.items():
        l, z, c = (got.get((t, pair, 0)) for t in ("launcher", "zsync", "casync"))
        if not (l and z and c):
            continue
        row(f"Patch day, {label}: bytes launcher / zsync / casync",
            f"{l[0]/2**20:.2f} / {z[0]/2**20:.2f} / {c[0]/2**20:.2f} MiB",
            f"{l[0]/min(z[0], c[0]):.2f}", "launcher / the lesser tool; <= 1")
        for mbps in (0, 50):
            l, z, c, w = (got.get((t, pair, mbps)) for t in ("launcher", "zsync", "casync", "whole"))
            link = "loopback" if mbps == 0 else "50 MB/s"
            row(f"  time to the file flushed, {link}: launcher / zsync / casync / whole download",
                f"{l[1]:.2f} / {z[1]:.2f} / {c[1]:.2f} / {w[1]:.2f} s", f"{l[1]/z[1]:.2f}",
                "launcher / zsync; < 1")
            u = got.get(("unseen", pair, mbps))
            if u:
                row(f"    on a copy the launcher never saw, {link}", f"{u[1]:.2f} s", f"{u[1]/z[1]:.2f}",
                    "launcher / zsync")
        l, z, w = (got.get((t, pair, 0)) for t in ("launcher-rtt", "zsync-rtt", "whole-rtt"))
        if l and z and w:
            row("  time to the file flushed, 20 ms round trip: launcher / zsync / whole download",
                f"{l[1]:.2f} / {z[1]:.2f} / {w[1]:.2f} s", f"{l[1]/z[1]:.2f}", "launcher / zsync; < 1")

if "memory" in parts:
    text = open(os.path.join(results, "memory.txt")).read()
    peaks = sorted(int(v) for v in re.findall(r"^peak_rss_kib (\d+)", text, re.M))
    speeds = sorted(float(v) for v in re.findall(r"^mib_per_second ([\d.]+)", text, re.M))
    row("Peak RSS, one 1 GiB download", f"{peaks[len(peaks)//2]/1024:.1f} MiB (max {peaks[-1]/1024:.1f})", "", "< 64 MiB")
    row("  its speed", f"{speeds[len(speeds)//2]:.0f} MiB/s")
    text = open(os.path.join(results, "memory-500.txt")).read()
    peaks = sorted(int(v) for v in re.findall(r"^peak_rss_kib (\d+)", text, re.M))
    row("Peak RSS, 200 MiB / 500 files, 4 transfers at once", f"{peaks[len(peaks)//2]/1024:.1f} MiB (max {peaks[-1]/1024:.1f})", "", "< 64 MiB")
    for name, label in (("memory-check-100k", "start-up check of 100,000 files with the record"),
                        ("memory-install-100k", "install of 100,000 files of 2 KiB")):
        text = open(os.path.join(results, name + ".txt")).read()
        peaks = sorted(int(v) for v in re.findall(r"^peak_rss_kib (\d+)", text, re.M))
        row(f"Peak RSS, {label}", f"{peaks[len(peaks)//2]/1024:.1f} MiB", "", "< 64 MiB")

if "frame" in parts:
    m = medians("frame")
    for page in ("Home", "News"):
        b = m[f"BM_Frame{page}"]
        real, cpu_s = secs(b)
        row(f"Frame, {page} page (CPU time, headless)", f"{cpu_s*1e3:.3f} ms ({int(b.get('vertices', 0))} vertices)", "", "< 0.3 ms")
    phases = {}
    for line in open(os.path.join(results, "frame-download.txt")):
        fields = line.split()
        if len(fields) > 1 and len(fields) % 2 == 1:
            phases[fields[0]] = dict(zip(fields[1::2], map(float, fields[2::2])))
    labels = {"idle": "nothing running", "download": "during a 4-transfer download (500 files)",
              "check": "during the digest pass (repair)",
              "plan": "while a 100,000-file client's start-up check makes its plan"}
    for phase, label in labels.items():
        p = phases.get(phase)
        if p:
            row(f"60 Hz frame, Home page, {label}: start late / own time, median (p99)",
                f"{p['late_ms_median']:.2f} ({p['late_ms_p99']:.2f}) / {p['work_ms_median']:.2f} ({p['work_ms_p99']:.2f}) ms",
                "", f"{int(p['missed'])} of {int(p['frames'])} frames missed their tick")

if "replies" in parts:
    for name, b in medians("replies").items():
        kind = name.split("/")[1] + ", " + name.split("/")[2].replace("_", " ")
        row(f"Worst reply at its cap: {kind} ({b['reply_mib']:.2f} MiB)",
            f"{secs(b)[0]*1e3:.1f} ms, peak {b['peak_mib']:.1f} MiB", "", "peak < 64 MiB")

if "startup" in parts:
    text = open(os.path.join(results, "startup.txt")).read()
    med = float(re.search(r"first_frame_ms_median ([\d.]+)", text).group(1))
    lo = float(re.search(r"first_frame_ms_min ([\d.]+)", text).group(1))
    hi = float(re.search(r"first_frame_ms_max ([\d.]+)", text).group(1))
    row("Start-up to first presented frame (Xvfb, llvmpipe)", f"{med:.0f} ms (min {lo:.0f}, max {hi:.0f})")

if "cdn" in parts:
    text = open(os.path.join(results, "cdn.txt")).read()
    runs = re.search(r"(\d+) simultaneous runs: (\d+) failed, all done in ([\d.]+) s, slowest ([\d.]+) s = ([\d.]+)x", text)
    alone = float(re.search(r"one run alone \(cold cache, median of 3\): ([\d.]+) s", text).group(1))
    bodies = re.search(r"file bodies: (\d+) reached the origin, (\d+) served", text)
    mib = re.search(r"bytes: ([\d.]+) MiB from the origin, ([\d.]+) MiB served", text)
    row(f"Cache tier: {runs.group(1)} simultaneous runs, slowest against one alone ({alone:.2f} s)",
        f"{float(runs.group(4)):.2f} s", runs.group(5), f"{runs.group(2)} failed")
    row("Cache tier: file bodies from the origin / served to launchers", f"{bodies.group(1)} / {bodies.group(2)}",
        "", "goal: each file once per cache")
    row("Cache tier: MiB from the origin / served to launchers", f"{mib.group(1)} / {mib.group(2)}",
        f"{float(mib.group(1)) / float(mib.group(2)):.3f}", "")

w = max(len(r[0]) for r in rows) if rows else 0
v = max(len(r[1]) for r in rows) if rows else 0
print(f"{'Measurement':<{w}}  {'Median':<{v}}  {'Ratio':>5}  Target/note")
for what, value, ratio, target in rows:
    print(f"{what:<{w}}  {value:<{v}}  {ratio:>5}  {target}")
PY
