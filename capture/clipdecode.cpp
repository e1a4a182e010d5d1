// Decoders for clipboard pictures that arrive as file bytes: PNG through
// libpng, JPEG through libjpeg(-turbo), BMP through the program's own reader.
// Each writes the raster's 32-bit rows directly, one row at a time.
//
// libpng and libjpeg report errors by longjmp. The code between each setjmp
// and the library calls it guards lives in functions of its own that hold
// only plain data, so that a jump never skips a destructor; the C++ side
// (allocation, exceptions, releasing the library state) stays outside.
#include "capture/clipdecode.h"

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstring>
#include <new>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on
#include <png.h>

#include "capture/errors.h"
#include "capture/rasterstore.h"
#include "platform/display.h"

namespace pixkeep {

namespace {

[[noreturn]] void invalidData() { throw EInvalidGraphic(msg::InvalidClipboardFormat); }
[[noreturn]] void tooLarge() { throw EOutOfResources(msg::PictureTooLarge); }

// Composites one row of blue, green, red, alpha pixels onto white, leaving
// blue, green, red, 0: c' = (c * a + 255 * (255 - a)) / 255, rounded.
void compositeOntoWhite(uint8_t* p, size_t width) {
  for (size_t x = 0; x < width; ++x, p += 4) {
    const unsigned a = p[3];
    if (a != 255) {
      const unsigned back = 255 * (255 - a) + 127;
      p[0] = uint8_t((p[0] * a + back) / 255);
      p[1] = uint8_t((p[1] * a + back) / 255);
      p[2] = uint8_t((p[2] * a + back) / 255);
    }
    p[3] = 0;
  }
}

// Where the decoded rows go: top-down row y starts at top + y * pitch.
struct RowTarget {
  uint8_t* top = nullptr;
  ptrdiff_t pitch = 0;
  uint8_t* row(size_t y) const { return top + ptrdiff_t(y) * pitch; }
};

RowTarget rowsOf(RasterImage& raster) {
  RowTarget t;
  t.top = raster.scanline(0);
  t.pitch = raster.height() > 1 ? raster.scanline(1) - t.top : 0;
  return t;
}

// ---- PNG ----------------------------------------------------------------

struct PngInput {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

// The state of one PNG decode; plain data only (see above).
struct PngJob {
  png_structp png;
  png_infop info;
  PngInput input;
  png_uint_32 width, height;
  bool alpha;
  int passes;
  RowTarget target;
};

void pngRead(png_structp png, png_bytep out, size_t n) {
  auto* in = static_cast<PngInput*>(png_get_io_ptr(png));
  if (n > in->size - in->pos) png_error(png, "unexpected end of data");
  std::memcpy(out, in->data + in->pos, n);
  in->pos += n;
}

void pngFail(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void pngIgnoreWarning(png_structp, png_const_charp) {}

// Reads the header and sets up the transformations to 8-bit blue, green,
// red and a fourth byte: alpha for pictures that have it, else filler.
bool pngStart(PngJob& job) {
  if (setjmp(png_jmpbuf(job.png))) return false;
  png_set_read_fn(job.png, &job.input, pngRead);
  // The raster size check decides what is too large, not libpng's default limit.
  png_set_user_limits(job.png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_read_info(job.png, job.info);
  int depth = 0, colorType = 0;
  png_get_IHDR(job.png, job.info, &job.width, &job.height, &depth, &colorType, nullptr, nullptr, nullptr);
  const bool trns = png_get_valid(job.png, job.info, PNG_INFO_tRNS) != 0;
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(job.png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(job.png);
  if (trns) png_set_tRNS_to_alpha(job.png);
  // 16-bit samples to 8 bits rounded: (v * 255 + 32767) / 65535.
  if (depth == 16) png_set_scale_16(job.png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(job.png);
  png_set_bgr(job.png);
  job.alpha = trns || (colorType & PNG_COLOR_MASK_ALPHA) != 0;
  if (!job.alpha) png_set_filler(job.png, 0, PNG_FILLER_AFTER);
  job.passes = png_set_interlace_handling(job.png);
  png_read_update_info(job.png, job.info);
  return png_get_rowbytes(job.png, job.info) == size_t(job.width) * 4;
}

bool pngRows(PngJob& job) {
  if (setjmp(png_jmpbuf(job.png))) return false;
  // Interlaced pictures: each pass adds its pixels to rows the earlier passes wrote.
  for (int pass = 0; pass < job.passes; ++pass)
    for (png_uint_32 y = 0; y < job.height; ++y) {
      uint8_t* row = job.target.row(y);
      png_read_row(job.png, row, nullptr);
      if (job.alpha && job.passes == 1) compositeOntoWhite(row, job.width);
    }
  if (job.alpha && job.passes > 1)
    for (png_uint_32 y = 0; y < job.height; ++y) compositeOntoWhite(job.target.row(y), job.width);
  return true;
}

void decodePng(const EncodedPicture& bytes, RasterImage& raster) {
  PngJob job{};
  job.input = PngInput{bytes.data(), bytes.size(), 0};
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngIgnoreWarning);
  if (!job.png) tooLarge();
  struct Release {
    PngJob& job;
    ~Release() { png_destroy_read_struct(&job.png, job.info ? &job.info : nullptr, nullptr); }
  } release{job};
  job.info = png_create_info_struct(job.png);
  if (!job.info) tooLarge();
  if (!pngStart(job)) invalidData();
  raster.createUninitialised32(int(job.width), int(job.height));
  job.target = rowsOf(raster);
  if (!pngRows(job)) invalidData();
}

// ---- JPEG ---------------------------------------------------------------

struct JpegErrors {
  jpeg_error_mgr manager;
  jmp_buf jump;
  int code;  // the message that ended the decode
};

// The state of one JPEG decode; plain data only (see above).
struct JpegJob {
  jpeg_decompress_struct cinfo;
  JpegErrors errors;
  jpeg_progress_mgr progress;
  const uint8_t* data;
  size_t size;
  bool cmyk;
  RowTarget target;
};

void jpegFail(j_common_ptr cinfo) {
  auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
  errors->code = cinfo->err->msg_code;
  longjmp(errors->jump, 1);
}

// Warnings of damaged data are tolerated, as other viewers do, except for
// data that ends early (the file, or the coded data at a marker): the rest of
// the picture would be made up, and a few bytes could claim a huge one.
void jpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && (cinfo->err->msg_code == JWRN_JPEG_EOF || cinfo->err->msg_code == JWRN_HIT_MARKER))
    jpegFail(cinfo);
}

// A progressive picture needs a handful of scans; thousands of tiny ones
// only make the decode crawl.
constexpr int JpegMaxScans = 500;

void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor && reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > JpegMaxScans) {
    cinfo->err->msg_code = JERR_NOTIMPL;
    jpegFail(cinfo);
  }
}

constexpr long JpegMemoryLimit = 1L << 30;

bool jpegStart(JpegJob& job) {
  if (setjmp(job.errors.jump)) return false;
  jpeg_create_decompress(&job.cinfo);
  job.cinfo.mem->max_memory_to_use = JpegMemoryLimit;
  job.cinfo.progress = &job.progress;
  jpeg_mem_src(&job.cinfo, job.data, static_cast<unsigned long>(job.size));
  jpeg_read_header(&job.cinfo, TRUE);
  job.cmyk = job.cinfo.jpeg_color_space == JCS_CMYK || job.cinfo.jpeg_color_space == JCS_YCCK;
  job.cinfo.out_color_space = job.cmyk ? JCS_CMYK : JCS_EXT_BGRX;
  jpeg_calc_output_dimensions(&job.cinfo);
  return job.cinfo.output_components == 4;
}

bool jpegRows(JpegJob& job) {
  if (setjmp(job.errors.jump)) return false;
  jpeg_start_decompress(&job.cinfo);
  const size_t width = job.cinfo.output_width;
  while (job.cinfo.output_scanline < job.cinfo.output_height) {
    uint8_t* row = job.target.row(job.cinfo.output_scanline);
    JSAMPROW rows[1] = {row};
    if (jpeg_read_scanlines(&job.cinfo, rows, 1) != 1) return false;
    if (job.cmyk) {
      // Adobe's inverted CMYK: each channel times K.
      for (size_t x = 0; x < width; ++x, row += 4) {
        const unsigned c = row[0], m = row[1], y = row[2], k = row[3];
        row[0] = uint8_t(k * y / 255);
        row[1] = uint8_t(k * m / 255);
        row[2] = uint8_t(k * c / 255);
        row[3] = 0;
      }
    } else {
      for (size_t x = 3; x < width * 4; x += 4) row[x] = 0;
    }
  }
  return true;
}

void decodeJpeg(const EncodedPicture& bytes, RasterImage& raster) {
  JpegJob job{};
  job.data = bytes.data();
  job.size = bytes.size();
  job.cinfo.err = jpeg_std_error(&job.errors.manager);
  job.errors.manager.error_exit = jpegFail;
  job.errors.manager.emit_message = jpegMessage;
  job.progress.progress_monitor = jpegProgress;
  struct Release {
    JpegJob& job;
    ~Release() { jpeg_destroy_decompress(&job.cinfo); }
  } release{job};
  auto failed = [&job]() {
    if (job.errors.code == JERR_OUT_OF_MEMORY || job.errors.code == JERR_NO_BACKING_STORE) tooLarge();
    invalidData();
  };
  if (!jpegStart(job)) failed();
  raster.createUninitialised32(int(job.cinfo.output_width), int(job.cinfo.output_height));
  job.target = rowsOf(raster);
  if (!jpegRows(job)) failed();
}

// ---- BMP ----------------------------------------------------------------

// A read-only stream over bytes it does not own.
class ByteView : public Stream {
 public:
  explicit ByteView(const EncodedPicture& bytes) : bytes_(bytes) {}
  size_t read(void* buffer, size_t count) override {
    const size_t n = std::min(count, bytes_.size() - pos_);
    if (n) std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  size_t write(const void*, size_t) override { return 0; }
  uint64_t position() const override { return pos_; }
  uint64_t size() const override { return bytes_.size(); }

 private:
  const EncodedPicture& bytes_;
  size_t pos_ = 0;
};

void decodeBmp(const EncodedPicture& bytes, RasterImage& raster) {
  ByteView in(bytes);
  try {
    loadClipboardBmp(in, raster);
  } catch (const EInvalidGraphic&) {
    invalidData();
  } catch (const EReadError&) {
    invalidData();
  }
}

enum class Kind { Png, Bmp, Jpeg, Other };

Kind kindOf(const std::string& type) {
  std::string t(type);
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (t == "image/png") return Kind::Png;
  if (t == "image/bmp" || t == "image/x-bmp" || t == "image/x-ms-bmp") return Kind::Bmp;
  if (t == "image/jpeg") return Kind::Jpeg;
  return Kind::Other;
}

}  // namespace

bool canDecodeClipboardType(const std::string& type) { return kindOf(type) != Kind::Other; }

void decodeClipboardPicture(const EncodedPicture& picture, RasterImage& raster) {
  try {
    switch (kindOf(picture.type)) {
      case Kind::Png: decodePng(picture, raster); break;
      case Kind::Bmp: decodeBmp(picture, raster); break;
      case Kind::Jpeg: decodeJpeg(picture, raster); break;
      case Kind::Other: throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
    }
  } catch (const std::bad_alloc&) {
    tooLarge();
  }
  if (currentDisplay().deviceBitCount() != 32) raster.setPixelFormat(PixelFormat::Device);
}

}  // namespace pixkeep
