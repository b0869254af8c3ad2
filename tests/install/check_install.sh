#!/usr/bin/env bash
# Installs the build into a private prefix and checks what a desktop, man and
# systemd make of it; then runs the installed program, which must find its
# packer where it was installed.
# Usage: check_install.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$1
work=$2
stage=$work/stage
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$stage" >"$work/install.log"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
app=com.tallowin.Parcelvane
for f in bin/parcelvane libexec/parcelvane/pv-packer share/applications/$app.desktop \
    share/metainfo/$app.metainfo.xml share/man/man1/parcelvane.1 lib/systemd/user/parcelvane.service \
    share/icons/hicolor/scalable/apps/$app.svg share/icons/hicolor/48x48/apps/$app.png; do
    [ -e "$stage/$f" ] || fail "not installed: $f"
done

desktop-file-validate "$stage/share/applications/$app.desktop"
appstreamcli validate --no-net "$stage/share/metainfo/$app.metainfo.xml"

# man prints formatting problems on standard error and still succeeds.
man_err=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$stage/share/man/man1/parcelvane.1" 2>&1 >/dev/null)
[ -z "$man_err" ] || fail "man page warnings: $man_err"
# Every option the program accepts is documented.
for opt in $("$stage/bin/parcelvane" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    grep -q -- "${opt//-/\\\\-}" "$stage/share/man/man1/parcelvane.1" || fail "man page lacks $opt"
done

# The unit names the configured prefix; verify a copy that starts the staged program.
unit=$work/parcelvane.service
sed "s|^ExecStart=[^ ]*|ExecStart=$stage/bin/parcelvane|" "$stage/lib/systemd/user/parcelvane.service" >"$unit"
grep -q '^ExecStart=.* --headless$' "$unit" || fail "the service does not run headless"
grep -q '^Restart=on-failure$' "$unit" || fail "the service is not restarted after a failure"
verify_out=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $verify_out"
[ -z "$verify_out" ] || fail "systemd-analyze verify: $verify_out"

# The installed program packs a queued file with the installed packer.
home=$work/home
out=$home/out
mkdir -p "$home/data/Tallowin/Parcelvane/Destinations" "$home/tmp" "$out"
install -d -m 0700 "$home/run"
cat >"$home/data/Tallowin/Parcelvane/Destinations/Zipper.dest" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>name</key><string>Zipper</string>
<key>QFDestType</key><string>Local Disk</string>
<key>type</key><integer>1</integer>
<key>pathField</key><string>$out</string>
<key>sendFTPBtn</key><integer>1</integer>
<key>sendEmailBtn</key><integer>0</integer>
<key>QFCompressionMethod</key><integer>0</integer>
<key>QFCompressFiles</key><integer>1</integer>
</dict></plist>
PLIST
echo "installed" >"$home/report.txt"
run_app() {
    env -u PV_PACKER -u DISPLAY -u WAYLAND_DISPLAY PATH=/usr/bin:/bin \
        XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
        TMPDIR="$home/tmp" "$stage/bin/parcelvane" "$@"
}
run_app --headless >"$work/headless.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    run_app --queue "$home/report.txt" --destination Zipper >/dev/null 2>&1 && break
    sleep 0.2
done
for _ in $(seq 150); do
    [ -e "$out/report.txt.zip" ] && break
    sleep 0.2
done
kill -TERM $pid
wait $pid || true
[ -e "$out/report.txt.zip" ] || fail "no zip delivered: $(tail -20 "$work/headless.log")"
# Listed first: with pipefail, grep -q leaving early can fail unzip with SIGPIPE.
listing=$(unzip -l "$out/report.txt.zip") || fail "unzip cannot read the zip"
grep -q 'report\.txt$' <<<"$listing" || fail "the zip lacks the file: $listing"
echo "install check passed"
