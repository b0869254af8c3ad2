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

large_mib=1024
files=1000
. "$(dirname "$0")/lib.sh"
bench_args "$@"
bench_build parcelvane pv-packer bench_password
need_tools curl rclone
[ "$(id -u)" -eq 0 ] || fail "needs root (the test server's CA goes into the trust store)"
bench_work webdav
stop_servers() { bash "$src/tests/servers/webdav.sh" stop "$work"; }

bash "$src/tests/servers/webdav.sh" start "$work" >/dev/null
# shellcheck disable=SC1091
. "$work/webdav.env"
dav_root=$WEBDAV_NGINX_ROOT/dav
base_url="http://127.0.0.1:$WEBDAV_NGINX_PORT/dav"
stored_password=$("$build/bench/bench_password" "$WEBDAV_PASSWORD")
mkdir -p "$dav_root/road" && chown www-data:www-data "$dav_root/road"

# Moves the staged files into the hot folder at once and waits for n in
# "Done"; sets after (first hand-over to last move into "Done", in s).
drop_and_wait() { # n
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    wait_done "$1"
    after=$(road_secs)
}

# An instance with one destination "Road" delivering into /dav/road/ of nginx.
start_dav_instance() {
    start_instance "WebDAV Server" 127.0.0.1 "$WEBDAV_NGINX_PORT" dav/road "$WEBDAV_USER" \
        "$stored_password" "<key>overwriteBtn</key><integer>1</integer>"
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

    start_dav_instance
    drop_and_wait 1
    [ "$(stat -c %s "$dav_root/road/large.bin")" -eq $((large_mib * 1024 * 1024)) ] ||
        { echo "large file not delivered whole" >&2; exit 1; }
    stop_instance
    curl_second=$(curl_put "$dav_root/road/large.bin")
    curl_large=$(best "$curl_first" "$curl_second")
    rm -f "$dav_root/road/large.bin"
    printf '1 file x %s MiB: road %ss (%s MiB/s), curl -T %ss (%s MiB/s; runs %ss, %ss), curl/road %s\n' \
        "$large_mib" "$after" "$(rate "$large_mib" "$after")" "$curl_large" \
        "$(rate "$large_mib" "$curl_large")" "$curl_first" "$curl_second" \
        "$(ratio "$curl_large" "$after")"
    rm -rf "$stage"
fi

# --- a burst of small files -----------------------------------------------------
if [ "$files" -gt 0 ]; then
    stage_burst "$files"

    mkdir -p "$dav_root/rclone" && chown www-data:www-data "$dav_root/rclone"
    t0=$(now)
    RCLONE_WEBDAV_PASS=$(rclone obscure "$WEBDAV_PASSWORD") rclone copy --config /dev/null \
        "$stage" ":webdav,url='$base_url/',user=$WEBDAV_USER:rclone" 2>"$work/rclone.err" ||
        { echo "rclone failed: $(tail -3 "$work/rclone.err")" >&2; exit 1; }
    t1=$(now)
    rclone_small=$(secs "$t0" "$t1")
    [ "$(ls -U "$dav_root/rclone" | wc -l)" -eq "$files" ] || { echo "rclone copied too few" >&2; exit 1; }

    start_dav_instance
    drop_and_wait "$files"
    delivered=$(ls -U "$dav_root/road" | wc -l)
    [ "$delivered" -eq "$files" ] || { echo "only $delivered of $files delivered" >&2; exit 1; }
    stop_instance
    printf '%s files x 4 KiB: road %ss (%s files/s), rclone copy %ss (%s files/s)\n' \
        "$files" "$after" "$(rate "$files" "$after")" "$rclone_small" \
        "$(rate "$files" "$rclone_small")"
    rm -rf "$stage"
fi
