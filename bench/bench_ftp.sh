#!/bin/bash
# FTP and FTPS deliveries against the private vsftpd of tests/servers/ftp.sh
# (127.0.0.1; needs root), beside standard clients in the same run:
#   - one large file (default 1 GiB) through DeliveryTransfer and with
#     `curl -T`; the ratio curl time / our time (target: at least 0.9)
#   - a burst of small files (default 1,000) through the whole road, hot
#     folder to "Done", of a running `parcelvane --headless`, beside
#     `lftp -e 'mirror -R'` of the same files; files/s for both, over FTP and
#     over explicit FTPS
#
# Usage: bench/bench_ftp.sh [--build DIR] [--work DIR] [--files N] [--large-mib N]
#   --build DIR   build tree with src/parcelvane, bench/bench_password and
#                 bench/bench_ftp_upload (default: build-bench, configured and
#                 built in Release like bench/run.sh)
#   --work DIR    scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --files N     burst size (0 skips the bursts)
#   --large-mib N size of the large file (0 skips it)
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build=""
work=""
files=1000
large_mib=1024
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --large-mib) large_mib=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--work DIR] [--files N] [--large-mib N]" >&2; exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "needs root (the FTP servers switch users)" >&2; exit 1; }
command -v lftp >/dev/null || { echo "lftp not found (scripts/install-deps.sh)" >&2; exit 1; }

if [ -z "$build" ]; then
    build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
        -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
    cmake --build "$build" --target parcelvane bench_password bench_ftp_upload -j1 >/dev/null
fi
exe="$build/src/parcelvane"

own_work=0
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/pv-ftp.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
chmod 0755 "$work"

pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    "$src/tests/servers/ftp.sh" stop "$work/servers" >/dev/null 2>&1 || true
    [ "$own_work" -eq 1 ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }

"$src/tests/servers/ftp.sh" start "$work/servers" >/dev/null
# shellcheck disable=SC1091
. "$work/servers/ftp.env"
user_esc=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$FTP_USER")
pass_esc=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$FTP_PASSWORD")
server_url="ftp://$user_esc:$pass_esc@$FTP_HOST:$FTP_PORT"

echo "parcelvane FTP benchmark ($(nproc) CPUs; the machine may be shared, figures are taken as they come)"

# --- one large file -------------------------------------------------------------
if [ "$large_mib" -gt 0 ]; then
    head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$work/large.bin"
    mkdir -p "$FTP_ROOT/ours"
    chown "$FTP_USER" "$FTP_ROOT/ours"
    ours=$("$build/bench/bench_ftp_upload" "$work/large.bin" "$server_url/%2Fours")
    [ "$(stat -c %s "$FTP_ROOT/ours/large.bin")" -eq $((large_mib * 1024 * 1024)) ] ||
        { echo "large file not delivered whole" >&2; exit 1; }
    rm -f "$FTP_ROOT/ours/large.bin"
    t0=$(now)
    curl -s -T "$work/large.bin" "$server_url/curl.bin"
    t1=$(now)
    theirs=$(secs "$t0" "$t1")
    rm -f "$FTP_ROOT/curl.bin" "$work/large.bin"
    printf '1 file x %s MiB: DeliveryTransfer %ss (%s MiB/s), curl -T %ss; curl/ours %s (target >= 0.9)\n' \
        "$large_mib" "$ours" "$(rate "$large_mib" "$ours")" "$theirs" "$(ratio "$theirs" "$ours")"
fi

[ "$files" -gt 0 ] || exit 0
password_stored=$("$build/bench/bench_password" "$FTP_PASSWORD")

# Starts an instance with one destination "Road" (FTP Server or FTPS) into the
# server's folder "road-TYPE", hot folder $work/home/hot/Road.
start_instance() { # type-name folder
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
  <key>QFDestType</key><string>$1</string>
  <key>type</key><integer>0</integer>
  <key>hostField</key><string>$FTP_HOST</string>
  <key>QFPort</key><string>$FTP_PORT</string>
  <key>pathField</key><string>/$2</string>
  <key>userField</key><string>$FTP_USER</string>
  <key>sitePasswordField</key><string>$password_stored</string>
  <key>QFHotfolder</key><string>$home/hot/Road</string>
  <key>sendFTPBtn</key><integer>1</integer>
  <key>sendEmailBtn</key><integer>0</integer>
</dict>
</plist>
EOF
    log=$work/road.log
    : >"$log"
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
        TMPDIR="$home/tmp" "$exe" --headless \
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

burst() { # n type-name folder lftp-settings
    local n=$1 stage=$work/stage
    rm -rf "$stage"
    mkdir -p "$stage"
    head -c $((n * 4096)) /dev/urandom >"$work/blob"
    split -a 5 -d -b 4096 "$work/blob" "$stage/f" && rm -f "$work/blob"

    mkdir -p "$FTP_ROOT/$3" "$FTP_ROOT/lftp-$3"
    chown "$FTP_USER" "$FTP_ROOT/$3" "$FTP_ROOT/lftp-$3"
    local t0 t1
    t0=$(now)
    lftp -u "$FTP_USER,$FTP_PASSWORD" -p "$FTP_PORT" \
        -e "$4; set net:max-retries 1; mirror -R $stage /lftp-$3; quit" "$FTP_HOST" >/dev/null
    t1=$(now)
    local lftp_s
    lftp_s=$(secs "$t0" "$t1")
    [ "$(ls -U "$FTP_ROOT/lftp-$3" | wc -l)" -eq "$n" ] || { echo "lftp put too few" >&2; exit 1; }

    start_instance "$2" "$3"
    # The time from the drop to the last source in "Done": it includes the hot
    # folder's scan interval and the two size probes of each item.
    t0=$(now)
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    while [ "$(ls -U "$hot/Done" | wc -l)" -lt "$n" ]; do
        sleep 0.05
        if [ "$(ls -U "$hot/Errors" | wc -l)" -gt 0 ]; then
            echo "deliveries failed:" >&2
            tail -n 20 "$log" >&2
            exit 1
        fi
    done
    t1=$(now)
    stop_instance
    local road
    road=$(secs "$t0" "$t1")
    [ "$(ls -U "$FTP_ROOT/$3" | wc -l)" -eq "$n" ] || { echo "too few delivered" >&2; exit 1; }
    printf '%s files x 4 KiB over %s: road (drop to Done) %ss = %s files/s; lftp mirror -R %ss = %s files/s\n' \
        "$n" "$2" "$road" "$(rate "$n" "$road")" "$lftp_s" "$(rate "$n" "$lftp_s")"
    rm -rf "$stage"
}

burst "$files" "FTP Server" road-ftp "set ftp:ssl-allow no"
burst "$files" "FTPS (FTP-SSL)" road-ftps "set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no"
