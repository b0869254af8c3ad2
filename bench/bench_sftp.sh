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

large_mib=1024
files=1000
runs=3
. "$(dirname "$0")/lib.sh"
bench_args "$@"
bench_build parcelvane pv-packer bench_password
[ "$(id -u)" -eq 0 ] || fail "needs root (the test sshd switches to its user)"
bench_work sftp

relay=""
stop_servers() {
    [ -n "$relay" ] && kill "$relay" 2>/dev/null
    "$src/tests/servers/sftp.sh" stop "$work/servers"
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

# An instance delivering through port $1 into $SFTP_ROOT/$2.
start_sftp_instance() { # port folder
    mkdir -p "$SFTP_ROOT/$2"
    chown "$SFTP_USER" "$SFTP_ROOT/$2"
    start_instance "SFTP Server" 127.0.0.1 "$1" "${SFTP_ROOT#/}/$2" "$SFTP_USER" "$stored_password"
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
        start_sftp_instance "$port" "large-$link"
        best_ours=""
        best_openssh=""
        for run in $(seq "$runs"); do
            echo "put $work/large.bin $SFTP_ROOT/openssh-$link.bin" >"$work/batch"
            t0=$(now)
            openssh_put "$port" "$work/batch"
            t1=$(now)
            t=$(secs "$t0" "$t1")
            rm -f "$SFTP_ROOT/openssh-$link.bin"
            best_openssh=$(best $best_openssh "$t")

            # A hard link: the hot folder gets the file at once, without a copy.
            ln "$work/large.bin" "$hot/large-$run.bin"
            wait_done "$run"
            started=$(stamp_nth "DeliveryTransfer: delivering" "$run" "$log")
            moved=$(stamp_nth "---> moveFile:" "$run" "$log")
            t=$(secs "$started" "$moved")
            best_ours=$(best $best_ours "$t")
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
    stage_burst "$files"
    mkdir -p "$SFTP_ROOT/openssh-burst"
    chown "$SFTP_USER" "$SFTP_ROOT/openssh-burst"
    echo "put $stage/* $SFTP_ROOT/openssh-burst/" >"$work/batch"
    t0=$(now)
    openssh_put "$SFTP_PORT" "$work/batch"
    t1=$(now)
    openssh=$(secs "$t0" "$t1")
    [ "$(ls -U "$SFTP_ROOT/openssh-burst" | wc -l)" -eq "$files" ] || { echo "sftp put too few" >&2; exit 1; }

    start_sftp_instance "$SFTP_PORT" burst
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    wait_done "$files"
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
