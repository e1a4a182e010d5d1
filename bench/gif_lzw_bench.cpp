// The GIF LZW stage alone against giflib's EGifPutLine on the same colour
// indices: the corpus pictures mapped onto the 6x6x6 colour cube (nearest
// level per channel), 8 bits per pixel, not interlaced.
#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "tests/codecs/giflib_reader.h"
#include "codecs/gif/gifencoder.h"

using namespace pixkeep;

static std::vector<uint8_t> cubeIndices(const bench::CorpusPicture& p) {
  std::vector<uint8_t> out(size_t(p.width) * size_t(p.height));
  for (size_t i = 0; i < out.size(); ++i) {
    auto level = [](uint8_t v) { return (v + 25) / 51; };  // nearest of 0, 51, …, 255
    out[i] = uint8_t(36 * level(p.rgb[3 * i]) + 6 * level(p.rgb[3 * i + 1]) + level(p.rgb[3 * i + 2]));
  }
  return out;
}

static int appendOutput(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// A whole single-frame file by giflib; only the image data is of any size.
static std::vector<uint8_t> giflibFile(std::vector<uint8_t>& indices, int width, int height) {
  std::vector<uint8_t> out;
  out.reserve(indices.size());
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendOutput, &error);
  ColorMapObject* map = GifMakeMapObject(256, nullptr);
  bool ok = gif && map && EGifPutScreenDesc(gif, width, height, 8, 0, nullptr) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, width, height, false, map) == GIF_OK &&
            EGifPutLine(gif, indices.data(), width * height) == GIF_OK;
  GifFreeMapObject(map);
  if (gif && EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  if (!ok) out.clear();
  return out;
}

// Our image data as a GIF file giflib can read: header, descriptor, table, trailer.
static std::vector<uint8_t> wrapped(const std::vector<uint8_t>& data, int width, int height) {
  const uint8_t head[] = {'G', 'I', 'F', '8', '7', 'a', uint8_t(width), uint8_t(width >> 8), uint8_t(height),
                          uint8_t(height >> 8), 0, 0, 0, 0x2C, 0, 0, 0, 0, uint8_t(width), uint8_t(width >> 8),
                          uint8_t(height), uint8_t(height >> 8), 0x87};
  std::vector<uint8_t> f(sizeof head + 768 + data.size() + 1, 0);  // the colour table stays black
  std::memcpy(f.data(), head, sizeof head);
  std::memcpy(f.data() + sizeof head + 768, data.data(), data.size());
  f.back() = 0x3B;
  return f;
}

// The indices of a one-frame GIF file as giflib reads them; empty when it cannot.
static std::vector<uint8_t> giflibDecode(const std::vector<uint8_t>& file) {
  const test::GiflibPicture gif = test::readWithGiflib(file);
  return gif.ok && gif.frames.size() == 1 ? gif.frames[0].pixels : std::vector<uint8_t>{};
}

int main() {
  auto corpus = bench::loadCorpus();
  const char* expected[] = {"desk_b_1920x1080.png", "plasma_1920x1080.png", "ui_640x480.png",
                            "desk_b scaled to 3840x2160"};
  bool complete = corpus.size() == std::size(expected);
  for (size_t i = 0; complete && i < corpus.size(); ++i) complete = corpus[i].name == expected[i];
  if (!complete) {
    std::fprintf(stderr, "gif_lzw_bench: corpus pictures missing in %s (needs desk_b_1920x1080.png, "
                         "plasma_1920x1080.png and ui_640x480.png)\n", CORPUS_DIR);
    return 2;
  }
  bool ok = true;
  for (const auto& picture : corpus) {
    std::vector<uint8_t> indices = cubeIndices(picture);
    GIFFrameData frame;
    frame.width = picture.width;
    frame.height = picture.height;
    frame.pixels = indices;
    frame.bitsPerPixel = 8;
    frame.colourCount = 256;
    std::vector<uint8_t> ours, theirs;
    auto [tOurs, tGiflib] = bench::medianPair(
        [&] {
          MemoryStream s;
          s.reserve(indices.size());
          createGIFEncoder(0)->encodeFrame(s, frame);
          ours = s.take();
        },
        [&] { theirs = giflibFile(indices, picture.width, picture.height); }, 9);
    std::string label = "GIF LZW " + picture.name;
    ok &= bench::report(label.c_str(), tOurs, tGiflib, 1.0);
    const bool same = giflibDecode(wrapped(ours, picture.width, picture.height)) == indices;
    // giflib's file: screen descriptor, image descriptor, 768-byte table, image data, trailer.
    const size_t skip = 13 + 10 + 768;
    const bool identical = theirs.size() == skip + ours.size() + 1 &&
                           std::equal(ours.begin(), ours.end(), theirs.begin() + long(skip));
    std::printf("    image data %zu bytes, giflib's %zu bytes (%s), giflib reads ours %s\n", ours.size(),
                theirs.size() - skip - 1, identical ? "the same bytes" : "different bytes", same ? "exactly" : "WRONG");
    ok &= same && !theirs.empty();
  }
  return ok ? 0 : 1;
}
