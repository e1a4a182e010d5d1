#!/usr/bin/env bash
# Installs what building and running need (scripts/install-deps.sh without
# the test tools), builds the program without its tests and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh -DPIXKEEP_TESTS=OFF
exec build/ui/pixkeep "$@"
