#!/usr/bin/env bash
# Installs what is missing of the build and test packages
# (scripts/install-deps.sh --test), builds and runs every test: the full suite
# (unit, GUI and end-to-end tests under their own Xvfb, and the Debian
# package built by scripts/package.sh, checked and run as an unprivileged
# user), then the core tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
scripts/build.sh -DPIXKEEP_TESTS=ON

echo "== full test suite"
ctest --test-dir build --output-on-failure --no-tests=error -j2

echo "== core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -DPIXKEEP_CORE_ONLY=ON -DPIXKEEP_SANITIZE=ON -DPIXKEEP_WERROR=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-sanitize -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure --no-tests=error -j2
