#!/bin/bash
# The whole road of a delivery, from the drop into a hot folder to the source
# in "Done", measured on a running `parcelvane --headless` beside standard
# copiers of the same data in the same run:
#   - bursts of small files dropped at once into one hot folder (1,000 and
#     10,000 by default), beside `cp -r` and `rclone copy` (which checks each
#     file, as a delivery does); files/s and the process's peak RSS
#   - one large file (default 1 GiB) beside cp
# The hot folder is scanned every 5 s and each item needs two equal size
# probes (1 s apart here), so small runs are dominated by that wait; the part
# after the first item was handed over is reported beside the total, and the
# files/s figure is taken over that part.
#
# Usage: bench/bench_road.sh [--build DIR] [--work DIR] [--files N[,N...]] [--large-mib N]
#                            [--wrap CMD] [--smb N]
#   --build DIR   build tree with src/parcelvane and src/pv-packer
#                 (default: build-bench, configured and built in Release like bench/run.sh)
#   --work DIR    scratch folder (default: a fresh folder under /tmp, removed at the end)
#   --files LIST  burst sizes, comma-separated (default 1000,10000)
#   --large-mib N size of the large file; 0 skips it
#   --wrap CMD    runs parcelvane under CMD (a profiler: "perf record -g -o F --");
#                 the peak RSS is then not reliable
#   --smb N       a burst of N files to a private Samba server on 127.0.0.1
#                 (tests/servers/samba.sh; needs root) beside smbclient's mput of
#                 the same files to the same share (default 1000; 0 skips)
# rclone comes from the distribution's package, installed here when missing
# (apt-get; as root or through sudo).
set -euo pipefail

files=1000,10000
large_mib=1024
smb_files=1000
. "$(dirname "$0")/lib.sh"
bench_args "$@"
bench_build parcelvane pv-packer bench_password

if ! command -v rclone >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing rclone (Debian package)" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends rclone \
        >/dev/null || fail "rclone could not be installed"
fi

smb_up=""
stop_servers() {
    [ -n "$smb_up" ] && "$src/tests/servers/samba.sh" stop "$smb_up" >/dev/null
    return 0
}
bench_work road

# An instance with one destination "Road" delivering into $work/out, or with
# "smb" into the folder "road" of the test server's share (see smb_burst).
start_road() { # [smb]
    if [ "${1:-}" = smb ]; then
        start_instance "SMB Server" "$SMB_HOST" "$SMB_PORT" "$SMB_SHARE/road" "$SMB_USER" "$smb_password"
    else
        rm -rf "$work/out"
        mkdir -p "$work/out"
        start_instance "Local Disk" "" "" "$work/out" "" ""
    fi
}

report() { # label total after_handover cp
    printf '%-26s road %8ss   after hand-over %8ss   cp %7ss   road/cp %6s   after/cp %6s\n' \
        "$1" "$2" "$3" "$4" "$(ratio "$2" "$4")" "$(ratio "$3" "$4")"
}

echo "parcelvane road benchmark: bursts of $files small files, one ${large_mib} MiB file ($(nproc) CPUs)"
echo "binary: $exe"

# The peak resident set of the running instance (the process itself when a
# wrapper runs it), in KiB.
peak_rss_kib() {
    local p=$pid
    if [ "$(cat "/proc/$p/comm" 2>/dev/null)" != parcelvane ]; then
        p=$(cat /proc/"$pid"/task/*/children 2>/dev/null | awk '{ print $1; exit }')
    fi
    awk '/^VmHWM:/ { print $2 }' "/proc/$p/status" 2>/dev/null || echo 0
}
# CPU seconds the instance has used so far (all its threads), from /proc:
# steadier than wall-clock time on a machine shared with other work.
cpu_secs() {
    local p=$pid
    if [ "$(cat "/proc/$p/comm" 2>/dev/null)" != parcelvane ]; then
        p=$(cat /proc/"$pid"/task/*/children 2>/dev/null | awk '{ print $1; exit }')
    fi
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.2f", ($12 + $13) / hz }' \
        "/proc/$p/stat" 2>/dev/null || echo 0
}
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }

# Drops the staged files into the running instance's hot folder at once and
# waits for all n in "Done"; sets t0, total, after, rss, first_ready, last_ready.
drop_and_wait() { # n
    local n=$1
    cpu0=$(cpu_secs)
    t0=$(now)
    find "$stage" -maxdepth 1 -type f -exec mv -t "$hot" {} +
    wait_done "$n"
    local t_end=$done_at
    sleep 0.2
    rss=$(peak_rss_kib)
    cpu=$(awk -v a="$cpu0" -v b="$(cpu_secs)" 'BEGIN { printf "%.2f", b - a }')
    first_ready=$(stamp_of first "hot folder item ready" "$log")
    last_ready=$(stamp_of last "hot folder item ready" "$log")
    local last_move
    last_move=$(stamp_of last "---> moveFile:" "$log")
    total=$(secs "$t0" "$t_end")
    after=$(secs "$first_ready" "$last_move")
}

# --- bursts of small files ---------------------------------------------------
# Thousands of files removed by the previous burst slow down every file
# created in the next 30 s on ext4 without a journal (each creation walks the
# recently freed inodes), whichever copier comes first: the next burst waits.
freed_at=0
wait_freed() {
    local left=$((freed_at + 31 - $(date +%s)))
    if [ "$freed_at" -gt 0 ] && [ "$left" -gt 0 ]; then sleep "$left"; fi
    return 0
}

small_burst() { # n
    local n=$1
    wait_freed
    rm -rf "$work/cp-small" "$work/rclone-small"
    stage_burst "$n"

    t0=$(now)
    cp -r "$stage" "$work/cp-small"
    t1=$(now)
    cp_small=$(secs "$t0" "$t1")
    t0=$(now)
    rclone copy --config /dev/null "$stage" "$work/rclone-small" 2>/dev/null
    t1=$(now)
    rclone_small=$(secs "$t0" "$t1")
    [ "$(ls -U "$work/rclone-small" | wc -l)" -eq "$n" ] || { echo "rclone copied too few" >&2; exit 1; }
    # The copies stay until the burst has run: thousands of files removed just
    # before it would make the file system skip their recently freed inodes
    # at every file the burst creates, a cost neither peer paid.

    start_road
    drop_and_wait "$n"
    delivered=$(ls -U "$work/out" | wc -l)
    [ "$delivered" -eq "$n" ] || { echo "only $delivered of $n delivered" >&2; exit 1; }
    history_bytes=$(stat -c %s "$work/home/data/Tallowin/Parcelvane/History.xml")
    stop_instance
    rm -rf "$work/cp-small" "$work/rclone-small" "$work/out" "$work/home"
    freed_at=$(date +%s)
    report "$n files x 4 KiB" "$total" "$after" "$cp_small"
    printf '  files/s: road after hand-over %s, cp -r %s, rclone copy %s (%ss); peak RSS %s MiB\n' \
        "$(rate "$n" "$after")" "$(rate "$n" "$cp_small")" "$(rate "$n" "$rclone_small")" \
        "$rclone_small" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
    echo "  drop to first hand-over $(secs "$t0" "$first_ready")s, hand-overs spread over $(secs "$first_ready" "$last_ready")s, History.xml ${history_bytes} bytes"
    echo "  per file after hand-over: $(awk -v a="$after" -v n="$n" 'BEGIN { printf "%.2f", 1000 * a / n }') ms;" \
        "CPU of the instance from the drop on: ${cpu}s, $(awk -v c="$cpu" -v n="$n" 'BEGIN { printf "%.2f", 1000 * c / n }') ms per file"
    rm -rf "$stage"
}

for n in ${files//,/ }; do
    small_burst "$n"
done

# --- a burst to a Samba share --------------------------------------------------
smb_burst() { # n
    local n=$1 sdir=$work/samba
    wait_freed
    if [ "$(id -u)" -ne 0 ] || ! command -v smbd >/dev/null; then
        echo "SMB burst skipped: needs root and smbd (scripts/install-deps.sh)"
        return 0
    fi
    if [ ! -x "$build/bench/bench_password" ]; then
        echo "SMB burst skipped: $build/bench/bench_password is not built (target bench_password)"
        return 0
    fi
    "$src/tests/servers/samba.sh" start "$sdir" >/dev/null
    smb_up=$sdir
    # shellcheck disable=SC1091
    . "$sdir/samba.env"
    smb_password=$("$build/bench/bench_password" "$SMB_PASSWORD")
    local smbc=(smbclient -s "$sdir/samba/smb.conf" -p "$SMB_PORT" -A "$sdir/samba/private/auth"
        "//$SMB_HOST/$SMB_SHARE")
    stage_burst "$n"

    t0=$(now)
    "${smbc[@]}" -c "mkdir mput; cd mput; lcd $stage; prompt; mput *" >/dev/null 2>&1
    t1=$(now)
    local mput
    mput=$(secs "$t0" "$t1")
    [ "$(ls -U "$SMB_SHARE_DIR/mput" | wc -l)" -eq "$n" ] || { echo "smbclient put too few" >&2; exit 1; }
    mkdir -p "$SMB_SHARE_DIR/road"
    chown --reference="$SMB_SHARE_DIR" "$SMB_SHARE_DIR/road"

    start_road smb
    drop_and_wait "$n"
    delivered=$(ls -U "$SMB_SHARE_DIR/road" | wc -l)
    [ "$delivered" -eq "$n" ] || { echo "only $delivered of $n delivered to the share" >&2; exit 1; }
    stop_instance
    "$src/tests/servers/samba.sh" stop "$sdir" >/dev/null
    smb_up=""
    rm -rf "$work/home" "$sdir"
    freed_at=$(date +%s)
    printf '%-26s road %8ss   after hand-over %8ss   smbclient mput %7ss   after/mput %6s\n' \
        "$n files x 4 KiB to SMB" "$total" "$after" "$mput" "$(ratio "$after" "$mput")"
    printf '  files/s: road after hand-over %s, smbclient mput %s; peak RSS %s MiB; CPU %ss\n' \
        "$(rate "$n" "$after")" "$(rate "$n" "$mput")" \
        "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$cpu"
    rm -rf "$stage"
}

if [ "$smb_files" -gt 0 ]; then smb_burst "$smb_files"; fi

# --- one large file -----------------------------------------------------------
[ "$large_mib" -gt 0 ] || exit 0
stage=$work/stage-large
rm -rf "$stage"
mkdir -p "$stage"
head -c $((large_mib * 1024 * 1024)) /dev/urandom >"$stage/large.bin"

rm -f "$work/cp-large.bin"
t0=$(now)
cp "$stage/large.bin" "$work/cp-large.bin"
t1=$(now)
sync "$work/cp-large.bin"
t2=$(now)
cp_large=$(secs "$t0" "$t1")
cp_large_sync=$(secs "$t0" "$t2")
rm -f "$work/cp-large.bin"

start_road
t0=$(now)
mv "$stage/large.bin" "$hot/large.bin"
wait_done 1
t_end=$done_at
ready=$(stamp_of first "hot folder item ready" "$log")
moved=$(stamp_of last "---> moveFile:" "$log")
total=$(secs "$t0" "$t_end")
after=$(secs "$ready" "$moved")
[ "$(stat -c %s "$work/out/large.bin")" -eq $((large_mib * 1024 * 1024)) ] ||
    { echo "large file not delivered whole" >&2; exit 1; }
stop_instance
report "1 file x ${large_mib} MiB" "$total" "$after" "$cp_large"
echo "  cp + sync ${cp_large_sync}s; after hand-over / (cp + sync) $(ratio "$after" "$cp_large_sync")"
