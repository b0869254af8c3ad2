#!/usr/bin/env bash
# Builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs all of them through ctest; the test servers start as ctest fixtures.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "test.sh: step failed (exit $?): $BASH_COMMAND" >&2' ERR
scripts/install-deps.sh
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DPV_SANITIZE=ON >/dev/null
cmake --build build-test -j"$(nproc)"
ctest --test-dir build-test --output-on-failure -j"$(nproc)" "$@"
# CI also builds the Debian package, installs it, runs it and removes it; a
# developer's machine is left alone unless asked (PV_PACKAGE_CHECK=1).
if [ -n "${CI:-}" ] || [ "${PV_PACKAGE_CHECK:-}" = 1 ]; then
    scripts/package-check.sh
fi
