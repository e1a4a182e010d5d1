#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs the BMP reader target (or the
# INI reader with "ini" as the second argument) for SECONDS (default 600).
# Crashing inputs are written to fuzz-corpus/crashes/.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh clang libclang-rt-14-dev
seconds=${1:-600}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPIXKEEP_CORE_ONLY=ON -DPIXKEEP_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_bmp_reader fuzz_ini_reader
mkdir -p fuzz-corpus/bmp fuzz-corpus/crashes
if [ "${2:-}" = ini ]; then
  mkdir -p fuzz-corpus/ini
  cp lang/*.ini tests/config/regressions/* fuzz-corpus/ini/ 2>/dev/null || true
  exec ./build-fuzz/tests/fuzz/fuzz_ini_reader fuzz-corpus/ini -max_total_time="$seconds" \
    -artifact_prefix=fuzz-corpus/crashes/ini- -max_len=8192 -timeout=10 -print_final_stats=1
fi
# Seed the corpus with the regression files and a few small valid pictures.
cp tests/capture/regressions/*.bmp fuzz-corpus/bmp/ 2>/dev/null || true
seeds=fuzz-corpus/bmp
convert -size 4x3 xc:red BMP3:$seeds/seed-24bit.bmp
convert -size 3x2 xc:red -type palette BMP3:$seeds/seed-palette.bmp
convert -size 5x5 xc:red -type bilevel BMP3:$seeds/seed-1bit.bmp
convert -size 7x3 xc:red -type palette -compress RLE BMP3:$seeds/seed-rle8.bmp
./build-fuzz/tests/fuzz/fuzz_bmp_reader fuzz-corpus/bmp -max_total_time="$seconds" \
  -artifact_prefix=fuzz-corpus/crashes/ -max_len=4096 -rss_limit_mb=3072 -malloc_limit_mb=2560 -print_final_stats=1
