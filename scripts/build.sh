#!/usr/bin/env bash
# Configures and builds Pixkeep into build/ (warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DPIXKEEP_WERROR=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
