// JPEG saving against libjpeg-turbo called directly with the same parameters.
#include <cstdio>
#include <cstring>
#include <malloc.h>

extern "C" {
#include <jpeglib.h>
}

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "codecs/jpeg/jpegimage.h"

using namespace pixkeep;

// The reference: the library on the same rows, top row first, into memory.
static std::vector<uint8_t> referenceJpeg(const RasterImage& r, int quality) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  cinfo.image_width = JDIMENSION(r.width());
  cinfo.image_height = JDIMENSION(r.height());
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&cinfo);
  cinfo.dct_method = JDCT_FLOAT;
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(r.constScanline(int(cinfo.next_scanline)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<uint8_t> bytes(out, out + size);
  free(out);
  return bytes;
}

int main() {
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  bool ok = true;
  for (const auto& picture : bench::loadCorpus()) {
    RasterImage raster;
    bench::toDeviceRaster(picture, raster);
    std::vector<uint8_t> ours, reference;
    auto [tOurs, tRef] = bench::medianPair(
        [&] {
          TJPEGImage jpeg;
          jpeg.assign(raster);
          jpeg.quality = 90;
          MemoryStream s;
          jpeg.saveToStream(s);
          ours = s.take();
        },
        [&] { reference = referenceJpeg(raster, 90); }, 11);
    char label[96];
    std::snprintf(label, sizeof label, "JPEG q90 %s", picture.name.c_str());
    ok &= bench::report(label, tOurs, tRef, 1.05);
    bool same = ours == reference;
    std::printf("    %zu bytes, reference %zu bytes, %s\n", ours.size(), reference.size(),
                same ? "byte-identical" : "DIFFERENT");
    ok &= same;
  }
  return ok ? 0 : 1;
}
