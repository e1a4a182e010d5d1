// The WebP writer: the raster's rows imported into libwebp's picture and
// encoded losslessly through the advanced API (WebPConfig, WebPEncode).
#include "codecs/webp/webpimage.h"

#include <webp/encode.h>

#include <algorithm>
#include <cstdio>

#include "platform/savefile.h"

namespace pixkeep {

namespace {

// libwebp's error codes as the end of a sentence.
const char* encodingErrorText(WebPEncodingError code) {
  switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "there was not enough memory";
    case VP8_ENC_ERROR_BAD_DIMENSION: return "WebP holds at most 16383 x 16383 pixels";
    case VP8_ENC_ERROR_FILE_TOO_BIG: return "the file would be larger than the 4 GB WebP allows";
    case VP8_ENC_ERROR_BAD_WRITE: return "the encoded data could not be kept";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW: return "the encoded data is too large";
    default: return "the encoder refused its settings";
  }
}

[[noreturn]] void fail(WebPEncodingError code) {
  char text[160];
  std::snprintf(text, sizeof text, msg::WebPError, encodingErrorText(code));
  throw EWebPError(text);
}

// libwebp's picture and its output, freed however the encode ends.
struct Encoding {
  WebPPicture picture;
  WebPMemoryWriter output;
  Encoding() {
    WebPPictureInit(&picture);
    WebPMemoryWriterInit(&output);
  }
  ~Encoding() {
    WebPPictureFree(&picture);
    WebPMemoryWriterClear(&output);
  }
  Encoding(const Encoding&) = delete;
  Encoding& operator=(const Encoding&) = delete;
};

}  // namespace

void TWebPImage::assign(const RasterImage& raster) { bitmap_.assign(&raster); }

void TWebPImage::saveToStream(Stream& stream) {
  if (bitmap_.width() <= 0 || bitmap_.height() <= 0) throw EWebPError(msg::WebPNoImageData);
  WebPConfig config;
  if (!WebPConfigInit(&config) ||
      !WebPConfigLosslessPreset(&config, std::clamp(effort, MinEffort, MaxEffort)))
    fail(VP8_ENC_ERROR_INVALID_CONFIGURATION);
  config.exact = 1;  // the colours under transparent pixels stay as they are
  Encoding e;
  e.picture.use_argb = 1;
  e.picture.width = bitmap_.width();
  e.picture.height = bitmap_.height();
  e.picture.writer = WebPMemoryWrite;
  e.picture.custom_ptr = &e.output;

  // 32-bit and 24-bit rows go to libwebp as they are (bottom-up rows with a
  // negative stride); other formats through a 32-bit copy.
  RasterImage working;
  working.assign(&bitmap_);
  const ImageHeader& h = working.header();
  const bool rgb24 = h.biBitCount == 24 && h.biCompression == BI_RGB;
  if (!rgb24 && !(h.biBitCount == 32 && h.biCompression == BI_RGB)) working.setPixelFormat(PixelFormat::Bits32);
  if (e.picture.width > WEBP_MAX_DIMENSION || e.picture.height > WEBP_MAX_DIMENSION) fail(VP8_ENC_ERROR_BAD_DIMENSION);
  const uint8_t* top = working.constScanline(0);
  const ptrdiff_t distance =
      working.height() > 1 ? working.constScanline(1) - top : ptrdiff_t(working.stride());
  const int imported = rgb24 ? WebPPictureImportBGR(&e.picture, top, int(distance))
                             : WebPPictureImportBGRX(&e.picture, top, int(distance));
  if (!imported) fail(e.picture.error_code);
  working.assign(nullptr);

  if (bitmap_.transparent) {
    // The transparent colour (0x00BBGGRR) as libwebp's 0xAARRGGBB without alpha.
    const uint32_t c = bitmap_.transparentColor() & 0x00FFFFFF;
    const uint32_t key = (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF);
    for (int y = 0; y < e.picture.height; ++y) {
      uint32_t* row = e.picture.argb + ptrdiff_t(y) * e.picture.argb_stride;
      for (int x = 0; x < e.picture.width; ++x)
        if ((row[x] & 0x00FFFFFF) == key) row[x] = key;
    }
  }
  if (!WebPEncode(&config, &e.picture)) fail(e.picture.error_code);
  stream.writeBuffer(e.output.mem, e.output.size);
}

void TWebPImage::saveToFile(const std::string& name) {
  saveToFileAtomically(name, [this](Stream& s) { saveToStream(s); });
}

EncoderFactory webpEncoderFactory() {
  return [](const RasterImage& picture, int spin) -> std::unique_ptr<PictureEncoder> {
    auto webp = std::make_unique<TWebPImage>();
    webp->assign(picture);
    webp->effort = spin;
    return webp;
  };
}

}  // namespace pixkeep
