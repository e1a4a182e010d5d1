// WebP saving with the capture's writer: size and time at the default effort
// against PNG level 9 (the PNG writer's setting) on every corpus picture, the
// whole effort range, and the writer against cwebp -lossless at the same
// preset, all in one run.
#include <webp/decode.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "codecs/imagetypes.h"
#include "codecs/png/pngimage.h"
#include "codecs/webp/webpimage.h"

using namespace pixkeep;

namespace {

std::vector<uint8_t> save(PictureEncoder& writer, size_t reserve) {
  MemoryStream s;
  s.reserve(reserve);
  writer.saveToStream(s);
  return s.take();
}

std::vector<uint8_t> webpSave(const RasterImage& raster, int effort) {
  TWebPImage webp;
  webp.assign(raster);
  webp.effort = effort;
  return save(webp, size_t(raster.width()) * size_t(raster.height()) / 4);
}

double seconds(const std::function<void()>& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// libwebp's decode as red, green, blue: the same as the picture's pixels?
bool samePixels(const std::vector<uint8_t>& file, const bench::CorpusPicture& p) {
  int w = 0, h = 0;
  uint8_t* rgb = WebPDecodeRGB(file.data(), file.size(), &w, &h);
  const bool same = rgb && w == p.width && h == p.height && std::equal(p.rgb.begin(), p.rgb.end(), rgb);
  WebPFree(rgb);
  return same;
}

std::vector<uint8_t> readAll(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// cwebp's own encode time ("Time to encode picture", -v) of a PPM of the
// picture, and its file; a negative time when cwebp could not be run.
double cwebpEncode(const std::string& ppm, const std::string& out, int preset, std::vector<uint8_t>& file) {
  const std::string command = "cwebp -z " + std::to_string(preset) + " -exact -metadata none -v '" + ppm + "' -o '" +
                              out + "' 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  double t = -1;
  char line[256];
  while (std::fgets(line, sizeof line, p)) std::sscanf(line, "Time to encode picture: %lfs", &t);
  if (pclose(p) != 0) return -1;
  file = readAll(out);
  return t;
}

}  // namespace

int main() {
  bool ok = true;
  const auto corpus = bench::loadCorpus();
  const ImageType& webpRow = imageTypes()[4];
  const int defaultEffort = webpRow.slider->position;
  const std::string dir = std::filesystem::temp_directory_path() / ("webp_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::printf("WebP at the default effort %d against PNG level 9 (targets: size <= 0.65x, time <= 1.50x)\n",
              defaultEffort);
  for (const auto& picture : corpus) {
    RasterImage raster;
    bench::toDeviceRaster(picture, raster);
    const size_t reserve = size_t(picture.width) * size_t(picture.height);
    auto png = pngEncoderFactory()(raster, 9);
    auto webp = webpRow.writer(raster, defaultEffort);
    std::vector<uint8_t> pngFile, webpFile;
    auto [tWebp, tPng] = bench::medianPair([&] { webpFile = save(*webp, reserve); },
                                           [&] { pngFile = save(*png, reserve); }, 5);
    char label[96];
    std::snprintf(label, sizeof label, "WebP %d / PNG 9 time %s", defaultEffort, picture.name.c_str());
    ok &= bench::report(label, tWebp, tPng, 1.5);
    const double ratio = double(webpFile.size()) / double(pngFile.size());
    const bool exact = samePixels(webpFile, picture);
    std::printf("    %zu bytes, PNG 9 %zu bytes: size ratio %.2f (target <= 0.65) %s; pixels %s\n", webpFile.size(),
                pngFile.size(), ratio, ratio <= 0.65 ? "ok" : "MISSED", exact ? "identical" : "DIFFERENT");
    ok &= ratio <= 0.65 && exact;

    // The whole range, against the same PNG: one timed save each for the
    // slowest efforts, the median of three for the others.
    if (picture.width <= 1920) {
      for (int effort = TWebPImage::MinEffort; effort <= TWebPImage::MaxEffort; ++effort) {
        std::vector<uint8_t> file;
        double t;
        if (effort >= 8) {
          t = seconds([&] { file = webpSave(raster, effort); });
        } else {
          t = bench::medianSeconds([&] { file = webpSave(raster, effort); }, 3);
        }
        std::printf("    effort %d: %8zu bytes (%.2fx PNG 9), %8.1f ms (%.2fx PNG 9)%s\n", effort, file.size(),
                    double(file.size()) / double(pngFile.size()), t * 1e3, t / tPng,
                    samePixels(file, picture) ? "" : " PIXELS DIFFERENT");
      }
    }

    // cwebp at the same preset, from a PPM of the same pixels.
    const std::string ppm = dir + "/picture.ppm";
    {
      std::ofstream f(ppm, std::ios::binary);
      f << "P6\n" << picture.width << " " << picture.height << "\n255\n";
      f.write(reinterpret_cast<const char*>(picture.rgb.data()), std::streamsize(picture.rgb.size()));
    }
    std::vector<double> ours, theirs;
    std::vector<uint8_t> cwebpFile;
    bool ran = true;
    for (int i = 0; i < 5 && ran; ++i) {
      ours.push_back(seconds([&] { webpFile = save(*webp, reserve); }));
      const double t = cwebpEncode(ppm, dir + "/cwebp.webp", defaultEffort, cwebpFile);
      ran = t >= 0;
      theirs.push_back(t);
    }
    if (!ran) {
      std::printf("    cwebp could not be run (package webp)\n");
      ok = false;
      continue;
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    std::snprintf(label, sizeof label, "WebP %d / cwebp -z %d %s", defaultEffort, defaultEffort, picture.name.c_str());
    // cwebp reports milliseconds: a millisecond of room for its rounding.
    ok &= bench::report(label, ours[2], theirs[2] + 0.0005, 1.05);
    const double sizeRatio = double(webpFile.size()) / double(cwebpFile.size());
    const bool sameSize = sizeRatio >= 0.99 && sizeRatio <= 1.01;
    std::printf("    %zu bytes, cwebp %zu bytes (within 1%%: %s); cwebp's pixels %s\n", webpFile.size(),
                cwebpFile.size(), sameSize ? "ok" : "MISSED", samePixels(cwebpFile, picture) ? "identical" : "DIFFERENT");
    ok &= sameSize;
  }
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
