// GIF colour reduction of the capture path (web cube, Floyd-Steinberg)
// against a straightforward implementation of the same loop, which must
// give identical indices.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "codecs/gif/GIFImage.h"
#include "codecs/gif/gifreduce.h"

using namespace pixkeep;

namespace {

// The loop as it reads: per channel an error row of width + 2 cells and the
// three accumulators, one pixel at a time in serpentine order.
std::vector<uint8_t> referenceReduce(const RasterImage& source) {
  const int width = source.width(), height = source.height();
  std::vector<uint8_t> indices(size_t(width) * size_t(height));
  std::vector<int> errors[3];
  for (auto& e : errors) e.assign(size_t(width) + 2, 0);
  int carry[3] = {}, below[3] = {}, behind[3] = {};
  int direction = 1, column = 0, cursor = 0;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = source.constScanline(y);
    while (column >= 0 && column < width) {
      const uint8_t* pixel = row + 3 * column;
      const int values[3] = {pixel[2], pixel[1], pixel[0]};
      int levels[3];
      for (int c = 0; c < 3; ++c) {
        int& cell = errors[c][size_t(cursor)];
        int v = values[c] + (cell + carry[c] + 8) / 16;
        v = std::clamp(v, 0, 255);
        levels[c] = (v + 3) / 51;
        const int e = v - 51 * levels[c];
        if (e != 0) {
          cell = behind[c] + 3 * e;
          behind[c] = below[c] + 5 * e;
          below[c] = e;
          carry[c] = 7 * e;
        } else {
          carry[c] = 0;
        }
      }
      indices[size_t(y) * size_t(width) + size_t(column)] = uint8_t(36 * levels[0] + 6 * levels[1] + levels[2]);
      column += direction;
      cursor += direction;
    }
    for (int c = 0; c < 3; ++c) {
      errors[c][size_t(cursor)] = behind[c];
      carry[c] = below[c] = behind[c] = 0;
    }
    direction = -direction;
    column = direction > 0 ? 0 : width - 1;
    cursor = direction > 0 ? 0 : width + 1;
  }
  return indices;
}

std::vector<uint8_t> indicesOf(const RasterImage& reduced) {
  std::vector<uint8_t> out;
  out.reserve(size_t(reduced.width()) * size_t(reduced.height()));
  for (int y = 0; y < reduced.height(); ++y) {
    const uint8_t* row = reduced.constScanline(y);
    out.insert(out.end(), row, row + reduced.width());
  }
  return out;
}

void toBits24(const bench::CorpusPicture& p, RasterImage& r) {
  r.createBlank(p.width, p.height, PixelFormat::Bits24);
  for (int y = 0; y < p.height; ++y) {
    uint8_t* row = r.scanline(y);
    const uint8_t* src = &p.rgb[size_t(y) * size_t(p.width) * 3];
    for (int x = 0; x < p.width; ++x) {
      row[3 * x] = src[3 * x + 2];
      row[3 * x + 1] = src[3 * x + 1];
      row[3 * x + 2] = src[3 * x];
    }
  }
}

}  // namespace

int main() {
  const char* names[] = {"desk_b_1920x1080.png", "plasma_1920x1080.png", "ui_640x480.png"};
  for (const char* name : names) {
    const std::string path = std::string(CORPUS_DIR) + "/" + name;
    if (!std::filesystem::exists(path)) {
      std::fprintf(stderr, "gif_reduce_bench: corpus picture missing: %s\n", path.c_str());
      return 1;
    }
  }
  const auto corpus = bench::loadCorpus();
  if (corpus.size() != std::size(names) + 1) {
    std::fprintf(stderr, "gif_reduce_bench: the corpus in %s could not be read\n", CORPUS_DIR);
    return 1;
  }

  bool ok = true;
  for (const auto& picture : corpus) {
    RasterImage source;
    toBits24(picture, source);
    std::unique_ptr<RasterImage> reduced;
    std::vector<uint8_t> theirs;
    const int runs = picture.width > 2000 ? 7 : picture.width > 1000 ? 11 : 31;
    auto [tOurs, tReference] = bench::medianPair(
        [&] {
          reduced.reset();
          reduced = ReduceToPalette(source, pmWebCube, daFloydSteinberg, 8);
        },
        [&] {
          theirs.clear();
          theirs.shrink_to_fit();
          theirs = referenceReduce(source);
        },
        runs);
    if (indicesOf(*reduced) != theirs) {
      std::printf("GIF web cube %s: the indices differ from the reference\n", picture.name.c_str());
      ok = false;
      continue;
    }
    char label[96];
    std::snprintf(label, sizeof label, "GIF web-cube dither %s", picture.name.c_str());
    ok = bench::report(label, tOurs, tReference, 1.0) && ok;
  }

  // For information: the whole capture path from a 32-bit screen raster
  // (conversion to 24 bits, reduction, frame pixels and colour table).
  const auto& big = corpus.back();
  RasterImage screen;
  bench::toDeviceRaster(big, screen);
  const double frame = bench::medianSeconds(
      [&] {
        RasterImage captured;
        captured.assign(&screen);
        TGIFImage gif;
        gif.DitherAlgorithm = daFloydSteinberg;
        gif.AssignRaster(captured);
      },
      5);
  std::printf("GIF frame from a 32-bit %dx%d raster: %.3f ms (no target)\n", big.width, big.height, frame * 1e3);
  return ok ? 0 : 1;
}
