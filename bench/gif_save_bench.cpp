// A whole GIF capture (the writer of the image-type table: reduction onto the
// web cube with Floyd-Steinberg, frame optimisation, LZW, the file) against a
// reference that does the same reduction and then codes the file with
// giflib's EGifPutLine. Both start from the 32-bit device raster a capture
// holds; giflib must read our file as exactly the reference's indices.
#include <gif_lib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "tests/codecs/giflib_reader.h"
#include "codecs/gif/GIFImage.h"
#include "codecs/gif/gifreduce.h"

using namespace pixkeep;

namespace {

int appendOutput(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// The reference: our reduction, then giflib writes the file row by row.
std::vector<uint8_t> referenceSave(const RasterImage& picture, std::vector<uint8_t>* indices) {
  RasterImage source;
  source.assign(&picture);
  std::unique_ptr<RasterImage> reduced = ReduceToPalette(source, pmWebCube, daFloydSteinberg, 8, nullptr);
  const int width = reduced->width(), height = reduced->height();
  std::vector<GifColorType> colors(256);
  const auto& table = reduced->colorTable();
  for (size_t i = 0; i < colors.size() && i < table.size(); ++i)
    colors[i] = GifColorType{table[i].red, table[i].green, table[i].blue};
  std::vector<uint8_t> out;
  out.reserve(size_t(width) * size_t(height) / 2);
  int error = 0;
  GifFileType* gif = EGifOpen(&out, appendOutput, &error);
  ColorMapObject* map = GifMakeMapObject(256, colors.data());
  bool ok = gif && map && EGifPutScreenDesc(gif, width, height, 8, 0, nullptr) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, width, height, false, map) == GIF_OK;
  if (indices) indices->clear();
  for (int y = 0; ok && y < height; ++y) {
    auto* row = const_cast<uint8_t*>(reduced->constScanline(y));
    ok = EGifPutLine(gif, row, width) == GIF_OK;
    if (indices) indices->insert(indices->end(), row, row + width);
  }
  GifFreeMapObject(map);
  if (gif && EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  if (!ok) out.clear();
  return out;
}

std::vector<uint8_t> oursSave(const RasterImage& picture) {
  static const EncoderFactory writer = gifEncoderFactory();
  MemoryStream s;
  s.reserve(size_t(picture.width()) * size_t(picture.height()) / 2);
  writer(picture, 0)->saveToStream(s);
  return s.take();
}

// The indices of a one-frame GIF file as giflib reads them; empty when it cannot.
std::vector<uint8_t> giflibIndices(const std::vector<uint8_t>& file) {
  const test::GiflibPicture gif = test::readWithGiflib(file);
  return gif.ok && gif.frames.size() == 1 ? gif.frames[0].pixels : std::vector<uint8_t>{};
}

}  // namespace

int main() {
  auto corpus = bench::loadCorpus();
  if (corpus.size() != 4) {
    std::fprintf(stderr, "gif_save_bench: corpus pictures missing in %s\n", CORPUS_DIR);
    return 2;
  }
  bool ok = true;
  double oursTotal = 0, referenceTotal = 0;
  for (const auto& picture : corpus) {
    RasterImage device;
    bench::toDeviceRaster(picture, device);
    std::vector<uint8_t> ours, theirs, indices;
    auto [tOurs, tReference] = bench::medianPair([&] { ours = oursSave(device); },
                                                 [&] { theirs = referenceSave(device, nullptr); }, 7);
    oursTotal += tOurs;
    referenceTotal += tReference;
    const std::string label = "GIF save " + picture.name;
    ok &= bench::report(label.c_str(), tOurs, tReference, 1.0);
    referenceSave(device, &indices);
    const bool same = !indices.empty() && giflibIndices(ours) == indices;
    std::printf("    file %zu bytes, reference %zu bytes, giflib reads ours as the reference's indices: %s\n",
                ours.size(), theirs.size(), same ? "yes" : "NO");
    ok &= same;
  }
  ok &= bench::report("GIF save, all pictures", oursTotal, referenceTotal, 1.0);
  return ok ? 0 : 1;
}
