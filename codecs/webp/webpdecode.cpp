// WebP pictures from the clipboard: the container read with libwebp's
// demuxer, the first frame decoded with libwebp straight into the raster's
// 32-bit rows. A still picture is one frame covering its canvas; of an
// animation only the first frame is taken, on a canvas that starts out
// transparent (so white here, once composited).
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "codecs/webp/webpimage.h"
#include "raster/rowtarget.h"

namespace pixkeep {

namespace {

// The demuxer and its frame iterator, released however the decode ends.
struct Demuxed {
  WebPDemuxer* demux = nullptr;
  WebPIterator frame{};
  bool haveFrame = false;
  ~Demuxed() {
    if (haveFrame) WebPDemuxReleaseIterator(&frame);
    WebPDemuxDelete(demux);
  }
};

}  // namespace

void decodeWebpPicture(const EncodedPicture& bytes, RasterImage& raster) {
  Demuxed d;
  // The whole container must be there: a truncated one is refused here,
  // before anything is allocated for its pixels.
  const WebPData data{bytes.data(), bytes.size()};
  d.demux = WebPDemux(&data);
  if (!d.demux) invalidPictureData();
  const uint32_t canvasWidth = WebPDemuxGetI(d.demux, WEBP_FF_CANVAS_WIDTH);
  const uint32_t canvasHeight = WebPDemuxGetI(d.demux, WEBP_FF_CANVAS_HEIGHT);
  d.haveFrame = WebPDemuxGetFrame(d.demux, 1, &d.frame) != 0;
  if (!d.haveFrame || !d.frame.complete || canvasWidth == 0 || canvasHeight == 0) invalidPictureData();
  const WebPIterator& f = d.frame;
  if (f.x_offset < 0 || f.y_offset < 0 || f.width <= 0 || f.height <= 0 ||
      uint64_t(f.x_offset) + uint64_t(f.width) > canvasWidth ||
      uint64_t(f.y_offset) + uint64_t(f.height) > canvasHeight)
    invalidPictureData();

  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) invalidPictureData();
  if (WebPGetFeatures(f.fragment.bytes, f.fragment.size, &config.input) != VP8_STATUS_OK ||
      config.input.width != f.width || config.input.height != f.height)
    invalidPictureData();

  // The canvas size decides what is too large (the raster's own limit).
  raster.createUninitialised32(int(canvasWidth), int(canvasHeight));
  const RowTarget target = rowsOf(raster);
  const bool wholeCanvas = uint32_t(f.width) == canvasWidth && uint32_t(f.height) == canvasHeight;
  if (!wholeCanvas) {
    // Around the frame: the transparent canvas, which is white once composited.
    for (size_t y = 0; y < canvasHeight; ++y) {
      uint8_t* row = target.row(y);
      for (size_t x = 0; x < canvasWidth; ++x, row += 4) row[0] = row[1] = row[2] = 0xFF, row[3] = 0;
    }
  }

  // The frame's rows in place: top-down rows from the frame's top row, or,
  // for bottom-up rows, from its bottom row in memory with libwebp flipping.
  const size_t width = size_t(f.width), height = size_t(f.height);
  uint8_t* first = target.row(size_t(f.y_offset)) + 4 * size_t(f.x_offset);
  const ptrdiff_t pitch = height > 1 ? target.pitch : ptrdiff_t(4 * width);
  const size_t span = size_t(pitch < 0 ? -pitch : pitch);
  WebPRGBABuffer& out = config.output.u.RGBA;
  config.output.colorspace = MODE_BGRA;
  config.output.is_external_memory = 1;
  config.options.flip = pitch < 0;
  out.rgba = pitch < 0 ? first + pitch * ptrdiff_t(height - 1) : first;
  out.stride = int(span);
  out.size = span * (height - 1) + 4 * width;
  if (WebPDecode(f.fragment.bytes, f.fragment.size, &config) != VP8_STATUS_OK) invalidPictureData();
  for (size_t y = 0; y < height; ++y) compositeOntoWhite(target.row(size_t(f.y_offset) + y) + 4 * size_t(f.x_offset), width);
}

}  // namespace pixkeep
