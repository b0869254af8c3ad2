#!/bin/bash
# SFTP deliveries beside OpenSSH's own client, to the same private sshd
# (tests/servers/sftp.sh on 127.0.0.1) in the same run:
#   - one large file (default 1 GiB) delivered by a running `parcelvane --headless`
#     (its DeliveryTransfer, timed from the log line that starts the delivery to
#     the move of the source), beside `sftp -b` putting the same file; on
#     loopback and through a relay that adds 20 ms of round trip
#     (bench/delay_relay.py: 10 ms each way); the ratio OpenSSH time / ours is
#     printed (1.0 = as fast, the target is at least 0.8); best of --runs each
#   - a burst of small files (default 1,000 x 4 KiB) dropped at once into the
#     hot folder, beside `sftp -b` putting the same files; files/s of both
#
# Usage: bench/bench_sftp.sh [--build DIR] [--work DIR] [--large-mib N] [--files N] [--runs N]
#   --build DIR    build tree with src/parcelvane and bench/bench_password (default:
#                  build-bench, configured and built in Release like bench/run.sh)
#   --work DIR     scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --large-mib N  size of the large file; 0 skips it
#   --files N      size of the burst; 0 skips it
#   --runs N       puts of the large file per tool and link, the best counts (default 3)
# Needs root (the test server switches to its user) and openssh-server.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build=""
work=""
large_mib=1024
files=1000
runs=3
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --large-mib) large_mib=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--work DIR] [--large-mib N] [--files N] [--runs N]" >&2; exit 2 ;;
    esac
done

if [ -z "$build" ]; then
    build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
        -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
    cmake --build "$build" --target parcelvane pv-packer bench_password -j2 >/dev/null
fi
exe="$build/src/parcelvane"
[ -x "$exe" ] || { echo "no $exe" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (the test sshd switches to its user)" >&2; exit 1; }

own_work=0
if [ -z "$work" ]; then
    work=$(mktemp -d /tmp/pv-sftp.XXXXXX)
    own_work=1
fi
mkdir -p "$work"
chmod 0755 "$work"

pid=""
relay=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    [ -n "$relay" ] && kill "$relay" 2>/dev/null || true
    "$src/tests/servers/sftp.sh" stop "$work/servers" >/dev/null 2>&1 || true
    [ "$own_work" -eq 1 ] && rm -rf "$work"
    return 0
}
trap cleanup EXIT

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }
mibs() { awk -v m="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", m / s; else print "-" }'; }
stamp_nth() { # text n log
    awk -v t="$1" -v n="$2" 'index($0, t) && ++c == n { print $1; exit }' "$3"
}
stamp_of() { # first|last text log
    if [ "$1" = first ]; then
        awk -v t="$2" 'index($0, t) { print $1; exit }' "$3"
    else
        awk -v t="$2" 'index($0, t) { l = $1 } END { print l }' "$3"
    fi
}

"$src/tests/servers/sftp.sh" start "$work/servers" >/dev/null
# shellcheck disable=SC1091
. "$work/servers/sftp.env"
stored_password=$("$build/bench/bench_password" "$SFTP_PASSWORD")

# The relay: a free port from 2400 up.
relay_port=2400
while (exec 3<>"/dev/tcp/127.0.0.1/$relay_port") 2>/dev/null; do relay_port=$((relay_port + 1)); done
python3 "$src/bench/delay_relay.py" "$relay_port" "$SFTP_PORT" 10 >"$work/relay.out" 2>&1 &
relay=$!
until grep -q ready "$work/relay.out" 2>/dev/null; do sleep 0.05; done

openssh_put() { # port batch-file
    sftp -q -b "$2" -i "$SFTP_CLIENT_KEY" -o StrictHostKeyChecking=no \
        -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -P "$1" "$SFTP_USER@127.0.0.1" >/dev/null
}

# A running instance with one destination "Road" on port $1 delivering into
# $SFTP_ROOT/$2; its hot folder is $hot, its log $log.
start_instance() { # port folder
    local home=$work/home
    rm -rf "$home"
    mkdir -p "$home/tmp" "$home/config/Tallowin" "$home/data/Tallowin/Parcelvane/Destinations"
    for sub in "" Priority Errors Done; do mkdir -p "$home/hot/Road/$sub"; done
    mkdir -p "$SFTP_ROOT/$2"
    chown "$SFTP_USER" "$SFTP_ROOT/$2"
    printf '[General]\nwatchInterval=1\nrecentItems=50\n' >"$home/config/Tallowin/Parcelvane.conf"
    cat >"$home/data/Tallowin/Parcelvane/Destinations/Road.dest" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Road</string>
  <key>QFDestType</key><string>SFTP Server</string>
  <key>type</key><integer>0</integer>
  <key>hostField</key><string>127.0.0.1</string>
  <key>QFPort</key><string>$1</string>
  <key>pathField</key><string>${SFTP_ROOT#/}/$2</string>
  <key>userField</key><string>$SFTP_USER</string>
  <key>sitePasswordField</key><string>$stored_password</string>
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

wait_done() { # n timeout
    local start
    start=$(now)
    while [ "$(ls -U "$hot/Done" | wc -l)" -lt "$1" ]; do
        if [ "$(secs "$start" "$(now)" | cut -d. -f1)" -ge "$2" ]; then
            echo "timed out: $(ls -U "$hot/Done" | wc -l) of $1 in Done" >&2
            tail -n 20 "$log" >&2
            exit 1
        fi
        sleep 0.05
    done
    sleep 0.3
}

echo "SFTP benchmark: OpenSSH $(sshd -V 2>&1 | head -n1 | cut -d, -f1), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"

# --- one large file --------------------------------------------------------------
# Each tool puts the file $runs times, alternating, and the best time of each
# counts: the machine may be shared, and a run that others slowed down says
# nothing about either tool.
if [ "$large_mib" -gt 0 ]; then
    head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$work/large.bin"
    for link in loopback relay; do
        port=$SFTP_PORT
        [ $link = relay ] && port=$relay_port
        start_instance "$port" "large-$link"
        best_ours=""
        best_openssh=""
        for run in $(seq "$runs"); do
            echo "put $work/large.bin $SFTP_ROOT/openssh-$link.bin" >"$work/batch"
            t0=$(now)
            openssh_put "$port" "$work/batch"
            t1=$(now)
            t=$(secs "$t0" "$t1")
            rm -f "$SFTP_ROOT/openssh-$link.bin"
            best_openssh=$(awk -v a="$best_openssh" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')

            # A hard link: the hot folder gets the file at once, without a copy.
            ln "$work/large.bin" "$hot/large-$run.bin"
            wait_done "$run" 3600
            started=$(stamp_nth "DeliveryTransfer: delivering" "$run" "$log")
            moved=$(stamp_nth "---> moveFile:" "$run" "$log")
            t=$(secs "$started" "$moved")
            best_ours=$(awk -v a="$best_ours" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
            cmp -s "$work/large.bin" "$SFTP_ROOT/large-$link/large-$run.bin" ||
                { echo "large file not delivered whole" >&2; exit 1; }
            rm -f "$SFTP_ROOT/large-$link/large-$run.bin"
        done
        stop_instance
        rm -rf "${SFTP_ROOT:?}/large-$link"
        printf '%-9s %5s MiB  DeliveryTransfer %7ss (%6s MiB/s)   sftp put %7ss (%6s MiB/s)   sftp/ours %s\n' \
            "$link" "$large_mib" "$best_ours" "$(mibs "$large_mib" "$best_ours")" "$best_openssh" \
            "$(mibs "$large_mib" "$best_openssh")" "$(ratio "$best_openssh" "$best_ours")"
    done
    rm -f "$work/large.bin"
fi

# --- a burst of small files --------------------------------------------------------
if [ "$files" -gt 0 ]; then
    stage=$work/stage-small
    rm -rf "$stage"
    mkdir -p "$stage"
    head -c $((files * 4096)) /dev/urandom >"$work/blob"
    split -a 5 -d -b 4096 "$work/blob" "$stage/f" && rm -f "$work/blob"
    mkdir -p "$SFTP_ROOT/openssh-burst"
    chown "$SFTP_USER" "$SFTP_ROOT/openssh-burst"
    echo "put $stage/* $SFTP_ROOT/openssh-burst/" >"$work/batch"
    t0=$(now)
    openssh_put "$SFTP_PORT" "$work/batch"
    t1=$(now)
    openssh=$(secs "$t0" "$t1")
    [ "$(ls -U "$SFTP_ROOT/openssh-burst" | wc -l)" -eq "$files" ] || { echo "sftp put too few" >&2; exit 1; }

    start_instance "$SFTP_PORT" burst
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    wait_done "$files" 3600
    first=$(stamp_of first "hot folder item ready" "$log")
    started=$(stamp_of first "DeliveryTransfer: delivering" "$log")
    moved=$(stamp_of last "---> moveFile:" "$log")
    delivered=$(ls -U "$SFTP_ROOT/burst" | wc -l)
    [ "$delivered" -eq "$files" ] || { echo "only $delivered of $files delivered" >&2; exit 1; }
    stop_instance
    after=$(secs "$first" "$moved")
    deliveries=$(secs "$started" "$moved")
    printf 'burst     %5s x 4 KiB  road after hand-over %7ss (%s files/s; from the first delivery %s files/s)   sftp put %7ss (%s files/s)\n' \
        "$files" "$after" "$(rate "$files" "$after")" "$(rate "$files" "$deliveries")" "$openssh" \
        "$(rate "$files" "$openssh")"
fi
