// The whole capture path, from the clipboard's bytes to the finished file,
// against the sum of the stages it cannot do without, each measured alone:
//   decode  - libpng into a ready 32-bit buffer (PNG bytes), or the BMP's rows
//             widened into that buffer (BMP bytes);
//   encode  - libjpeg from the ready buffer (JPEG), our PNG encoder or BMP
//             writer from a ready raster, into memory;
//   write   - the encoded bytes saved to a file the way a capture saves.
// In the same run the former path through Qt: QImage::fromData, the flipped
// copy into a device bitmap, loadFromClipboardBitmap from those bits, encode
// and write. Times are medians of CPU time; the capture files of the old and
// the new path must be byte-identical.
//
// Peak memory: before each 4K capture the process's peak resident size is
// restarted (/proc/self/clear_refs "5", with freed memory trimmed first), and
// the peak afterwards (VmHWM) less the resident size before (VmRSS) is the
// extra memory of the capture. The clipboard's bytes are resident already.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <malloc.h>
// clang-format off
#include <jpeglib.h>
// clang-format on
#include <png.h>

#include "bench/corpus.h"
#include "capture/pipeline.h"
#include "codecs/imagetypes.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"
#include "platform/clipboard.h"
#include "platform/savefile.h"

using namespace pixkeep;

namespace {

double cpuNow() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double medianCpu(const std::function<void()>& fn, int runs) {
  fn();  // warm-up
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const double t0 = cpuNow();
    fn();
    times.push_back(cpuNow() - t0);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

long statusKb(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

// Extra resident memory at the peak of `fn`, in kB.
long peakExtraKb(const std::function<void()>& fn) {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = statusKb("VmRSS:");
  fn();
  return statusKb("VmHWM:") - before;
}

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// ---- the stages alone -----------------------------------------------------

struct PngInput {
  const std::vector<uint8_t>* bytes;
  size_t pos;
};

// libpng's decode of 8-bit RGB(A) into blue, green, red, filler rows.
bool libpngDecode(const std::vector<uint8_t>& bytes, uint8_t* out, size_t stride) {
  PngInput in{&bytes, 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &in, [](png_structp p, png_bytep d, size_t n) {
    auto* s = static_cast<PngInput*>(png_get_io_ptr(p));
    if (n > s->bytes->size() - s->pos) png_error(p, "short");
    std::memcpy(d, s->bytes->data() + s->pos, n);
    s->pos += n;
  });
  png_read_info(png, info);
  png_set_bgr(png);
  png_set_filler(png, 0, PNG_FILLER_AFTER);
  png_read_update_info(png, info);
  const png_uint_32 h = png_get_image_height(png, info);
  for (png_uint_32 y = 0; y < h; ++y) png_read_row(png, out + size_t(h - 1 - y) * stride, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// The rows of a bottom-up 24-bit BMP widened into 32-bit rows.
void bmpRowsAlone(const std::vector<uint8_t>& bytes, int w, int h, uint8_t* out) {
  const uint8_t* src = bytes.data() + getU32(&bytes[10]);
  const size_t fileStride = size_t(dibStride(w, 24));
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = src + size_t(y) * fileStride;
    uint8_t* d = out + size_t(y) * size_t(w) * 4;
    for (int x = 0; x < w; ++x, s += 3, d += 4) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 0;
    }
  }
}

// libjpeg at the capture's settings from ready bottom-up 32-bit rows.
std::vector<uint8_t> libjpegEncode(const uint8_t* rows, int w, int h) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = 4;
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  c.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row[1] = {const_cast<uint8_t*>(rows + size_t(h - 1 - int(c.next_scanline)) * size_t(w) * 4)};
    jpeg_write_scanlines(&c, row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

void writeAlone(const std::vector<uint8_t>& bytes, const std::string& path) {
  saveToFileAtomically(path, [&](Stream& s) { s.writeBuffer(bytes.data(), bytes.size()); });
}

// ---- the former path through Qt -------------------------------------------

// QImage to a device bitmap as the clipboard layer did before pictures
// arrived still encoded: alpha composited onto white, rows flipped.
std::shared_ptr<PlatformBitmap> qtBitmap(const std::vector<uint8_t>& bytes) {
  QImage image = QImage::fromData(
      QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())));
  if (image.isNull()) return nullptr;
  if (image.hasAlphaChannel()) {
    QImage opaque(image.size(), QImage::Format_RGB32);
    opaque.fill(Qt::white);
    QPainter painter(&opaque);
    painter.drawImage(0, 0, image);
    painter.end();
    image = opaque;
  } else if (image.format() != QImage::Format_RGB32) {
    image = image.convertToFormat(QImage::Format_RGB32);
  }
  auto bitmap = std::make_shared<PlatformBitmap>();
  bitmap->width = image.width();
  bitmap->height = image.height();
  bitmap->bitsPixel = 32;
  const size_t rowBytes = size_t(image.width()) * 4;
  bitmap->bits.resize(rowBytes * size_t(image.height()));
  for (int y = 0; y < image.height(); ++y) {
    const auto* src = reinterpret_cast<const uint32_t*>(image.constScanLine(image.height() - 1 - y));
    auto* dst = reinterpret_cast<uint32_t*>(bitmap->bits.data() + rowBytes * size_t(y));
    for (int x = 0; x < image.width(); ++x) dst[x] = src[x] & 0x00FFFFFFu;
  }
  return bitmap;
}

// ---- one picture ----------------------------------------------------------

struct Picture {
  std::string name;
  int width = 0, height = 0;
  PlatformBitmap png, bmp;  // the clipboard's bytes, still encoded
};

enum class Output { Jpeg, Png, Bmp };
const char* nameOf(Output o) { return o == Output::Jpeg ? "JPEG q90" : o == Output::Png ? "PNG level 9" : "BMP"; }

void encodeAndWrite(const RasterImage& r, Output o, const std::string& path) {
  if (o == Output::Jpeg) jpegEncoderFactory()(r, 90)->saveToFile(path);
  else if (o == Output::Png) pngEncoderFactory()(r, 9)->saveToFile(path);
  else r.saveToFile(path);
}

std::vector<uint8_t> encodeToMemory(const RasterImage& r, Output o) {
  MemoryStream s;
  if (o == Output::Png) {
    auto encoder = pngEncoderFactory()(r, 9);
    static_cast<TPNGObject&>(*encoder).saveToStream(s);
  } else {
    r.saveToBmpStream(s);
  }
  return s.take();
}

struct Row {
  std::string what;
  double oldPath, newPath, sum, decode, encode, write;
};

bool run(const Picture& p, Output o, const std::string& dir, std::vector<Row>& rows, bool measureMemory) {
  // The BMP capture is timed from BMP bytes, the others from PNG bytes.
  const PlatformBitmap& source = o == Output::Bmp ? p.bmp : p.png;
  const std::vector<uint8_t> bytes(source.encoded->data(), source.encoded->data() + source.encoded->size());
  const int runs = p.width > 2000 ? 5 : 9;
  const std::string oldFile = dir + "/old", stageFile = dir + "/stage";

  // The program's own way: the capture pipeline, from the clipboard's bytes
  // to the numbered file (removed again, so every run writes pxk1).
  CapturePipeline pipeline(imageTypes());
  const std::string pipelineDir = dir + "/pipeline/";
  std::filesystem::create_directories(pipelineDir);
  const std::string pipelineFile = pipelineDir + "pxk1" + (o == Output::Jpeg ? ".jpg" : o == Output::Png ? ".png" : ".bmp");
  auto bitmapOfSource = std::make_shared<const PlatformBitmap>(source);
  auto newPath = [&] {
    std::filesystem::remove(pipelineFile);
    pipeline.pictureCounter = 0;
    CaptureJob job;
    job.bitmap = bitmapOfSource;
    job.options.typeIndex = o == Output::Jpeg ? 0 : o == Output::Png ? 1 : 3;
    job.options.spinPosition = o == Output::Jpeg ? 90 : 9;
    job.outputDirectory = pipelineDir;
    pipeline.run(job);
  };
  auto oldPath = [&] {
    auto bitmap = qtBitmap(bytes);
    RasterImage r;
    r.loadFromClipboardBitmap(CF_BITMAP, bitmap.get(), nullptr);
    encodeAndWrite(r, o, oldFile);
  };

  // Stages alone, each from the previous one's ready result.
  std::vector<uint8_t> buffer(size_t(p.width) * size_t(p.height) * 4);
  const double decode = medianCpu(
      [&] {
        if (o == Output::Bmp) bmpRowsAlone(bytes, p.width, p.height, buffer.data());
        else libpngDecode(bytes, buffer.data(), size_t(p.width) * 4);
      },
      runs);
  RasterImage ready;
  ready.loadFromClipboardBitmap(CF_BITMAP, &source, nullptr, clipboardDecoder(imageTypes()));
  std::vector<uint8_t> encoded;
  const double encode = medianCpu(
      [&] {
        encoded = o == Output::Jpeg ? libjpegEncode(buffer.data(), p.width, p.height) : encodeToMemory(ready, o);
      },
      runs);
  const double write = medianCpu([&] { writeAlone(encoded, stageFile); }, runs);
  const double whole = medianCpu(newPath, runs);
  const double former = medianCpu(oldPath, runs);
  rows.push_back(Row{std::string(nameOf(o)) + " " + p.name, former, whole, decode + encode + write, decode, encode,
                     write});

  bool ok = true;
  // The same pixels as Qt's decode, and the same file.
  {
    auto bitmap = qtBitmap(bytes);
    RasterImage viaQt, direct;
    viaQt.loadFromClipboardBitmap(CF_BITMAP, bitmap.get(), nullptr);
    direct.loadFromClipboardBitmap(CF_BITMAP, &source, nullptr, clipboardDecoder(imageTypes()));
    bool samePixels = viaQt.width() == direct.width() && viaQt.height() == direct.height();
    for (int y = 0; samePixels && y < direct.height(); ++y)
      samePixels = std::memcmp(viaQt.constScanline(y), direct.constScanline(y), size_t(direct.width()) * 4) == 0;
    newPath();
    const bool sameFile = readAll(pipelineFile) == readAll(oldFile);
    if (!samePixels || !sameFile) {
      std::printf("MISMATCH %s %s: pixels %s, capture files %s\n", nameOf(o), p.name.c_str(),
                  samePixels ? "identical" : "DIFFERENT", sameFile ? "identical" : "DIFFERENT");
      ok = false;
    }
  }
  if (measureMemory) {
    const long frameKb = long(p.width) * p.height * 4 / 1024;
    const long extraNew = peakExtraKb(newPath), extraOld = peakExtraKb(oldPath);
    const bool fits = extraNew <= frameKb + frameKb / 20;  // one frame, and allocator slack
    std::printf("peak extra memory, %s %s: new %ld KB (%.2f frames), old %ld KB (%.2f frames); target <= 1 frame "
                "(%ld KB) %s\n",
                nameOf(o), p.name.c_str(), extraNew, double(extraNew) / double(frameKb), extraOld,
                double(extraOld) / double(frameKb), frameKb, fits ? "ok" : "MISSED");
    ok &= fits;
  }
  return ok;
}

std::vector<uint8_t> bmpBytesOf(const bench::CorpusPicture& c) {
  RasterImage r;
  r.createBlank(c.width, c.height, PixelFormat::Bits24);
  for (int y = 0; y < c.height; ++y) {
    uint8_t* row = r.scanline(y);
    const uint8_t* src = &c.rgb[size_t(y) * size_t(c.width) * 3];
    for (int x = 0; x < c.width; ++x) {
      row[3 * x] = src[3 * x + 2];
      row[3 * x + 1] = src[3 * x + 1];
      row[3 * x + 2] = src[3 * x];
    }
  }
  MemoryStream s;
  r.saveToBmpStream(s);
  return s.take();
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  bool ok = true;
  std::vector<Picture> pictures;
  for (const auto& c : bench::loadCorpus()) {
    if (c.width < 1920) continue;  // 1080p and 4K only
    Picture p;
    p.name = c.name;
    p.width = c.width;
    p.height = c.height;
    // The corpus files are the 1080p clipboard bytes as they are; the 4K one is made here.
    std::vector<uint8_t> png = c.width == 1920 ? readAll(std::string(CORPUS_DIR) + "/" + c.name) : bench::pngBytesOf(c);
    p.png.encoded = EncodedPicture{"image/png", std::move(png)};
    p.bmp.encoded = EncodedPicture{"image/bmp", bmpBytesOf(c)};
    pictures.push_back(std::move(p));
  }
  char dirTemplate[] = "/tmp/pixkeep-capture-path-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  const std::string dir = dirTemplate;
  std::vector<Row> rows;
  for (const Picture& p : pictures)
    for (Output o : {Output::Jpeg, Output::Png, Output::Bmp}) ok &= run(p, o, dir, rows, p.width > 2000);
  std::filesystem::remove_all(dir);

  std::printf("\n%-42s %9s %9s %9s %9s %9s %9s  %s\n", "capture (CPU ms, median)", "old", "new", "decode", "encode",
              "write", "sum", "new/sum  new/old");
  for (const Row& r : rows) {
    const double ratio = r.newPath / r.sum;
    const bool bound = r.what.rfind("PNG", 0) != 0;  // JPEG and BMP must come within 1.25x of their stages
    const bool fine = !bound || ratio <= 1.25;
    std::printf("%-42s %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f  %5.2f%s   %5.2f\n", r.what.c_str(), r.oldPath * 1e3,
                r.newPath * 1e3, r.decode * 1e3, r.encode * 1e3, r.write * 1e3, r.sum * 1e3, ratio,
                bound ? (fine ? " ok" : " MISSED") : "   ", r.newPath / r.oldPath);
    ok &= fine;
  }
  return ok ? 0 : 1;
}
