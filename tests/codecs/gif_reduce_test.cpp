// GIF colour reduction and frame conversion. The web-cube Floyd-Steinberg
// path is checked against worked examples and against a reference written
// here from the description of the algorithm, one channel at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>

#include "codecs/gif/GIFImage.h"
#include "codecs/gif/gifreduce.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

// A Bits24 raster whose top-down pixel (x, y) is f(x, y).
void fill24(RasterImage& raster, int width, int height, const std::function<Rgb(int, int)>& f) {
  raster.createBlank(width, height, PixelFormat::Bits24);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = raster.scanline(y);
    for (int x = 0; x < width; ++x) {
      const Rgb c = f(x, y);
      row[3 * x] = c.b;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.r;
    }
  }
}

// The pixels of a Bits24 raster, top-down.
std::vector<Rgb> pixelsOf(const RasterImage& raster) {
  std::vector<Rgb> out;
  for (int y = 0; y < raster.height(); ++y) {
    const uint8_t* row = raster.constScanline(y);
    for (int x = 0; x < raster.width(); ++x) out.push_back(Rgb{row[3 * x + 2], row[3 * x + 1], row[3 * x]});
  }
  return out;
}

// The indices of a Bits8 raster, top-down, without row padding.
std::vector<uint8_t> indicesOf(const RasterImage& raster) {
  EXPECT_EQ(raster.pixelFormat(), PixelFormat::Bits8);
  std::vector<uint8_t> out;
  for (int y = 0; y < raster.height(); ++y) {
    const uint8_t* row = raster.constScanline(y);
    out.insert(out.end(), row, row + raster.width());
  }
  return out;
}

// Floyd-Steinberg onto the web cube, written from the description of the
// algorithm: every channel on its own over the whole picture (they never
// interact), cells addressed by column (x on left-to-right rows, x + 2 on
// right-to-left rows).
std::vector<uint8_t> referenceWebCube(int width, int height, const std::vector<Rgb>& pixels) {
  std::vector<int> levels[3];
  for (int c = 0; c < 3; ++c) {
    std::vector<int> cells(size_t(width) + 2, 0);
    levels[c].assign(pixels.size(), 0);
    for (int y = 0; y < height; ++y) {
      const bool leftToRight = y % 2 == 0;
      int carry = 0, below = 0, behind = 0;
      for (int k = 0; k < width; ++k) {
        const int x = leftToRight ? k : width - 1 - k;
        const size_t i = size_t(y) * size_t(width) + size_t(x);
        int& cell = cells[size_t(leftToRight ? x : x + 2)];
        const Rgb& p = pixels[i];
        const int value = c == 0 ? p.r : c == 1 ? p.g : p.b;
        const int v = std::clamp(value + (cell + carry + 8) / 16, 0, 255);  // '/' truncates toward zero
        const int level = (v + 3) / 51;
        const int e = v - 51 * level;
        if (e != 0) {
          cell = behind + 3 * e;
          behind = below + 5 * e;
          below = e;
        }
        carry = 7 * e;
        levels[c][i] = level;
      }
      cells[size_t(leftToRight ? width : 1)] = behind;
    }
  }
  std::vector<uint8_t> out(pixels.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t(36 * levels[0][i] + 6 * levels[1][i] + levels[2][i]);
  return out;
}

std::unique_ptr<RasterImage> reduce(RasterImage& source, uint8_t method, uint8_t dither, int32_t bits = 8,
                                    const std::vector<RGBQuad>* custom = nullptr) {
  return ReduceToPalette(source, method, dither, bits, custom);
}

// Runs `f` and returns the message of the GIFException it raised.
std::string gifError(const std::function<void()>& f) {
  try {
    f();
  } catch (const GIFException& e) {
    return e.what();
  }
  return "(no GIFException)";
}

// ---------------------------------------------------------------- colour map

TEST(GifColorMap, BitsForCount) {
  const std::pair<int, int> cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {16, 4},
                                       {17, 5}, {128, 7}, {129, 8}, {216, 8}, {256, 8}};
  for (auto [count, bits] : cases) EXPECT_EQ(BitsForCount(count), bits) << count;
}

TEST(GifColorMap, CapacityIs16ThenMultiplesOf32UpTo256) {
  const std::pair<int, int> cases[] = {{1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}, {200, 224}, {225, 256}, {256, 256}};
  for (auto [count, capacity] : cases) {
    TGIFLocalColorMap map;
    for (int i = 0; i < count; ++i) map.Add(TGIFColor{uint8_t(i), 0, 0});
    EXPECT_EQ(map.Count(), count);
    EXPECT_EQ(map.Capacity(), capacity) << count;
    for (int i = 0; i < count; ++i) ASSERT_EQ(map[i].Red, uint8_t(i));  // growth kept the entries
  }
}

TEST(GifColorMap, AddUniqueFindsOrAppendsAndTheTableHoldsAt256) {
  TGIFGlobalColorMap map;
  EXPECT_EQ(map.AddUnique({1, 2, 3}), 0);
  EXPECT_EQ(map.AddUnique({3, 2, 1}), 1);
  EXPECT_EQ(map.AddUnique({1, 2, 3}), 0);
  EXPECT_EQ(map.Count(), 2);
  for (int i = 0; i < 254; ++i) map.AddUnique(TGIFColor{uint8_t(i), uint8_t(i), 200});
  EXPECT_EQ(map.Count(), 256);
  EXPECT_EQ(map.AddUnique({3, 2, 1}), 1);  // a known colour still fits a full table
  EXPECT_EQ(gifError([&] { map.AddUnique({9, 9, 9}); }), msg::GIFColorTableOverflow);
  EXPECT_EQ(map.Count(), 256);

  TGIFGlobalColorMap copy;
  copy = map;
  map[0] = TGIFColor{7, 7, 7};
  EXPECT_EQ(copy[0], (TGIFColor{1, 2, 3}));  // a copy owns its own entries
  EXPECT_EQ(copy.Count(), 256);
}

// ------------------------------------------------------ the web-cube mapping

TEST(GifReduce, NearestWebCubeLevelsRoundDownFromPlusThree) {
  const std::pair<uint8_t, int> cases[] = {{0, 0},   {47, 0},  {48, 1},  {98, 1},  {99, 2},  {149, 2},
                                           {150, 3}, {200, 3}, {201, 4}, {251, 4}, {252, 5}, {255, 5}};
  RasterImage source;
  fill24(source, int(std::size(cases)), 1, [&](int x, int) {
    const uint8_t v = cases[x].first;
    return Rgb{v, 0, v};  // red and blue at the value, green at 0
  });
  auto result = reduce(source, pmWebCube, daNearest);
  const auto indices = indicesOf(*result);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(indices[i], 36 * cases[i].second + cases[i].second) << int(cases[i].first);

  RasterImage bw;
  fill24(bw, 2, 1, [](int x, int) { return x == 0 ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
  EXPECT_EQ(indicesOf(*reduce(bw, pmWebCube, daNearest)), (std::vector<uint8_t>{215, 0}));
}

TEST(GifReduce, FloydSteinbergWorkedExamples) {
  const Rgb grey{30, 30, 30}, white{255, 255, 255}, black{0, 0, 0};
  struct Case {
    const char* what;
    int width, height;
    std::vector<Rgb> pixels;  // top-down
    std::vector<uint8_t> indices;
  } cases[] = {
      {"one row of grey 30", 3, 1, {grey, grey, grey}, {0, 0, 43}},
      {"the second row runs right to left", 3, 2, {grey, grey, grey, grey, grey, grey}, {0, 0, 43, 43, 0, 0}},
      {"white then black", 2, 1, {white, black}, {215, 0}},
  };
  for (const Case& c : cases) {
    RasterImage source;
    fill24(source, c.width, c.height, [&](int x, int y) { return c.pixels[size_t(y * c.width + x)]; });
    EXPECT_EQ(indicesOf(*reduce(source, pmWebCube, daFloydSteinberg)), c.indices) << c.what;
  }
}

TEST(GifReduce, UniformAreasOnTheCubeMapToOneIndexWithEveryDitherer) {
  const std::pair<Rgb, uint8_t> colours[] = {
      {{0, 0, 0}, 0}, {{255, 255, 255}, 215}, {{51, 102, 153}, 36 + 12 + 3}, {{204, 0, 255}, 144 + 5}};
  for (auto [colour, index] : colours)
    for (uint8_t dither = daNearest; dither <= daBurkes; ++dither) {
      RasterImage source;
      fill24(source, 13, 7, [&](int, int) { return colour; });
      const auto indices = indicesOf(*reduce(source, pmWebCube, dither));
      EXPECT_EQ(std::count(indices.begin(), indices.end(), index), 13 * 7) << "dither " << int(dither);
    }
}

TEST(GifReduce, FloydSteinbergMatchesTheReferenceOnOddSizes) {
  std::mt19937 random(2024);
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 17}, {3, 5}, {2, 9}, {17, 9}, {47, 33}, {101, 7}};
  for (auto [width, height] : sizes)
    for (int kind = 0; kind < 2; ++kind) {
      // Noise, and a smooth picture with small noise (long runs of small errors).
      std::vector<Rgb> pixels(size_t(width) * size_t(height));
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const auto n = [&](int span) { return int(random() % unsigned(span)); };
          pixels[size_t(y * width + x)] =
              kind == 0 ? Rgb{uint8_t(n(256)), uint8_t(n(256)), uint8_t(n(256))}
                        : Rgb{uint8_t(std::clamp(x * 5 + n(5), 0, 255)), uint8_t(std::clamp(y * 7 + n(3), 0, 255)),
                              uint8_t(std::clamp(128 + x - y + n(9), 0, 255))};
        }
      const auto expected = referenceWebCube(width, height, pixels);
      RasterImage source;
      fill24(source, width, height, [&](int x, int y) { return pixels[size_t(y * width + x)]; });
      EXPECT_EQ(indicesOf(*reduce(source, pmWebCube, daFloydSteinberg)), expected) << width << "x" << height;

      // The same through MapPixel and NextRow, one pixel at a time.
      TNetscapeColorLookup lookup;
      TFloydSteinbergDitherer ditherer(width, lookup);
      std::vector<uint8_t> mapped(pixels.size());
      for (int y = 0; y < height; ++y) {
        ASSERT_EQ(ditherer.Direction(), y % 2 == 0 ? 1 : -1);
        ASSERT_EQ(ditherer.Column(), y % 2 == 0 ? 0 : width - 1);
        while (ditherer.Column() >= 0 && ditherer.Column() < width) {
          const int x = ditherer.Column();
          const Rgb& p = pixels[size_t(y * width + x)];
          uint8_t r, g, b;
          mapped[size_t(y * width + x)] = ditherer.MapPixel(p.r, p.g, p.b, r, g, b);
          ASSERT_EQ(int(r), 51 * (mapped[size_t(y * width + x)] / 36));
        }
        ditherer.NextRow();
      }
      EXPECT_EQ(mapped, expected) << width << "x" << height;
    }
}

TEST(GifReduce, PicturesOverHalfAMillionPixelsGiveTheSameIndices) {
  const int width = 1001, height = 500;  // 500500 pixels
  std::vector<Rgb> pixels(size_t(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      pixels[size_t(y * width + x)] = Rgb{uint8_t(x * 255 / width), uint8_t(y * 255 / height), uint8_t((x ^ y) & 255)};
  RasterImage source;
  fill24(source, width, height, [&](int x, int y) { return pixels[size_t(y * width + x)]; });
  EXPECT_EQ(indicesOf(*reduce(source, pmWebCube, daFloydSteinberg)), referenceWebCube(width, height, pixels));
}

// ------------------------------------------------------ the reduced raster

// The palette each method must put first in the colour table (empty: chosen
// from the picture).
std::vector<RGBQuad> fixedPalette(uint8_t method, const std::vector<RGBQuad>& custom) {
  std::vector<RGBQuad> p;
  switch (method) {
    case pmSystem20: return systemPalette20();
    case pmHalftone: return halftonePalette();
    case pmGrayscale4: return {rgbQuad(0, 0, 0), rgbQuad(128, 128, 128), rgbQuad(192, 192, 192), rgbQuad(255, 255, 255)};
    case pmMonochrome: return {rgbQuad(0, 0, 0), rgbQuad(255, 255, 255)};
    case pmGrayscale256:
      for (int i = 0; i < 256; ++i) p.push_back(rgbQuad(uint8_t(i), uint8_t(i), uint8_t(i)));
      return p;
    case pmWebCube:
      for (int i = 0; i < 216; ++i) p.push_back(rgbQuad(uint8_t(51 * (i / 36)), uint8_t(51 * (i / 6 % 6)), uint8_t(51 * (i % 6))));
      return p;
    case pmCustom: return custom;
    default: return {};
  }
}

// A colourful picture: hue sweeps across, brightness down, some noise.
void colourful(RasterImage& source, int width = 37, int height = 23) {
  std::mt19937 random(7);
  fill24(source, width, height, [&](int x, int y) {
    const int n = int(random() % 24);
    return Rgb{uint8_t(std::clamp(x * 255 / width + n, 0, 255)), uint8_t(std::clamp(255 - y * 255 / height + n, 0, 255)),
               uint8_t(std::clamp((x + y) * 4 + n, 0, 255))};
  });
}

TEST(GifReduce, EveryMethodAndDithererGivesA256EntryTableAndOnlyIndicesOfItsPalette) {
  const std::vector<RGBQuad> custom = {rgbQuad(255, 0, 0), rgbQuad(0, 255, 0), rgbQuad(0, 0, 255), rgbQuad(90, 90, 90),
                                       rgbQuad(250, 250, 250)};
  for (uint8_t method = pmSystem20; method <= pmCustom; ++method)
    for (uint8_t dither = daNearest; dither <= daBurkes; ++dither) {
      SCOPED_TRACE("method " + std::to_string(method) + " dither " + std::to_string(dither));
      RasterImage source;
      colourful(source);
      auto result = reduce(source, method, dither, 4, &custom);
      ASSERT_EQ(result->pixelFormat(), PixelFormat::Bits8);
      ASSERT_EQ(result->width(), 37);
      ASSERT_EQ(result->height(), 23);
      const auto& table = result->colorTable();
      ASSERT_EQ(table.size(), 256u);
      const uint32_t paletteCount = result->header().biClrImportant;
      EXPECT_EQ(result->header().biClrUsed, 256u);
      const auto expected = fixedPalette(method, custom);
      if (!expected.empty()) {
        EXPECT_EQ(paletteCount, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), table.begin()));
      } else {
        EXPECT_GE(paletteCount, 2u);
        EXPECT_LE(paletteCount, method == pmQuantize ? 16u : 256u);
      }
      for (size_t i = paletteCount; i < 256; ++i) ASSERT_EQ(table[i], RGBQuad{}) << i;
      for (uint8_t index : indicesOf(*result)) ASSERT_LT(index, paletteCount);
    }
}

TEST(GifReduce, ErrorDiffusionKeepsTheLocalMeanOfAGradientBetterThanNearestColour) {
  // A smooth gradient; the error is measured on 8x8 block means, which
  // nearest-colour mapping gets wrong by the width of a palette step.
  const int width = 128, height = 64;
  auto gradient = [](int x, int y) {
    return Rgb{uint8_t(x * 2), uint8_t(y * 4), uint8_t(std::clamp(160 + (x - 2 * y) / 2, 0, 255))};
  };
  auto greyGradient = [](int x, int y) { const auto v = uint8_t(x * 2 + y / 32); return Rgb{v, v, v}; };
  auto blockError = [&](uint8_t method, uint8_t dither, const std::function<Rgb(int, int)>& f) {
    RasterImage source;
    fill24(source, width, height, f);
    auto result = reduce(source, method, dither);
    const auto indices = indicesOf(*result);
    const auto& table = result->colorTable();
    double total = 0;
    int blocks = 0;
    for (int by = 0; by < height; by += 8)
      for (int bx = 0; bx < width; bx += 8, ++blocks) {
        double want[3] = {}, got[3] = {};
        for (int y = by; y < by + 8; ++y)
          for (int x = bx; x < bx + 8; ++x) {
            const Rgb s = f(x, y);
            const RGBQuad& q = table[indices[size_t(y * width + x)]];
            want[0] += s.r; want[1] += s.g; want[2] += s.b;
            got[0] += q.red; got[1] += q.green; got[2] += q.blue;
          }
        for (int c = 0; c < 3; ++c) total += std::abs(want[c] - got[c]) / 64.0;
      }
    return total / (3.0 * blocks);
  };
  const std::pair<uint8_t, std::function<Rgb(int, int)>> cases[] = {
      {pmWebCube, gradient}, {pmGrayscale4, greyGradient}, {pmMonochrome, greyGradient}};
  for (const auto& [method, f] : cases) {
    const double nearest = blockError(method, daNearest, f);
    EXPECT_GT(nearest, 4.0) << "method " << int(method);  // the gradient really falls between palette colours
    for (uint8_t dither = daFloydSteinberg; dither <= daBurkes; ++dither)
      EXPECT_LT(blockError(method, dither, f), nearest / 2) << "method " << int(method) << " dither " << int(dither);
  }
}

TEST(GifReduce, Lookups) {
  // The general lookup: smallest |dr| + |dg| + |db|, the first of equals.
  const std::vector<RGBQuad> palette = {rgbQuad(0, 0, 200), rgbQuad(100, 0, 0), rgbQuad(0, 100, 0),
                                        rgbQuad(0, 0, 10), rgbQuad(0, 0, 0)};
  TFastColorLookup fast(palette);
  EXPECT_EQ(fast.Colors(), 5);
  uint8_t r, g, b;
  EXPECT_EQ(fast.NearestIndex(50, 50, 0, r, g, b), 1);  // 100 from entries 1, 2 and 4: the first wins
  EXPECT_EQ(r, 100);
  EXPECT_EQ(fast.NearestIndex(0, 0, 7, r, g, b), 3);
  // Colours of one 15-bit cell share the first answer: (0, 0, 0) lies in
  // the cell of (0, 0, 7) and now maps to entry 3, not to its exact match.
  EXPECT_EQ(fast.NearestIndex(0, 0, 0, r, g, b), 3);
  EXPECT_EQ(b, 10);
  TFastColorLookup fresh(palette);
  EXPECT_EQ(fresh.NearestIndex(0, 0, 0, r, g, b), 4);

  TGrayScaleLookup grey;
  EXPECT_EQ(grey.NearestIndex(255, 255, 255, r, g, b), 255);
  EXPECT_EQ(grey.NearestIndex(100, 50, 200, r, g, b), (77 * 100 + 150 * 50 + 29 * 200) >> 8);
  EXPECT_EQ(int(g), (77 * 100 + 150 * 50 + 29 * 200) >> 8);

  // 77 * 127 + 150 * 127 + 29 * 127 = 32512 is still black.
  TMonochromeLookup mono;
  EXPECT_EQ(mono.NearestIndex(127, 127, 127, r, g, b), 0);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(mono.NearestIndex(128, 127, 127, r, g, b), 1);
  EXPECT_EQ(r, 255);
}

TEST(GifReduce, QuantizersReproduceFewColoursAndRespectTheirLimit) {
  // 12 colours far apart, in different 5-bit cells.
  std::vector<Rgb> colours;
  for (int i = 0; i < 12; ++i) colours.push_back(Rgb{uint8_t(i * 20), uint8_t(255 - i * 17), uint8_t((i * 77) % 256)});
  auto picture = [&](RasterImage& r) { fill24(r, 24, 6, [&](int x, int y) { return colours[size_t(x + y) % 12]; }); };
  for (auto [method, bits] : {std::pair<uint8_t, int>{pmQuantize, 4}, {pmOptimized, 8}}) {
    RasterImage source;
    picture(source);
    const auto original = pixelsOf(source);
    auto result = reduce(source, method, daNearest, bits);
    const auto indices = indicesOf(*result);
    for (size_t i = 0; i < indices.size(); ++i) {
      const RGBQuad& q = result->colorTable()[indices[i]];
      ASSERT_EQ((Rgb{q.red, q.green, q.blue}), original[i]) << "method " << int(method) << " pixel " << i;
    }
  }
  // Many colours: the octree stops at 2^bits.
  for (int bits : {1, 3, 6}) {
    RasterImage source;
    colourful(source, 64, 40);
    auto result = reduce(source, pmQuantize, daFloydSteinberg, bits);
    EXPECT_LE(result->header().biClrImportant, 1u << bits);
    EXPECT_GE(result->header().biClrImportant, 1u);
  }
}

TEST(GifReduce, TheOptimizedPaletteFitsAPhotographBetterThanTheFixedOnes) {
  auto meanError = [](uint8_t method) {
    RasterImage source;
    colourful(source, 96, 64);
    const auto original = pixelsOf(source);
    auto result = reduce(source, method, daNearest);
    const auto indices = indicesOf(*result);
    double total = 0;
    for (size_t i = 0; i < indices.size(); ++i) {
      const RGBQuad& q = result->colorTable()[indices[i]];
      total += std::abs(q.red - original[i].r) + std::abs(q.green - original[i].g) + std::abs(q.blue - original[i].b);
    }
    return total / double(indices.size());
  };
  // Summed over the three channels: below 4 a channel on this noisy picture,
  // and better than the octree's 256 colours.
  const double optimized = meanError(pmOptimized);
  EXPECT_LT(optimized, 12.0);
  EXPECT_LT(optimized, meanError(pmQuantize));
  EXPECT_LT(optimized, meanError(pmWebCube) / 2);
  EXPECT_LT(optimized, meanError(pmHalftone) / 2);
}

TEST(GifReduce, FailuresRaiseTheirMessagesAndLeaveTheSourceAlone) {
  const std::vector<RGBQuad> empty, tooMany(257);
  const struct {
    const char* what;
    int width;
    uint8_t method, dither;
    int32_t bits;
    const std::vector<RGBQuad>* custom;
    const char* message;
  } cases[] = {
      {"empty picture", 0, pmWebCube, daFloydSteinberg, 8, nullptr, msg::GIFInvalidImageDimensions},
      {"palette method 10", 5, 10, daNearest, 8, nullptr, msg::GIFInvalidReductionMethod},
      {"dither algorithm 7", 5, pmWebCube, 7, 8, nullptr, msg::GIFInvalidDitherAlgorithm},
      {"quantizer bits 0", 5, pmQuantize, daNearest, 0, nullptr, msg::GIFInvalidQuantizerBits},
      {"quantizer bits 9", 5, pmQuantize, daNearest, 9, nullptr, msg::GIFInvalidQuantizerBits},
      {"no custom palette", 5, pmCustom, daNearest, 8, nullptr, msg::GIFInvalidCustomPalette},
      {"empty custom palette", 5, pmCustom, daNearest, 8, &empty, msg::GIFInvalidCustomPalette},
      {"257 custom colours", 5, pmCustom, daNearest, 8, &tooMany, msg::GIFInvalidCustomPalette},
  };
  for (const auto& c : cases) {
    RasterImage source;
    if (c.width > 0) {
      source.createBlank(c.width, 3, PixelFormat::Bits32);
      paint(source, [](int x, int) { return uint32_t(x * 0x102030); });
    }
    const PixelFormat before = source.pixelFormat();
    EXPECT_EQ(gifError([&] { ReduceToPalette(source, c.method, c.dither, c.bits, c.custom); }), c.message) << c.what;
    if (c.width > 0) {
      EXPECT_EQ(source.pixelFormat(), before) << c.what;
    }
  }
}

TEST(GifReduce, TheSourceIsLeftAtBits24UnlessPaletteMethodIsNone) {
  for (PixelFormat format : {PixelFormat::Device, PixelFormat::Bits15, PixelFormat::Bits16, PixelFormat::Bits32}) {
    RasterImage source;
    source.createBlank(5, 4, format);
    RasterImage shared;
    shared.assign(&source);
    reduce(source, pmWebCube, daFloydSteinberg);
    EXPECT_EQ(source.pixelFormat(), PixelFormat::Bits24) << int(format);
    EXPECT_EQ(shared.pixelFormat(), format) << "a raster sharing the pixels keeps them";

    RasterImage untouched;
    untouched.createBlank(5, 4, format);
    auto copy = reduce(untouched, pmNone, daFloydSteinberg);
    EXPECT_EQ(untouched.pixelFormat(), format);
    EXPECT_EQ(copy->pixelFormat(), PixelFormat::Bits24);
  }
}

TEST(GifDIB, WriterChecksFormatSizeAndRowsAndLoadsItsTarget) {
  const std::vector<RGBQuad> palette = {rgbQuad(1, 2, 3), rgbQuad(4, 5, 6)};
  for (PixelFormat format : everyFormat()) {
    if (format == PixelFormat::Bits8 || format == PixelFormat::Bits24) continue;
    RasterImage target;
    EXPECT_EQ(gifError([&] { TDIBWriter(target, format, 4, 4, palette); }), msg::GIFUnsupportedPixelFormat)
        << int(format);
  }
  for (auto [w, h] : {std::pair{0, 3}, std::pair{3, 0}, std::pair{-1, 3}}) {
    RasterImage target;
    EXPECT_EQ(gifError([&] { TDIBWriter(target, PixelFormat::Bits8, w, h, palette); }), msg::GIFInvalidImageDimensions);
  }
  RasterImage huge;
  EXPECT_THROW(TDIBWriter(huge, PixelFormat::Bits8, 100000, 100000, palette), EGIFOutOfMemory);

  // Width 3: rows of 4 bytes, one of them padding.
  RasterImage target;
  TDIBWriter writer(target, PixelFormat::Bits8, 3, 2, palette);
  const uint8_t rows[2][3] = {{0, 1, 0}, {1, 1, 0}};
  for (int y = 0; y < 2; ++y) std::copy_n(rows[y], 3, writer.Scanline(y));
  EXPECT_EQ(target.width(), 0) << "nothing reaches the target before Finish";
  writer.Finish();
  EXPECT_EQ(gifError([&] { writer.Scanline(0); }), msg::GIFImageHasNoDIB);
  ASSERT_EQ(target.pixelFormat(), PixelFormat::Bits8);
  EXPECT_EQ(target.header().biClrUsed, 256u);
  EXPECT_EQ(target.header().biClrImportant, 2u);
  EXPECT_EQ(target.colorTable()[1], rgbQuad(4, 5, 6));
  EXPECT_EQ(indicesOf(target), (std::vector<uint8_t>{0, 1, 0, 1, 1, 0}));
  EXPECT_EQ(target.constScanline(0)[3], 0) << "padding";

  RasterImage truecolour;
  TDIBWriter writer24(truecolour, PixelFormat::Bits24, 1, 1, palette);
  writer24.Scanline(0)[2] = 200;
  writer24.Scanline(0)[0] = writer24.Scanline(0)[1] = 0;
  writer24.Finish();
  EXPECT_EQ(truecolour.pixelFormat(), PixelFormat::Bits24);
  EXPECT_EQ(pixelsOf(truecolour), (std::vector<Rgb>{{200, 0, 0}}));
}

// The bitmap file a DIB writer stands for: file and info headers, for 8 bits
// a table of 256 entries (the palette, then black; the fourth byte zero) of
// which the palette's own count as important, rows bottom-up and padded with
// zeros.
std::vector<uint8_t> dibFile(int width, int height, int bits, const std::vector<RGBQuad>& palette,
                             const std::vector<std::vector<uint8_t>>& topDownRows) {
  const uint32_t entries = bits == 8 ? 256 : 0;
  const uint32_t stride = uint32_t((width * bits + 31) / 32 * 4), imageSize = stride * uint32_t(height);
  const uint32_t offset = 14 + 40 + 4 * entries;
  Bytes b;
  b.u16(0x4D42).u32(offset + imageSize).u16(0).u16(0).u32(offset);
  b.u32(40).u32(uint32_t(width)).u32(uint32_t(height)).u16(1).u16(uint16_t(bits)).u32(BI_RGB).u32(imageSize);
  b.u32(0).u32(0).u32(entries).u32(std::min<uint32_t>(uint32_t(palette.size()), entries));
  for (uint32_t i = 0; i < entries; ++i) {
    const RGBQuad q = i < palette.size() ? palette[i] : RGBQuad{};
    b.u8(q.blue).u8(q.green).u8(q.red).u8(0);
  }
  for (int y = height - 1; y >= 0; --y) {
    std::vector<uint8_t> row = topDownRows[size_t(y)];
    row.resize(stride, 0);
    b.append(row);
  }
  return b.v;
}

// The writer builds its raster in place instead of reading a file back: the
// raster must be the one the BMP reader makes of that file, to the last
// header field, table entry and padding byte.
TEST(GifDIB, TheWrittenRasterIsWhatTheBmpReaderMakesOfTheBitmapFile) {
  std::vector<RGBQuad> many;
  for (int i = 0; i < 300; ++i) many.push_back(RGBQuad{uint8_t(i), uint8_t(i / 2), uint8_t(255 - i % 256), 0});
  const std::vector<RGBQuad> withFourthBytes = {RGBQuad{1, 2, 3, 0x80}, RGBQuad{4, 5, 6, 0xFF}};
  struct Case {
    PixelFormat format;
    int width, height;
    std::vector<RGBQuad> palette;
  };
  const Case cases[] = {
      {PixelFormat::Bits8, 1, 1, withFourthBytes},        // three padding bytes
      {PixelFormat::Bits8, 4, 3, WebCubePalette()},       // no padding
      {PixelFormat::Bits8, 7, 2, many},                   // more than 256 colours
      {PixelFormat::Bits8, 6, 2, {}},                     // no colours of its own
      {PixelFormat::Bits24, 1, 2, withFourthBytes},       // one padding byte
      {PixelFormat::Bits24, 2, 3, {}},                    // two
      {PixelFormat::Bits24, 4, 1, {}},                    // none
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.format) << " " << c.width << "x" << c.height << ", "
                                      << c.palette.size() << " colours");
    const int bits = c.format == PixelFormat::Bits8 ? 8 : 24;
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < c.height; ++y) {
      std::vector<uint8_t> row;
      for (int i = 0; i < c.width * bits / 8; ++i) row.push_back(uint8_t(31 * y + 7 * i + 1));
      rows.push_back(row);
    }
    RasterImage written;
    written.transparent = true;
    written.transparentColorValue = 0x123456;
    TDIBWriter writer(written, c.format, c.width, c.height, c.palette);
    // The bottom row first: each row must land in its own place.
    for (int y = c.height - 1; y >= 0; --y) std::copy(rows[size_t(y)].begin(), rows[size_t(y)].end(), writer.Scanline(y));
    writer.Finish();

    RasterImage read;
    MemoryStream file(dibFile(c.width, c.height, bits, c.palette, rows));
    read.loadFromStream(file);
    ASSERT_EQ(read.pixelFormat(), c.format);

    EXPECT_EQ(written.pixelFormat(), read.pixelFormat());
    EXPECT_EQ(written.header(), read.header());
    EXPECT_EQ(written.colorTable(), read.colorTable());
    EXPECT_EQ(written.storedPalette(), read.storedPalette());
    EXPECT_EQ(written.palette(), read.palette());
    ASSERT_EQ(written.stride(), read.stride());
    for (int y = 0; y < c.height; ++y) {
      const uint8_t* ours = written.constScanline(y);
      const uint8_t* theirs = read.constScanline(y);
      EXPECT_EQ(std::vector<uint8_t>(ours, ours + written.stride()), std::vector<uint8_t>(theirs, theirs + read.stride()))
          << "row " << y << ", padding included";
    }
    MemoryStream ourBmp, theirBmp;
    written.saveToBmpStream(ourBmp);
    read.saveToBmpStream(theirBmp);
    EXPECT_EQ(ourBmp.bytes(), theirBmp.bytes());
    EXPECT_TRUE(written.transparent) << "the target's transparency settings stay";
    EXPECT_EQ(written.transparentColorValue, 0x123456u);
  }
}

// ------------------------------------------------------------------- frames

TEST(GifFrame, IndexedRastersKeepTheirTableAndIndices) {
  const std::vector<RGBQuad> table = {rgbQuad(10, 20, 30), rgbQuad(200, 100, 0), rgbQuad(0, 0, 255)};
  for (PixelFormat format : {PixelFormat::Bits1, PixelFormat::Bits4, PixelFormat::Bits8}) {
    const int colours = format == PixelFormat::Bits1 ? 2 : 3;
    RasterImage source;
    source.createBlank(11, 5, format, std::vector<RGBQuad>(table.begin(), table.begin() + colours));
    std::vector<uint8_t> expected;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 11; ++x) {
        const auto index = uint8_t((x * 3 + y) % colours);
        putRaw(source, x, y, index);
        expected.push_back(index);
      }
    TGIFImage gif;
    gif.DitherAlgorithm = daFloydSteinberg;
    gif.AssignRaster(source);
    ASSERT_EQ(gif.Images.Count(), 1);
    const TGIFSubImage& frame = gif.Images[0];
    EXPECT_EQ(frame.Data(), expected) << int(format);
    ASSERT_EQ(frame.ColorMap.Count(), colours);
    for (int i = 0; i < colours; ++i)
      EXPECT_EQ(frame.ColorMap[i], (TGIFColor{table[size_t(i)].red, table[size_t(i)].green, table[size_t(i)].blue}));
    EXPECT_EQ(source.pixelFormat(), format);
    EXPECT_EQ(gif.Width(), 11);
    EXPECT_EQ(gif.Height(), 5);
  }
}

TEST(GifFrame, IndicesBeyondAShortTableGetBlackEntries) {
  // An 8-bit raster listing 2 colours whose pixels use index 5.
  RasterImage source;
  MemoryStream bmp(makeBmp(2, 1, 8, BI_RGB, {0x0000FF, 0x00FF00}, {5, 1, 0, 0}, 2));
  source.loadFromStream(bmp);
  TGIFImage gif;
  gif.AssignRaster(source);
  const TGIFSubImage& frame = gif.Images[0];
  EXPECT_EQ(frame.Data(), (std::vector<uint8_t>{5, 1}));
  ASSERT_EQ(frame.ColorMap.Count(), 6);
  EXPECT_EQ(frame.ColorMap[1], (TGIFColor{0, 255, 0}));
  EXPECT_EQ(frame.ColorMap[5], TGIFColor{});
}

TEST(GifFrame, ATwoColourTruecolourRasterIsStillReducedOntoTheCube) {
  for (PixelFormat format : {PixelFormat::Bits24, PixelFormat::Bits32}) {
    SCOPED_TRACE(int(format));
    RasterImage source;
    source.createBlank(9, 4, format);
    paint(source, [](int x, int y) { return (x + y) % 2 ? White : Red; });
    TGIFImage gif;
    gif.DitherAlgorithm = daFloydSteinberg;
    gif.AssignRaster(source);
    const TGIFSubImage& frame = gif.Images[0];
    ASSERT_EQ(frame.ColorMap.Count(), 256);
    for (int i = 0; i < 216; ++i)
      ASSERT_EQ(frame.ColorMap[i], (TGIFColor{uint8_t(51 * (i / 36)), uint8_t(51 * (i / 6 % 6)), uint8_t(51 * (i % 6))}));
    for (int i = 216; i < 256; ++i) ASSERT_EQ(frame.ColorMap[i], TGIFColor{});
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 9; ++x) EXPECT_EQ(frame.Pixel(x, y), (x + y) % 2 ? 215 : 180);
    EXPECT_EQ(frame.WorkingRaster()->pixelFormat(), PixelFormat::Bits8);
    EXPECT_EQ(source.pixelFormat(), PixelFormat::Bits24);
    EXPECT_FALSE(frame.Transparent());
    EXPECT_EQ(frame.Extensions.Count(), 0);
  }
}

TEST(GifFrame, ACapturedDeviceRasterGivesTheReferenceIndices) {
  for (int bits : {32, 16}) {
    ScopedDisplay display(bits);
    std::mt19937 random{unsigned(bits)};
    RasterImage source;
    source.createBlank(31, 19, PixelFormat::Device);
    paint(source, [&](int, int) { return uint32_t(random() & 0xFFFFFF); });
    RasterImage expectedSource;
    expectedSource.assign(&source);
    expectedSource.setPixelFormat(PixelFormat::Bits24);
    const auto expected = referenceWebCube(31, 19, pixelsOf(expectedSource));
    TGIFImage gif;
    gif.DitherAlgorithm = daFloydSteinberg;
    gif.AssignRaster(source);
    EXPECT_EQ(gif.Images[0].Data(), expected) << bits;
  }
}

TEST(GifFrame, PaletteMethodNoneTakesEveryColourInOrderOfFirstUse) {
  // 256 distinct colours fit; the colours come back in the order met.
  RasterImage source;
  fill24(source, 16, 17, [](int x, int y) {
    const int i = y < 16 ? y * 16 + x : (x * 7) % 256;  // the last row repeats earlier colours out of order
    return Rgb{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)};
  });
  TGIFImage gif;
  gif.PaletteMethod = pmNone;
  gif.AssignRaster(source);
  const TGIFSubImage& frame = gif.Images[0];
  ASSERT_EQ(frame.ColorMap.Count(), 256);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(frame.ColorMap[i], (TGIFColor{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)}));
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(frame.Pixel(x, y), y < 16 ? y * 16 + x : (x * 7) % 256);

  // A 257th colour does not fit; the picture is left empty.
  fill24(source, 257, 1, [](int x, int) { return Rgb{uint8_t(x), uint8_t(x >> 8), 0}; });
  EXPECT_EQ(gifError([&] { gif.AssignRaster(source); }), msg::GIFColorTableOverflow);
  EXPECT_EQ(gif.Images.Count(), 0);
  EXPECT_EQ(gif.Width(), 0);
}

TEST(GifFrame, SizesScreenAndFailures) {
  TGIFImage gif;
  std::vector<std::string> warnings;
  gif.OnWarning = [&](const std::string& m) { warnings.push_back(m); };
  auto frame = std::make_unique<TGIFSubImage>(&gif);
  frame->SetWidth(4);
  frame->SetHeight(3);
  EXPECT_EQ(warnings.size(), 0u) << "a fresh screen grows silently";
  EXPECT_EQ(gif.Width(), 4);
  EXPECT_EQ(gif.Height(), 3);
  frame->Data().assign(12, 7);
  frame->SetWidth(6);
  EXPECT_EQ(frame->Data(), std::vector<uint8_t>(18, 0)) << "a new size starts zero-filled";
  EXPECT_EQ(warnings, (std::vector<std::string>{msg::GIFScreenWidthTooSmall, msg::GIFExceedsScreen}));
  gif.Images.Add(std::move(frame));
  EXPECT_EQ(gifError([&] { gif.Header.SetWidth(5); }), msg::GIFScreenWidthTooSmall);
  EXPECT_EQ(gifError([&] { gif.Header.SetHeight(2); }), msg::GIFScreenHeightTooSmall);
  gif.Header.SetWidth(9);
  EXPECT_EQ(gif.Width(), 9);

  // 65536 pixels wide cannot be a GIF frame; the picture is left empty.
  RasterImage wide;
  wide.createBlank(65536, 1, PixelFormat::Bits24);
  EXPECT_EQ(gifError([&] { gif.AssignRaster(wide); }), msg::GIFImageTooLarge);
  EXPECT_EQ(gif.Images.Count(), 0);
  EXPECT_EQ(gif.Width(), 0);
  EXPECT_EQ(wide.pixelFormat(), PixelFormat::Bits24);

  // An invalid setting fails the same way.
  RasterImage small;
  small.createBlank(3, 3, PixelFormat::Bits32);
  gif.PaletteMethod = 12;
  EXPECT_EQ(gifError([&] { gif.AssignRaster(small); }), msg::GIFInvalidReductionMethod);
  EXPECT_EQ(gif.Images.Count(), 0);
  EXPECT_EQ(gif.Width(), 0);
  EXPECT_EQ(small.pixelFormat(), PixelFormat::Bits32);

  // An empty raster gives one empty frame.
  RasterImage none;
  gif.PaletteMethod = pmWebCube;
  gif.AssignRaster(none);
  ASSERT_EQ(gif.Images.Count(), 1);
  EXPECT_TRUE(gif.Images[0].Empty());
  EXPECT_EQ(gif.Images[0].ColorMap.Count(), 0);
}

TEST(GifFrame, ATransparentRasterGetsATransparentIndexNoVisiblePixelUses) {
  for (uint8_t method : {pmWebCube, pmNone}) {
    RasterImage source;
    source.createBlank(6, 5, PixelFormat::Bits24);
    paint(source, [](int x, int y) { return x == 0 || y == 4 ? Green : (x + y) % 2 ? Red : Blue; });
    source.transparent = true;  // the colour is the bottom-left pixel's: green
    TGIFImage gif;
    gif.PaletteMethod = method;
    gif.AssignRaster(source);
    const TGIFSubImage& frame = gif.Images[0];
    ASSERT_TRUE(frame.Transparent()) << int(method);
    const int index = frame.GraphicControlExtension()->TransparentColorIndex;
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x) EXPECT_EQ(frame.Pixel(x, y) == index, x == 0 || y == 4) << x << "," << y;
  }
}

TEST(GifFrame, ProgressIsAnnouncedAtTheStartEvery32RowsAndAtTheEnd) {
  RasterImage source;
  source.createBlank(3, 70, PixelFormat::Bits24);
  TGIFImage gif;
  std::vector<std::pair<TProgressStage, int>> seen;
  gif.OnProgress = [&](TProgressStage stage, int percent, const std::string& message) {
    EXPECT_EQ(message, msg::GIFConverting);
    seen.emplace_back(stage, percent);
  };
  gif.AssignRaster(source);
  using S = TProgressStage;
  EXPECT_EQ(seen, (std::vector<std::pair<S, int>>{
                      {S::psStarting, 0}, {S::psRunning, 32 * 100 / 70}, {S::psRunning, 64 * 100 / 70}, {S::psEnding, 100}}));
}

TEST(GifImage, SettingsComeFromTheUnitDefaults) {
  TGIFImage standard;
  EXPECT_EQ(standard.PaletteMethod, 6);
  EXPECT_EQ(standard.DitherAlgorithm, 0);
  EXPECT_EQ(standard.QuantizerBits, 8);
  const TGIFConversionDefaults saved = GIFImageDefaults;
  GIFImageDefaults = TGIFConversionDefaults{pmOptimized, daBurkes, 5};
  TGIFImage changed;
  GIFImageDefaults = saved;
  EXPECT_EQ(changed.PaletteMethod, pmOptimized);
  EXPECT_EQ(changed.DitherAlgorithm, daBurkes);
  EXPECT_EQ(changed.QuantizerBits, 5);
  EXPECT_EQ(standard.PaletteMethod, 6);
}

}  // namespace
}  // namespace pixkeep::test
