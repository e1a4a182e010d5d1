#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs them one after the other, each
# for SECONDS (default 600):
#   tests/fuzz/run.sh [SECONDS] [TARGET...]
# TARGET is bmp_reader (the default), clip_png, clip_jpeg, clip_bmp, clip_webp,
# ini_reader or all. Crashing inputs are written to fuzz-corpus/crashes/<target>-...
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh --test clang libclang-rt-14-dev
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(bmp_reader)
[ "${targets[0]}" = all ] && targets=(bmp_reader clip_png clip_jpeg clip_bmp clip_webp ini_reader)
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DPIXKEEP_CORE_ONLY=ON -DPIXKEEP_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
mkdir -p fuzz-corpus/crashes
for t in "${targets[@]}"; do
  cmake --build build-fuzz -j"$(nproc)" --target "fuzz_$t"
done

# Seeds: the regression files and a few small valid pictures of each type.
seed_bmp() {
  local d=$1
  cp tests/raster/regressions/*.bmp "$d"/ 2>/dev/null || true
  convert -size 4x3 xc:red BMP3:"$d"/seed-24bit.bmp
  convert -size 3x2 xc:red -type palette BMP3:"$d"/seed-palette.bmp
  convert -size 5x5 xc:red -type bilevel BMP3:"$d"/seed-1bit.bmp
  convert -size 7x3 xc:red -type palette -compress RLE BMP3:"$d"/seed-rle8.bmp
}
seed_png() {
  local d=$1
  cp tests/raster/regressions/*.png tests/capture/regressions/*.png "$d"/ 2>/dev/null || true
  convert -size 4x3 gradient:red-blue PNG24:"$d"/seed-rgb.png
  convert -size 5x3 gradient:red-blue -alpha set -channel A -evaluate set 50% PNG32:"$d"/seed-rgba.png
  convert -size 6x5 gradient:black-white -depth 16 PNG48:"$d"/seed-rgb16.png
  convert -size 9x4 gradient:black-white -type grayscale -depth 2 "$d"/seed-grey2.png
  convert -size 7x7 gradient:red-blue -colors 5 PNG8:"$d"/seed-palette.png
  convert -size 11x9 gradient:red-blue -interlace PNG PNG24:"$d"/seed-interlaced.png
}
seed_jpeg() {
  local d=$1
  cp tests/raster/regressions/*.jpg tests/capture/regressions/*.jpg "$d"/ 2>/dev/null || true
  convert -size 16x8 gradient:red-blue -quality 90 "$d"/seed-baseline.jpg
  convert -size 17x9 gradient:red-blue -interlace JPEG "$d"/seed-progressive.jpg
  convert -size 8x8 gradient:black-white -colorspace Gray "$d"/seed-grey.jpg
  convert -size 9x3 gradient:red-blue -colorspace CMYK "$d"/seed-cmyk.jpg
}
seed_webp() {
  local d=$1
  cp tests/raster/regressions/*.webp tests/capture/regressions/*.webp "$d"/ 2>/dev/null || true
  convert -size 16x8 gradient:red-blue "$d"/seed.png
  convert -size 16x8 gradient:red-blue -alpha set -channel A -evaluate set 50% PNG32:"$d"/seed-alpha.png
  cwebp -quiet -lossless "$d"/seed.png -o "$d"/seed-lossless.webp
  cwebp -quiet -q 80 "$d"/seed.png -o "$d"/seed-lossy.webp
  cwebp -quiet -lossless "$d"/seed-alpha.png -o "$d"/seed-alpha-lossless.webp
  cwebp -quiet -q 80 -alpha_q 50 "$d"/seed-alpha.png -o "$d"/seed-alpha-lossy.webp
  img2webp -lossless "$d"/seed.png -lossy "$d"/seed-alpha.png -o "$d"/seed-animated.webp >/dev/null
  rm -f "$d"/seed.png "$d"/seed-alpha.png
}
for t in "${targets[@]}"; do
  corpus=fuzz-corpus/$t
  mkdir -p "$corpus"
  case $t in
    bmp_reader|clip_bmp) seed_bmp "$corpus" ;;
    clip_png) seed_png "$corpus" ;;
    clip_jpeg) seed_jpeg "$corpus" ;;
    clip_webp) seed_webp "$corpus" ;;
    ini_reader) cp lang/*.ini tests/config/regressions/* "$corpus"/ 2>/dev/null || true ;;
  esac
  echo "== fuzz_$t for ${seconds}s"
  max_len=4096
  [ "$t" = ini_reader ] && max_len=8192
  ./build-fuzz/tests/fuzz/fuzz_"$t" "$corpus" -max_total_time="$seconds" \
    -artifact_prefix=fuzz-corpus/crashes/"$t"- -max_len=$max_len -timeout=10 -rss_limit_mb=3072 \
    -malloc_limit_mb=2560 -print_final_stats=1
done
