#include "codecs/jpeg/jpegimage.h"

#include <csetjmp>
#include <cstdio>

#include "platform/savefile.h"

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

namespace pixkeep {

namespace {

constexpr size_t DestinationBufferSize = 4096;

// The library's error manager with a way back out of it: error_exit jumps to
// the point set in compressRows, never returning into the library.
struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

void errorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
void emitMessage(j_common_ptr, int) {}
void outputMessage(j_common_ptr) {}
void formatMessage(j_common_ptr, char*) {}
void resetErrorManager(j_common_ptr cinfo) {
  cinfo->err->num_warnings = 0;
  cinfo->err->msg_code = 0;
}

// The destination: 4096-byte steps into a memory stream.
struct Destination {
  jpeg_destination_mgr pub;
  JOCTET* buffer;
  Stream* stream;
};

void initDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  dest->buffer = static_cast<JOCTET*>(
      (*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, DestinationBufferSize));
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = DestinationBufferSize;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  if (dest->stream->write(dest->buffer, DestinationBufferSize) != DestinationBufferSize) ERREXIT(cinfo, JERR_FILE_WRITE);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = DestinationBufferSize;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  size_t n = DestinationBufferSize - dest->pub.free_in_buffer;
  if (n > 0 && dest->stream->write(dest->buffer, n) != n) ERREXIT(cinfo, JERR_FILE_WRITE);
}

// Forwards the library's progress to the picture's observer, when it has one.
struct Progress {
  jpeg_progress_mgr pub;
  const std::function<void(int)>* observer;
};

void progressMonitor(j_common_ptr cinfo) {
  auto* p = reinterpret_cast<Progress*>(cinfo->progress);
  if (!p->observer || !*p->observer) return;
  const jpeg_progress_mgr& m = p->pub;
  long total = m.pass_limit * long(m.total_passes);
  long done = m.pass_counter + m.pass_limit * long(m.completed_passes);
  (*p->observer)(total > 0 ? int(done * 100 / total) : 0);
}

struct CompressJob {
  int width, height;
  int components;           // 3 for blue-green-red rows, 4 with an unused fourth byte
  J_COLOR_SPACE inputSpace;
  uint8_t quality;
  bool grayscale, progressive;
  const uint8_t* firstRow;  // the top row
  ptrdiff_t distance;       // bytes from one row to the next one down
  const std::function<void(int)>* progress;
};

// Runs the library from creation to destruction. Returns 0, or the library's
// message code when it failed. Only trivially destructible objects live here,
// because a library error jumps back into this function.
int compressRows(const CompressJob& job, Stream& out, JSAMPROW* rowArray) {
  jpeg_compress_struct cinfo{};
  ErrorManager err{};
  Destination dest{};
  Progress progress{};
  err.pub.error_exit = errorExit;
  err.pub.emit_message = emitMessage;
  err.pub.output_message = outputMessage;
  err.pub.format_message = formatMessage;
  err.pub.reset_error_mgr = resetErrorManager;
  cinfo.err = &err.pub;
  if (setjmp(err.jump)) {
    int code = err.pub.msg_code;
    jpeg_destroy_compress(&cinfo);
    return code == 0 ? -1 : code;
  }
  jpeg_create_compress(&cinfo);
  progress.pub.progress_monitor = progressMonitor;
  progress.observer = job.progress;
  cinfo.progress = &progress.pub;
  dest.pub.init_destination = initDestination;
  dest.pub.empty_output_buffer = emptyOutputBuffer;
  dest.pub.term_destination = termDestination;
  dest.stream = &out;
  cinfo.dest = &dest.pub;

  cinfo.image_width = JDIMENSION(job.width);
  cinfo.image_height = JDIMENSION(job.height);
  cinfo.input_components = job.components;
  cinfo.in_color_space = job.inputSpace;
  jpeg_set_defaults(&cinfo);
  cinfo.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&cinfo, job.quality, TRUE /* limit to baseline values */);
  if (job.grayscale) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
  if (job.progressive) jpeg_simple_progression(&cinfo);

  jpeg_start_compress(&cinfo, TRUE);
  // Top-down rows go in one call; bottom-up rows one at a time.
  const bool allAtOnce = job.distance > 0 && job.distance % 4 == 0;
  const uint8_t* row = job.firstRow;
  while (cinfo.next_scanline < cinfo.image_height) {
    JDIMENSION lines = allAtOnce ? cinfo.image_height - cinfo.next_scanline : 1;
    for (JDIMENSION i = 0; i < lines; ++i) rowArray[i] = const_cast<JSAMPROW>(row + ptrdiff_t(i) * job.distance);
    JDIMENSION done = jpeg_write_scanlines(&cinfo, rowArray, lines);
    row += job.distance * ptrdiff_t(done);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return 0;
}

}  // namespace

JPEGDefaults& jpegDefaults() {
  static JPEGDefaults defaults;
  return defaults;
}

TJPEGImage::TJPEGImage() : data_(std::make_shared<TJPEGData>()) {
  const JPEGDefaults& d = jpegDefaults();
  quality = d.compressionQuality;
  grayscale = d.grayscale;
  progressiveEncoding = d.progressiveEncoding;
  performance = d.performance;
  pixelFormat = d.pixelFormat;
  scale = d.scale;
  smoothing = d.smoothing;
  progressiveDisplay = d.progressiveDisplay;
}

TJPEGImage::~TJPEGImage() = default;

void TJPEGImage::assign(const RasterImage& raster) {
  auto fresh = std::make_unique<RasterImage>();
  fresh->assign(&raster);
  data_ = std::make_shared<TJPEGData>();
  bitmap_ = std::move(fresh);
}

void TJPEGImage::assign(const TJPEGImage& other) {
  if (&other == this) return;
  data_ = other.data_;
  if (other.bitmap_) {
    bitmap_ = std::make_unique<RasterImage>();
    bitmap_->assign(other.bitmap_.get());
  } else {
    bitmap_.reset();
  }
  quality = other.quality;
  grayscale = other.grayscale;
  progressiveEncoding = other.progressiveEncoding;
}

int TJPEGImage::width() const { return bitmap_ ? bitmap_->width() : data_->width; }
int TJPEGImage::height() const { return bitmap_ ? bitmap_->height() : data_->height; }
void TJPEGImage::setWidth(int) { throw EInvalidGraphicOperation(msg::JpegCannotResize); }
void TJPEGImage::setHeight(int) { throw EInvalidGraphicOperation(msg::JpegCannotResize); }

void TJPEGImage::compress() {
  auto fresh = std::make_shared<TJPEGData>();
  MemoryStream out;
  if (bitmap_ && bitmap_->width() > 0 && bitmap_->height() > 0) {
    fresh->width = bitmap_->width();
    fresh->height = bitmap_->height();
    fresh->grayscale = grayscale;

    CompressJob job{};
    job.width = bitmap_->width();
    job.height = bitmap_->height();
    job.quality = quality;
    job.grayscale = grayscale;
    job.progressive = progressiveEncoding;
    job.progress = &onProgress;
    // Rows of blue, green, red (and an unused byte) go to the library as they are.
    RasterImage working;
    working.assign(bitmap_.get());
    const ImageHeader& h = working.header();
    if (h.biBitCount == 32 && h.biCompression == BI_RGB) {
      job.components = 4;
      job.inputSpace = JCS_EXT_BGRX;
    } else {
      working.setPixelFormat(PixelFormat::Bits24);
      job.components = 3;
      job.inputSpace = JCS_EXT_BGR;
    }
    job.firstRow = working.constScanline(0);
    job.distance = job.height > 1 ? working.constScanline(1) - working.constScanline(0) : 0;
    std::vector<JSAMPROW> rows(size_t(job.distance > 0 && job.distance % 4 == 0 ? job.height : 1));
    out.reserve(size_t(job.width) * size_t(job.height) / 4 + 4096);
    int code = compressRows(job, out, rows.data());
    if (code != 0) {
      char text[64];
      std::snprintf(text, sizeof text, msg::JpegError, code);
      throw EJPEG(text);
    }
  }
  fresh->data = std::make_shared<const std::vector<uint8_t>>(out.take());
  data_ = std::move(fresh);
}

void TJPEGImage::saveToStream(Stream& stream) {
  if (!data_->data) compress();
  stream.writeBuffer(data_->data->data(), data_->data->size());
}

void TJPEGImage::saveToFile(const std::string& name) {
  if (!data_->data) compress();
  saveToFileAtomically(name, [this](Stream& s) { saveToStream(s); });
}

EncoderFactory jpegEncoderFactory() {
  return [](const RasterImage& picture, int spin) -> std::unique_ptr<PictureEncoder> {
    auto jpeg = std::make_unique<TJPEGImage>();
    jpeg->assign(picture);
    jpeg->quality = uint8_t(spin);
    return jpeg;
  };
}

}  // namespace pixkeep
