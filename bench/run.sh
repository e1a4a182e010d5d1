#!/usr/bin/env bash
# Builds the benchmarks (optimised) and runs them; each prints its ratios.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPIXKEEP_BENCH=ON -DPIXKEEP_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" || exit 1
status=0
for b in build-bench/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" || status=1
done
# The copy -> file latency once more with xclip as the owner: it hands a
# picture over 1 MB over in INCR chunks.
echo "== latency_bench 7 xclip"
build-bench/bench/latency_bench 7 xclip || status=1
for s in bench/*.sh; do
  [ "$s" = bench/run.sh ] && continue
  echo "== $(basename "$s")"
  bash "$s" build-bench || status=1
done
exit $status
