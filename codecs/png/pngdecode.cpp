// PNG pictures from the clipboard, decoded through libpng straight into the
// raster's 32-bit rows.
//
// libpng and libjpeg report errors by longjmp. The code between each setjmp
// and the library calls it guards lives in functions of its own that hold
// only plain data, so that a jump never skips a destructor; the C++ side
// (allocation, exceptions, releasing the library state) stays outside.
#include <csetjmp>
#include <cstring>
#include <png.h>

#include "raster/rowtarget.h"
#include "codecs/png/pngimage.h"

namespace pixkeep {

namespace {

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

}  // namespace

void decodePngPicture(const EncodedPicture& bytes, RasterImage& raster) {
  PngJob job{};
  job.input = PngInput{bytes.data(), bytes.size(), 0};
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFail, pngIgnoreWarning);
  if (!job.png) pictureTooLarge();
  struct Release {
    PngJob& job;
    ~Release() { png_destroy_read_struct(&job.png, job.info ? &job.info : nullptr, nullptr); }
  } release{job};
  job.info = png_create_info_struct(job.png);
  if (!job.info) pictureTooLarge();
  if (!pngStart(job)) invalidPictureData();
  raster.createUninitialised32(int(job.width), int(job.height));
  job.target = rowsOf(raster);
  if (!pngRows(job)) invalidPictureData();
}

}  // namespace pixkeep
