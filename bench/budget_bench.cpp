// What a hostile clipboard picture costs: each file of the capture
// regressions, decoded as the clipboard's picture of its type in a child
// process of its own, with the time to the refusal (or the decoded raster)
// and the child's peak resident size; then the time of an ordinary 1080p
// picture decoded right after it, which must not wait for more than its own
// decode.
//   budget_bench [RUNS] [FOLDER]   (FOLDER: other files than the regressions)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/imagetypes.h"
#include "corpus.h"
#include "raster/errors.h"
#include "raster/rasterimage.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Decodes and says how it ended.
std::string decode(const char* type, const std::vector<uint8_t>& bytes) {
  pixkeep::PlatformBitmap bitmap;
  bitmap.encoded = pixkeep::EncodedPicture{type, bytes};
  pixkeep::RasterImage raster;
  try {
    raster.loadFromClipboardBitmap(pixkeep::CF_BITMAP, &bitmap, nullptr,
                                   pixkeep::clipboardDecoder(pixkeep::imageTypes()));
  } catch (const pixkeep::Exception& e) {
    return e.what();
  }
  return "decoded " + std::to_string(raster.width()) + " x " + std::to_string(raster.height());
}

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

const char* typeOf(const std::string& ext) {
  return ext == ".png" ? "image/png" : ext == ".jpg" ? "image/jpeg" : ext == ".webp" ? "image/webp" : "image/bmp";
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 3;
  const std::vector<uint8_t> ordinary = pixkeep::bench::pngBytesOf(pixkeep::bench::loadCorpus()[1]);
  std::printf("%-40s %9s %9s %12s  %s\n", "file (bytes)", "ms", "peak MB", "next 1080p", "outcome");
  bool within = true;
  const std::string folder = argc > 2 ? argv[2] : BUDGET_REGRESSIONS_DIR;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    const std::vector<uint8_t> bytes = fileBytes(entry.path().string());
    const char* type = typeOf(entry.path().extension().string());
    for (int run = 0; run < runs; ++run) {
      int pipe[2];
      if (::pipe(pipe) != 0) return 1;
      const pid_t child = ::fork();
      if (child == 0) {
        ::close(pipe[0]);
        const Clock::time_point start = Clock::now();
        const std::string outcome = decode(type, bytes);
        const double ms = msSince(start);
        const Clock::time_point next = Clock::now();
        const std::string ordinaryOutcome = decode("image/png", ordinary);
        const double nextMs = msSince(next);
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        char line[512];
        const int n = std::snprintf(line, sizeof line, "%-40s %9.1f %9.1f %9.1f ms  %s; next: %s\n",
                                    (name + " (" + std::to_string(bytes.size()) + ")").c_str(), ms,
                                    double(usage.ru_maxrss) / 1024, nextMs, outcome.c_str(), ordinaryOutcome.c_str());
        if (::write(pipe[1], line, size_t(n)) != n) ::_exit(1);
        ::_exit(ms + nextMs < 1000 ? 0 : 2);
      }
      ::close(pipe[1]);
      char text[512];
      const ssize_t got = ::read(pipe[0], text, sizeof text - 1);
      ::close(pipe[0]);
      int status = 0;
      ::waitpid(child, &status, 0);
      if (got > 0) std::fwrite(text, 1, size_t(got), stdout);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) within = false;
    }
  }
  std::printf("\nevery refusal or decode and the next picture within 1 s: %s\n", within ? "yes" : "NO");
  return within ? 0 : 1;
}
