// JPEG pictures from the clipboard, decoded through libjpeg(-turbo) straight
// into the raster's 32-bit rows.
//
// libpng and libjpeg report errors by longjmp. The code between each setjmp
// and the library calls it guards lives in functions of its own that hold
// only plain data, so that a jump never skips a destructor; the C++ side
// (allocation, exceptions, releasing the library state) stays outside.
#include <algorithm>
#include <csetjmp>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include "platform/memory.h"
#include "raster/rowtarget.h"
#include "codecs/jpeg/jpegimage.h"

namespace pixkeep {

namespace {

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
  long memoryLimit;
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

// A progressive picture needs a handful of scans (ten for libjpeg's own
// progressive pictures); thousands of tiny ones only make the decode crawl,
// and each scan of a large picture costs a pass over all its blocks, so the
// scans times the pixels are bounded too: 16 scans of the largest picture,
// 64 of an 8K screen, 258 of a 4K one.
constexpr int JpegMaxScans = 500;
constexpr uint64_t JpegMaxScanPixels = 16 * MaxPicturePixels;

void jpegProgress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  const auto scans = uint64_t(std::max(d->input_scan_number, 0));
  if (scans > JpegMaxScans || scans * uint64_t(d->image_width) * d->image_height > JpegMaxScanPixels) {
    cinfo->err->msg_code = JERR_NOTIMPL;
    jpegFail(cinfo);
  }
}

bool jpegStart(JpegJob& job) {
  if (setjmp(job.errors.jump)) return false;
  jpeg_create_decompress(&job.cinfo);
  job.cinfo.mem->max_memory_to_use = job.memoryLimit;
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

}  // namespace

void decodeJpegPicture(const EncodedPicture& bytes, RasterImage& raster) {
  JpegJob job{};
  job.data = bytes.data();
  job.size = bytes.size();
  job.cinfo.err = jpeg_std_error(&job.errors.manager);
  job.errors.manager.error_exit = jpegFail;
  job.errors.manager.emit_message = jpegMessage;
  job.progress.progress_monitor = jpegProgress;
  // libjpeg's working memory beside the raster's rows: as much as the rows may take.
  job.memoryLimit = long(std::min<uint64_t>(memoryBudget(), uint64_t(1) << 30));
  struct Release {
    JpegJob& job;
    ~Release() { jpeg_destroy_decompress(&job.cinfo); }
  } release{job};
  auto failed = [&job]() {
    if (job.errors.code == JERR_OUT_OF_MEMORY || job.errors.code == JERR_NO_BACKING_STORE) pictureTooLarge();
    invalidPictureData();
  };
  if (!jpegStart(job)) failed();
  raster.createUninitialised32(int(job.cinfo.output_width), int(job.cinfo.output_height));
  job.target = rowsOf(raster);
  if (!jpegRows(job)) failed();
}

}  // namespace pixkeep
