#!/usr/bin/env bash
# Builds the Debian package from a Release build, installs it, runs the
# installed program and removes the package again, checking that nothing of
# it stays behind. Needs root (CI runs as root).
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "package-check.sh: step failed (exit $?): $BASH_COMMAND" >&2' ERR
build=${1:-build-deb}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j"${PV_JOBS:-$(nproc)}"
rm -f "$build"/parcelvane_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/parcelvane_*.deb)
# Printed with >&2, not tee /dev/stderr: opening that path truncates a log
# file the caller sends standard error to.
depends=$(dpkg-deb --field "$deb" Depends)
echo "$depends" >&2
grep -q 'libqt6core6' <<<"$depends" ||
    { echo "package-check: dependencies not declared" >&2; exit 1; }

dpkg -i "$deb"
files=$(dpkg -L parcelvane)
version=$(/usr/bin/parcelvane --version)
echo "$version"
[ "$version" = "Parcelvane $(dpkg-deb --field "$deb" Version)" ] ||
    { echo "package-check: unexpected version: $version" >&2; exit 1; }
[ -x /usr/libexec/parcelvane/pv-packer ] ||
    { echo "package-check: no packer in libexec" >&2; exit 1; }
dpkg -r parcelvane
left=()
while read -r f; do
    [ -f "$f" ] && left+=("$f")
done <<<"$files"
[ ${#left[@]} -eq 0 ] || { echo "package-check: left after removal: ${left[*]}" >&2; exit 1; }
echo "package-check: built, installed, ran and removed $(basename "$deb")"
