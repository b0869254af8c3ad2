#!/bin/bash
# Deliveries to an S3 bucket (the private s3rver of tests/servers/s3.sh, behind TLS on
# 127.0.0.1:443) beside standard clients of the same server in the same run:
#   - one large file (default 1 GiB) PUT through DeliveryTransfer (bench_s3put) and with
#     `curl -T` carrying the same headers (Date, Content-Type, User-Agent and a version 2
#     signature computed here with openssl); MB/s and the ratio
#   - a burst of small files (default 1,000) through the whole pipeline (`parcelvane
#     --headless`, hot folder to "Done") beside `rclone copy` to the same bucket; files/s
#     (the pipeline's figure is taken after the first hand-over, as in bench_road.sh: the
#     hot folder's size probes come before it)
#
# Usage: bench/bench_s3.sh [--build DIR] [--work DIR] [--files N] [--large-mib N] [--runs N]
#   --build DIR   build tree with src/parcelvane and bench/bench_s3put (default: build-bench,
#                 configured and built in Release)
#   --work DIR    scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --runs N      puts of the large file per client, taking turns; the best counts (default 5)
# Needs root (the test server binds 443 and edits /etc/hosts), node/npm, nginx, curl, rclone.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build=""
work=""
files=1000
large_mib=1024
runs=5
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --large-mib) large_mib=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--work DIR] [--files N] [--large-mib N] [--runs N]" >&2; exit 2 ;;
    esac
done

if [ -z "$build" ]; then
    build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
        -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
    cmake --build "$build" --target parcelvane pv-packer bench_s3put bench_password -j1 >/dev/null
fi
for tool in curl rclone openssl perl python3; do
    command -v $tool >/dev/null || { echo "$tool not found: run scripts/install-deps.sh" >&2; exit 1; }
done

own_work=0
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/pv-s3bench.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
servers=$work/servers
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    "$src/tests/servers/s3.sh" stop "$servers" >/dev/null 2>&1 || true
    [ "$own_work" -eq 1 ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT

"$src/tests/servers/s3.sh" start "$servers" >/dev/null
# shellcheck disable=SC1091
. "$servers/s3.env"
bucket=$S3_BENCH_BUCKET
store=$S3_DATA_DIR/$bucket
secret_esc=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$S3_SECRET")
url="https://$S3_ACCESS_KEY:$secret_esc@$bucket.$S3_SERVICE_HOST"

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }
mbs() { awk -v m="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", m * 1.048576 / s; else print "-" }'; }

# The application's settings: the service host of the test server.
home=$work/home
mkdir -p "$home/tmp" "$home/config/Tallowin" "$home/data/Tallowin/Parcelvane/Destinations"
printf '[General]\nwatchInterval=1\nrecentItems=50\nS3ServiceHost=%s\n' "$S3_SERVICE_HOST" \
    >"$home/config/Tallowin/Parcelvane.conf"
appenv=(env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$home/data"
    XDG_CONFIG_HOME="$home/config" TMPDIR="$home/tmp")

echo "S3 benchmark against s3rver $(node -p "require('$servers/s3/npm/node_modules/s3rver/package.json').version") behind nginx TLS ($(nproc) CPUs)"

# --- one large file ---------------------------------------------------------
if [ "$large_mib" -gt 0 ]; then
    large=$work/large.bin
    head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$large"

    # The server does most of the work (and other processes share the machine): each client
    # puts the file $runs times, the two taking turns, and the best time of each counts.
    pv_put() {
        "${appenv[@]}" "$build/bench/bench_s3put" "$large" "$url" 2>>"$work/bench_s3put.err" ||
            { echo "bench_s3put failed: $(tail -n 5 "$work/bench_s3put.err")" >&2; exit 1; }
        [ "$(stat -c %s "$store/large.bin._S3rver_object")" -eq $((large_mib * 1024 * 1024)) ] ||
            { echo "the delivery did not store the whole file" >&2; exit 1; }
        rm -f "$store"/large.bin._S3rver_*
    }
    # The same request by hand: the headers the controller sends, signed the same way.
    curl_put() {
        local date_hdr type=application/octet-stream sig
        date_hdr=$(LC_ALL=C date -u '+%a, %-d %b %Y %H:%M:%S +0000')
        sig=$(printf 'PUT\n\n%s\n%s\n/%s/curl-large.bin' "$type" "$date_hdr" "$bucket" |
            openssl dgst -sha1 -hmac "$S3_SECRET" -binary | base64)
        curl -sS -f -o /dev/null -w '%{time_total}\n' -T "$large" \
            -A SecureAmazonS3TransferController -H "Date: $date_hdr" -H "Content-Type: $type" \
            -H "Authorization: AWS $S3_ACCESS_KEY:$sig" \
            "https://$bucket.$S3_SERVICE_HOST/curl-large.bin"
        [ "$(stat -c %s "$store/curl-large.bin._S3rver_object")" -eq $((large_mib * 1024 * 1024)) ] ||
            { echo "curl did not store the whole file" >&2; exit 1; }
        rm -f "$store"/curl-large.bin._S3rver_*
    }
    pv_times=()
    curl_times=()
    for ((i = 0; i < runs; i++)); do
        if ((i % 2 == 0)); then
            pv_times+=("$(pv_put)")
            curl_times+=("$(curl_put)")
        else
            curl_times+=("$(curl_put)")
            pv_times+=("$(pv_put)")
        fi
    done
    rm -f "$large"
    best() { printf '%s\n' "$@" | sort -g | head -n 1; }
    pv_large=$(best "${pv_times[@]}")
    curl_large=$(best "${curl_times[@]}")
    printf '%-24s DeliveryTransfer %7ss (%s MB/s)   curl -T %7ss (%s MB/s)   throughput ratio %s\n' \
        "1 file x ${large_mib} MiB" "$pv_large" "$(mbs "$large_mib" "$pv_large")" "$curl_large" \
        "$(mbs "$large_mib" "$curl_large")" "$(ratio "$curl_large" "$pv_large")"
    echo "  all runs (s): DeliveryTransfer ${pv_times[*]}; curl ${curl_times[*]}"
fi

# --- a burst of small files -------------------------------------------------
[ "$files" -gt 0 ] || exit 0
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage"
head -c $((files * 4096)) /dev/urandom >"$work/blob"
split -a 5 -d -b 4096 "$work/blob" "$stage/f" && rm -f "$work/blob"

t0=$(now)
# The SDK under rclone fails on a CA bundle named in AWS_CA_BUNDLE; the system store serves.
env -u AWS_CA_BUNDLE RCLONE_S3_ACCESS_KEY_ID=$S3_ACCESS_KEY RCLONE_S3_SECRET_ACCESS_KEY=$S3_SECRET \
    rclone copy --config /dev/null "$stage" \
    ":s3,provider=Other,endpoint='https://$S3_SERVICE_HOST':$bucket/rclone" 2>"$work/rclone.err" ||
    { echo "rclone failed: $(tail -n 5 "$work/rclone.err")" >&2; exit 1; }
t1=$(now)
rclone_burst=$(secs "$t0" "$t1")
copied=$(find "$store/rclone" -name '*._S3rver_object' | wc -l)
[ "$copied" -eq "$files" ] || { echo "rclone stored $copied of $files" >&2; exit 1; }

password=$("$build/bench/bench_password" "$S3_SECRET")
hot=$home/hot/Burst
for sub in "" Priority Errors Done; do mkdir -p "$hot/$sub"; done
cat >"$home/data/Tallowin/Parcelvane/Destinations/Burst.dest" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Burst</string>
  <key>QFDestType</key><string>Amazon S3</string>
  <key>type</key><integer>0</integer>
  <key>hostField</key><string>$S3_SERVICE_HOST</string>
  <key>pathField</key><string>$bucket</string>
  <key>userField</key><string>$S3_ACCESS_KEY</string>
  <key>sitePasswordField</key><string>$password</string>
  <key>QFHotfolder</key><string>$hot</string>
  <key>sendFTPBtn</key><integer>1</integer>
  <key>sendEmailBtn</key><integer>0</integer>
  <key>overwriteBtn</key><integer>0</integer>
</dict>
</plist>
EOF
log=$work/burst.log
: >"$log"
# Every log line gets the time it was written.
"${appenv[@]}" "$build/src/parcelvane" --headless \
    > >(perl -MTime::HiRes=time -ne 'BEGIN { $| = 1 } printf "%.6f %s", time, $_' >"$log") 2>&1 &
pid=$!
waited=0
until grep -q "startWatching" "$log"; do
    sleep 0.1
    waited=$((waited + 1))
    [ $waited -lt 300 ] || { echo "parcelvane did not start:" >&2; cat "$log" >&2; exit 1; }
done
t0=$(now)
find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
while [ "$(ls -U "$hot/Done" | wc -l)" -lt "$files" ]; do
    [ "$(ls -U "$hot/Errors" | wc -l)" -eq 0 ] || { echo "deliveries failed:" >&2; tail -n 20 "$log" >&2; exit 1; }
    [ "$(secs "$t0" "$(now)" | cut -d. -f1)" -lt 3600 ] || { echo "timed out" >&2; exit 1; }
    sleep 0.05
done
t_end=$(now)
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
pid=""
first_ready=$(awk 'index($0, "hot folder item ready") { print $1; exit }' "$log")
last_move=$(awk 'index($0, "---> moveFile:") { l = $1 } END { print l }' "$log")
after=$(secs "$first_ready" "$last_move")
delivered=$(find "$store" -maxdepth 1 -name 'f*._S3rver_object' | wc -l)
[ "$delivered" -eq "$files" ] || { echo "only $delivered of $files stored" >&2; exit 1; }
printf '%-24s pipeline %7ss (after hand-over %ss)   rclone copy %7ss\n' \
    "$files files x 4 KiB" "$(secs "$t0" "$t_end")" "$after" "$rclone_burst"
printf '  files/s: pipeline after hand-over %s, rclone copy %s; pipeline/rclone %s\n' \
    "$(rate "$files" "$after")" "$(rate "$files" "$rclone_burst")" \
    "$(ratio "$rclone_burst" "$after")"
