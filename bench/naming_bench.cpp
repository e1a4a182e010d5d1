// The first capture into a folder that already holds earlier pictures,
// against the first capture into an empty folder: the whole capture (decode
// of the clipboard's PNG bytes, JPEG encode, finding the number, writing),
// with 0, 2 000 and 20 000 earlier pxkN.jpg files in the folder. Reported:
// the median wall time of a capture and the bytes and write calls it made
// (/proc/self/io: wchar, syscw).
//   targets: 2 000 earlier files <= 1.2x the time and <= 1.05x the bytes of
//            the empty folder; 20 000 earlier files under 0.5 s.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/pipeline.h"
#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"

using namespace pixkeep;
namespace fs = std::filesystem;

namespace {

double wallNow() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Io {
  long long wchar = 0, syscw = 0;
};

Io ioNow() {
  std::ifstream f("/proc/self/io");
  std::string key;
  long long value;
  Io io;
  while (f >> key >> value) {
    if (key == "wchar:") io.wchar = value;
    if (key == "syscw:") io.syscw = value;
  }
  return io;
}

struct Figures {
  double seconds;
  Io io;
};

Figures firstCapture(const std::vector<uint8_t>& png, const std::string& dir, int earlier) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (int n = 1; n <= earlier; ++n) std::ofstream(dir + "pxk" + std::to_string(n) + ".jpg") << "x";
  std::vector<double> times;
  Io io;
  for (int run = 0; run < 7; ++run) {
    CapturePipeline pipeline(imageTypes());  // a new run: the counter starts at 0
    CaptureJob job;
    auto bitmap = std::make_shared<PlatformBitmap>();
    bitmap->encoded = EncodedPicture("image/png", png);
    job.bitmap = bitmap;
    job.options.typeIndex = 0;
    job.options.spinPosition = 90;
    job.outputDirectory = dir;
    const Io before = ioNow();
    const double t0 = wallNow();
    const CaptureResult result = pipeline.run(job);
    times.push_back(wallNow() - t0);
    const Io after = ioNow();
    io = {after.wchar - before.wchar, after.syscw - before.syscw};
    if (result.counter != earlier + 1) {
      std::fprintf(stderr, "capture took number %d, expected %d\n", result.counter, earlier + 1);
      std::exit(1);
    }
    fs::remove(dir + "pxk" + std::to_string(earlier + 1) + ".jpg");
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], io};
}

}  // namespace

int main() {
  const std::string source = std::string(CORPUS_DIR) + "/desk_b_1920x1080.png";
  std::ifstream in(source, std::ios::binary);
  const std::vector<uint8_t> png((std::istreambuf_iterator<char>(in)), {});
  if (png.empty()) {
    std::fprintf(stderr, "corpus picture missing or unreadable: %s\n", source.c_str());
    return 1;
  }
  char templ[] = "/tmp/pixkeep-naming-XXXXXX";
  const std::string dir = std::string(::mkdtemp(templ)) + "/pictures/";
  std::printf("first JPEG capture of desk_b_1920x1080 (median of 7)\n");
  std::printf("%8s %10s %12s %8s %8s %8s\n", "earlier", "time ms", "bytes", "writes", "time x", "bytes x");
  const Figures empty = firstCapture(png, dir, 0);
  bool fine = true;
  for (int earlier : {0, 2000, 20000}) {
    const Figures f = earlier == 0 ? empty : firstCapture(png, dir, earlier);
    const double timeRatio = f.seconds / empty.seconds, bytesRatio = double(f.io.wchar) / double(empty.io.wchar);
    bool ok = true;
    if (earlier == 2000) ok = timeRatio <= 1.2 && bytesRatio <= 1.05;
    if (earlier == 20000) ok = f.seconds < 0.5;
    fine = fine && ok;
    std::printf("%8d %10.1f %12lld %8lld %8.2f %8.2f%s\n", earlier, f.seconds * 1e3, f.io.wchar, f.io.syscw,
                timeRatio, bytesRatio, earlier == 0 ? "" : ok ? " ok" : " MISSED");
  }
  fs::remove_all(fs::path(dir).parent_path().parent_path());
  return fine ? 0 : 1;
}
