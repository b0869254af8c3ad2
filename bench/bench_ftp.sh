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
#                 bench/bench_upload (default: build-bench, configured and
#                 built in Release like bench/run.sh)
#   --work DIR    scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --files N     burst size (0 skips the bursts)
#   --large-mib N size of the large file (0 skips it)
set -euo pipefail

files=1000
large_mib=1024
. "$(dirname "$0")/lib.sh"
bench_args "$@"
[ "$(id -u)" -eq 0 ] || fail "needs root (the FTP servers switch users)"
need_tools lftp curl
bench_build parcelvane pv-packer bench_password bench_upload
bench_work ftp
stop_servers() { "$src/tests/servers/ftp.sh" stop "$work/servers"; }

"$src/tests/servers/ftp.sh" start "$work/servers" >/dev/null
# shellcheck disable=SC1091
. "$work/servers/ftp.env"
server_url="ftp://$(url_escape "$FTP_USER"):$(url_escape "$FTP_PASSWORD")@$FTP_HOST:$FTP_PORT"

echo "parcelvane FTP benchmark ($(nproc) CPUs; the machine may be shared, figures are taken as they come)"

# --- one large file -------------------------------------------------------------
if [ "$large_mib" -gt 0 ]; then
    head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$work/large.bin"
    mkdir -p "$FTP_ROOT/ours"
    chown "$FTP_USER" "$FTP_ROOT/ours"
    ours=$("$build/bench/bench_upload" "$work/large.bin" "$server_url/%2Fours")
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

burst() { # n type-name folder lftp-settings
    local n=$1
    stage_burst "$n"

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

    start_instance "$2" "$FTP_HOST" "$FTP_PORT" "/$3" "$FTP_USER" "$password_stored"
    # The time from the drop to the last source in "Done": it includes the hot
    # folder's scan interval and the two size probes of each item.
    t0=$(now)
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    wait_done "$n"
    t1=$done_at
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
