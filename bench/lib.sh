# Shared by the protocol benchmarks (sourced, not run): options, the build, the scratch folder,
# timing, a running `parcelvane --headless` with one destination "Road", and the bursts.
# A script sets its defaults (build work files large_mib runs) and then calls bench_args "$@".

src="$(cd "$(dirname "$0")/.." && pwd)"
build=""
work=""
pid=""
# A command the instance runs under (a profiler), when set.
wrap=""

fail() { echo "$*" >&2; exit 1; }

bench_args() {
    while [ $# -gt 0 ]; do
        case $1 in
        --build) build=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --files) files=$2; shift 2 ;;
        --large-mib) large_mib=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --wrap) wrap=$2; shift 2 ;;
        --smb) smb_files=$2; shift 2 ;;
        *) echo "usage: $0 [--build DIR] [--work DIR] [--files N] [--large-mib N] [--runs N] [--wrap CMD] [--smb N]" >&2
           exit 2 ;;
        esac
    done
}

# Without --build: build-bench (or $PV_BENCH_BUILD_DIR), configured and built in Release with
# the given targets.
bench_build() {
    if [ -z "$build" ]; then
        build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
        cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
            -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
        cmake --build "$build" --target "$@" -j1 >/dev/null
    fi
    exe="$build/src/parcelvane"
    [ -x "$exe" ] || fail "no $exe"
}

need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || fail "$tool not found: run scripts/install-deps.sh"
    done
}

# The scratch folder (a fresh one under /tmp without --work, removed at the end), and the exit
# handler: the instance, then the script's stop_servers (when defined), then the folder.
bench_work() { # name
    own_work=0
    if [ -z "$work" ]; then
        work=$(mktemp -d "/tmp/pv-$1.XXXXXX")
        own_work=1
    fi
    mkdir -p "$work"
    chmod 0755 "$work"
    trap bench_cleanup EXIT
}

bench_cleanup() {
    stop_instance
    declare -F stop_servers >/dev/null && { stop_servers >/dev/null 2>&1 || true; }
    [ "$own_work" -eq 1 ] && rm -rf "$work"
    return 0
}

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", n / s; else print "-" }'; }
mibs() { awk -v m="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.1f", m / s; else print "-" }'; }
# The least of the times given: the machine may be shared, and a run that others slowed down
# says nothing about either tool.
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
url_escape() { python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }

stamp_nth() { # text n log: the time of the n-th line with text
    awk -v t="$1" -v n="$2" 'index($0, t) && ++c == n { print $1; exit }' "$3"
}
stamp_of() { # first|last text log
    if [ "$1" = first ]; then
        awk -v t="$2" 'index($0, t) { print $1; exit }' "$3"
    else
        awk -v t="$2" 'index($0, t) { l = $1 } END { print l }' "$3"
    fi
}
# From the first hand-over by the hot-folder watcher to the last source moved into "Done": the
# watcher's stability wait is left out.
road_secs() { secs "$(stamp_of first "hot folder item ready" "$log")" "$(stamp_of last "---> moveFile:" "$log")"; }

# N files of 4 KiB of random data in the folder $stage.
stage_burst() { # n
    stage=$work/stage
    rm -rf "$stage"
    mkdir -p "$stage"
    head -c $(($1 * 4096)) /dev/urandom >"$work/blob"
    split -a 5 -d -b 4096 "$work/blob" "$stage/f" && rm -f "$work/blob"
}

# A running instance with one destination "Road"; its hot folder is $hot, its log $log (each
# line led by the time it was written). Extra settings lines in $extra_conf.
start_instance() { # type host port path user stored-password [extra plist keys]
    local home=$work/home
    rm -rf "$home"
    mkdir -p "$home/tmp" "$home/config/Tallowin" "$home/data/Tallowin/Parcelvane/Destinations"
    for sub in "" Priority Errors Done; do mkdir -p "$home/hot/Road/$sub"; done
    printf '[General]\nwatchInterval=1\nrecentItems=50\n%s' "${extra_conf:-}" \
        >"$home/config/Tallowin/Parcelvane.conf"
    local port=""
    [ -n "$3" ] && port="<key>QFPort</key><string>$3</string>"
    cat >"$home/data/Tallowin/Parcelvane/Destinations/Road.dest" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>name</key><string>Road</string>
  <key>QFDestType</key><string>$1</string>
  <key>type</key><integer>$([ "$1" = "Local Disk" ] && echo 1 || echo 0)</integer>
  <key>hostField</key><string>$2</string>
  $port
  <key>pathField</key><string>$4</string>
  <key>userField</key><string>$5</string>
  <key>sitePasswordField</key><string>$6</string>
  <key>QFHotfolder</key><string>$home/hot/Road</string>
  <key>sendFTPBtn</key><integer>1</integer>
  <key>sendEmailBtn</key><integer>0</integer>
  ${7:-}
</dict>
</plist>
EOF
    log=$work/road.log
    : >"$log"
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
        TMPDIR="$home/tmp" $wrap "$exe" --headless \
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
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    pid=""
}

# Waits (up to an hour) until N sources are in "Done" (at $done_at, then lets the log catch
# up); a failed delivery ends the benchmark.
wait_done() { # n
    local start
    start=$(now)
    while [ "$(ls -U "$hot/Done" | wc -l)" -lt "$1" ]; do
        if [ "$(ls -U "$hot/Errors" | wc -l)" -gt 0 ]; then
            echo "deliveries failed:" >&2
            tail -n 20 "$log" >&2
            exit 1
        fi
        [ "$(secs "$start" "$(now)" | cut -d. -f1)" -lt 3600 ] || fail "timed out: $(ls -U "$hot/Done" | wc -l) of $1 in Done"
        sleep 0.05
    done
    done_at=$(now)
    sleep 0.3
}
