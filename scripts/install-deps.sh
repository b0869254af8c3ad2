#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: does nothing when everything is already there.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config git clang-format
    qt6-base-dev qt6-qpa-plugins libgl-dev
    libplist-dev libssl-dev openssl libcurl4-openssl-dev libssh2-1-dev
    libsmbclient-dev libxml2-dev libarchive-dev shared-mime-info
    samba smbclient openssh-server openssh-client xorriso unzip zip libarchive-tools 7zip python3 coreutils procps
    ghostscript ca-certificates
    # WebDAV test servers, and the WebDAV benchmark's peers.
    nginx libnginx-mod-http-dav-ext apache2 curl rclone
    vsftpd lftp libsodium23 libcap2
    # Icons drawn at build time; the installed files' validators; the .deb's
    # dependencies found by dpkg-shlibdeps.
    librsvg2-bin desktop-file-utils appstream man-db systemd dpkg-dev file
)

# The S3 test server: s3rver (npm) behind nginx, its signature check corrected with patch;
# rclone and curl are the peers of the S3 benchmark.
PACKAGES+=(nginx patch rclone curl)

# The SMTP test server runs on Node.js; machines that ship their own keep it.
command -v node >/dev/null 2>&1 || PACKAGES+=(nodejs npm)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# Keep package installs from starting their own daemons on public ports; the
# tests start their own instances on 127.0.0.1.
policy=/usr/sbin/policy-rc.d
placed_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
    placed_policy=1
fi
cleanup() {
    if [ "$placed_policy" -eq 1 ]; then $SUDO rm -f "$policy"; fi
    return 0
}
trap cleanup EXIT
trap 'echo "install-deps: step failed (exit $?): $BASH_COMMAND" >&2' ERR

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
