#!/bin/bash
# WebDAV deliveries on a running `parcelvane --headless` to a private nginx
# WebDAV server on 127.0.0.1 (tests/servers/webdav.sh), beside standard clients
# sending the same data to the same server in the same run:
#   - one large file (default 1 GiB) beside `curl -T` with the same headers
#     (User-Agent, Content-Type, Basic authentication); the ratio curl/road is
#     the figure (1.0 = as fast as curl)
#   - a burst of small files (default 1,000) dropped at once into the hot
#     folder, beside `rclone copy` to a `:webdav,url=...:` remote; files/s
# The road is timed from the hand-over of the first item by the hot-folder
# watcher to the move of the last source into "Done", so the watcher's
# stability wait is left out.
#
# Usage: bench/bench_webdav.sh [--build DIR] [--work DIR] [--large-mib N] [--files N]
#   --build DIR    build tree with src/parcelvane and bench/bench_password
#                  (default: build-bench, configured and built in Release)
#   --work DIR     scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --large-mib N  size of the large file; 0 skips it
#   --files N      size of the burst; 0 skips it
# Needs root (the test server puts its CA into the system trust store).
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build=""
work=""
large_mib=1024
files=1000
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --large-mib) large_mib=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--work DIR] [--large-mib N] [--files N]" >&2; exit 2 ;;
    esac
done

if [ -z "$build" ]; then
    build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
        -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
    cmake --build "$build" --target parcelvane bench_password -j2 >/dev/null
fi
exe="$build/src/parcelvane"
[ -x "$exe" ] || { echo "no $exe" >&2; exit 1; }
[ -x "$build/bench/bench_password" ] || { echo "no $build/bench/bench_password" >&2; exit 1; }
for tool in curl rclone; do
    command -v $tool >/dev/null || { echo "$tool not found: scripts/install-deps.sh" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (the test server's CA goes into the trust store)" >&2; exit 1; }

own_work=0
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/pv-webdav.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
chmod 755 "$work"

pid=""
servers=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    [ -n "$servers" ] && bash "$src/tests/servers/webdav.sh" stop "$servers" >/dev/null
    [ "$own_work" -eq 1 ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }
stamp_of() { # first|last text log
    if [ "$1" = first ]; then
        awk -v t="$2" 'index($0, t) { print $1; exit }' "$3"
    else
        awk -v t="$2" 'index($0, t) { l = $1 } END { print l }' "$3"
    fi
}

bash "$src/tests/servers/webdav.sh" start "$work" >/dev/null
servers=$work
# shellcheck disable=SC1091
. "$work/webdav.env"
dav_root=$WEBDAV_NGINX_ROOT/dav
base_url="http://127.0.0.1:$WEBDAV_NGINX_PORT/dav"
stored_password=$("$build/bench/bench_password" "$WEBDAV_PASSWORD")
mkdir -p "$dav_root/road" && chown www-data:www-data "$dav_root/road"

# An instance with one destination "Road" delivering into /dav/road/ of nginx.
start_instance() {
    local home=$work/home
    rm -rf "$home"
    mkdir -p "$home/tmp" "$home/config/Tallowin" "$home/data/Tallowin/Parcelvane/Destinations"
    for sub in "" Priority Errors Done; do mkdir -p "$home/hot/Road/$sub"; done
    printf '[General]\nwatchInterval=1\nrecentItems=50\n' >"$home/config/Tallowin/Parcelvane.conf"
    cat >"$home/data/Tallowin/Parcelvane/Destinations/Road.dest" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Road</string>
  <key>QFDestType</key><string>WebDAV Server</string>
  <key>type</key><integer>0</integer>
  <key>hostField</key><string>127.0.0.1</string>
  <key>QFPort</key><string>$WEBDAV_NGINX_PORT</string>
  <key>pathField</key><string>dav/road</string>
  <key>userField</key><string>$WEBDAV_USER</string>
  <key>sitePasswordField</key><string>$stored_password</string>
  <key>QFHotfolder</key><string>$home/hot/Road</string>
  <key>sendFTPBtn</key><integer>1</integer>
  <key>sendEmailBtn</key><integer>0</integer>
  <key>overwriteBtn</key><integer>1</integer>
</dict>
</plist>
EOF
    log=$work/road.log
    : >"$log"
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$home/data" \
        XDG_CONFIG_HOME="$home/config" TMPDIR="$home/tmp" "$exe" --headless \
        > >(perl -MTime::HiRes=time -ne 'BEGIN { $| = 1 } printf "%.6f %s", time, $_' >"$log") 2>&1 &
    pid=$!
    local waited=0
    until grep -q "startWatching" "$log"; do
        sleep 0.1
        waited=$((waited + 1))
        [ $waited -lt 300 ] || { echo "parcelvane did not start:" >&2; cat "$log" >&2; exit 1; }
    done
    hot=$home/hot/Road
}

stop_instance() {
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
}

# Moves the staged files into the hot folder at once and waits for n in
# "Done"; sets after (first hand-over to last move into "Done", in s).
drop_and_wait() { # n
    local n=$1 start
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    start=$(now)
    while [ "$(ls -U "$hot/Done" | wc -l)" -lt "$n" ]; do
        if [ "$(ls -U "$hot/Errors" | wc -l)" -gt 1 ]; then
            echo "deliveries failed:" >&2
            grep -i error "$log" | tail -5 >&2
            exit 1
        fi
        [ "$(secs "$start" "$(now)" | cut -d. -f1)" -lt 3600 ] || { echo "timed out" >&2; exit 1; }
        sleep 0.05
    done
    sleep 0.3
    after=$(secs "$(stamp_of first "hot folder item ready" "$log")" \
        "$(stamp_of last "---> moveFile:" "$log")")
}

echo "parcelvane WebDAV benchmark: nginx on 127.0.0.1 ($(nproc) CPUs)"
echo "binary: $exe"

# --- one large file -------------------------------------------------------------
if [ "$large_mib" -gt 0 ]; then
    stage=$work/stage-large
    rm -rf "$stage"
    mkdir -p "$stage"
    head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$stage/large.bin"

    # curl before and after the road, the faster run counts: the machine's
    # other work makes single runs vary.
    curl_put() {
        local t0 t1 code
        t0=$(now)
        code=$(curl -s -o /dev/null -w '%{http_code}' -T "$1" \
            -u "$WEBDAV_USER:$WEBDAV_PASSWORD" -H "User-Agent: WebDAVTransferController" \
            -H "Content-Type: application/octet-stream" "$base_url/curl-large.bin")
        t1=$(now)
        [ "$code" = 201 ] || [ "$code" = 204 ] || { echo "curl -T answered $code" >&2; exit 1; }
        rm -f "$dav_root/curl-large.bin"
        secs "$t0" "$t1"
    }
    curl_first=$(curl_put "$stage/large.bin")

    start_instance
    drop_and_wait 1
    [ "$(stat -c %s "$dav_root/road/large.bin")" -eq $((large_mib * 1024 * 1024)) ] ||
        { echo "large file not delivered whole" >&2; exit 1; }
    stop_instance
    curl_second=$(curl_put "$dav_root/road/large.bin")
    curl_large=$(awk -v a="$curl_first" -v b="$curl_second" 'BEGIN { print (a < b ? a : b) }')
    rm -f "$dav_root/road/large.bin"
    printf '1 file x %s MiB: road %ss (%s MiB/s), curl -T %ss (%s MiB/s; runs %ss, %ss), curl/road %s\n' \
        "$large_mib" "$after" "$(rate "$large_mib" "$after")" "$curl_large" \
        "$(rate "$large_mib" "$curl_large")" "$curl_first" "$curl_second" \
        "$(ratio "$curl_large" "$after")"
    rm -rf "$stage"
fi

# --- a burst of small files -----------------------------------------------------
if [ "$files" -gt 0 ]; then
    stage=$work/stage-small
    rm -rf "$stage"
    mkdir -p "$stage"
    head -c $((files * 4096)) /dev/urandom >"$work/blob"
    split -a 5 -d -b 4096 "$work/blob" "$stage/f" && rm -f "$work/blob"

    mkdir -p "$dav_root/rclone" && chown www-data:www-data "$dav_root/rclone"
    t0=$(now)
    RCLONE_WEBDAV_PASS=$(rclone obscure "$WEBDAV_PASSWORD") rclone copy --config /dev/null \
        "$stage" ":webdav,url='$base_url/',user=$WEBDAV_USER:rclone" 2>"$work/rclone.err" ||
        { echo "rclone failed: $(tail -3 "$work/rclone.err")" >&2; exit 1; }
    t1=$(now)
    rclone_small=$(secs "$t0" "$t1")
    [ "$(ls -U "$dav_root/rclone" | wc -l)" -eq "$files" ] || { echo "rclone copied too few" >&2; exit 1; }

    start_instance
    drop_and_wait "$files"
    delivered=$(ls -U "$dav_root/road" | wc -l)
    [ "$delivered" -eq "$files" ] || { echo "only $delivered of $files delivered" >&2; exit 1; }
    stop_instance
    printf '%s files x 4 KiB: road %ss (%s files/s), rclone copy %ss (%s files/s)\n' \
        "$files" "$after" "$(rate "$files" "$after")" "$rclone_small" \
        "$(rate "$files" "$rclone_small")"
    rm -rf "$stage"
fi
