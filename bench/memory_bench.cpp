// The real program's resident memory under its own Xvfb: at idle, 2 s after
// one 7680x4320 capture, and after many 1080p captures (1000 unless told
// otherwise), each a picture of its own. Targets: within 10 MB of idle 2 s
// after the large capture; less than 1 MB of growth over the 1080p ones
// (from the resident size after the first twenty to the one after the
// last), with the anonymous part of it (heap and stacks) beside it.
//
//     memory_bench [CAPTURES]      (PIXKEEP_UNDER_TEST: another build of the program)
#include <X11/Xlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

#include "bench/corpus.h"
#include "bench/desktop.h"
#include "bench/window.h"

using namespace pixkeep;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The resident size of `pid` in kB: all of it (VmRSS), and its anonymous
// part (RssAnon: heap and stacks, what a leak or a kept buffer grows; the
// rest is pages of the program's and libraries' files, shared and
// reclaimable, and grows as code not run before is first run).
struct Resident {
  long all = -1, anonymous = -1;
};
Resident residentKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  Resident r;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) r.all = std::stol(line.substr(6));
    if (line.rfind("RssAnon:", 0) == 0) r.anonymous = std::stol(line.substr(8));
  }
  return r;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const int captures = argc > 1 ? std::max(std::atoi(argv[1]), 21) : 1000;
  char templ[] = "/tmp/pixkeep-memory-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  const std::string dir = std::string(templ) + "/", out = dir + "out/", sources = dir + "sources/";
  fs::create_directories(sources);

  // The pictures: the desktop shot four times as wide and tall, and twenty
  // plasma pictures that differ in a pixel (none is taken for a clipboard
  // manager's copy of another).
  std::vector<bench::CorpusPicture> corpus = bench::loadCorpus();
  const bench::CorpusPicture* desk = nullptr;
  bench::CorpusPicture plasma;
  for (const auto& c : corpus) {
    if (c.name == "desk_b_1920x1080.png") desk = &c;
    if (c.name == "plasma_1920x1080.png") plasma = c;
  }
  if (!desk || plasma.rgb.empty()) return 2;
  bench::CorpusPicture huge;
  huge.width = 7680;
  huge.height = 4320;
  huge.rgb.resize(size_t(huge.width) * size_t(huge.height) * 3);
  for (int y = 0; y < huge.height; ++y)
    for (int x = 0; x < huge.width; ++x)
      for (int k = 0; k < 3; ++k)
        huge.rgb[(size_t(y) * size_t(huge.width) + size_t(x)) * 3 + size_t(k)] =
            desk->rgb[(size_t(y / 4) * size_t(desk->width) + size_t(x / 4)) * 3 + size_t(k)];
  writeFile(sources + "huge.png", bench::pngBytesOf(huge));
  std::vector<std::string> small;
  for (int k = 0; k < 20; ++k) {
    plasma.rgb[size_t(k) * 3] ^= 0x40;
    small.push_back(sources + "plasma" + std::to_string(k) + ".png");
    writeFile(small.back(), bench::pngBytesOf(plasma));
  }

  std::string display;
  const pid_t xvfb = bench::startXvfb(display);
  if (xvfb < 0) return 2;
  setenv("DISPLAY", display.c_str(), 1);
  Display* d = XOpenDisplay(display.c_str());
  pid_t app = -1;
  const char* other = std::getenv("PIXKEEP_UNDER_TEST");  // another build to measure
  if (!d || !bench::startProgram(d, other && *other ? other : PIXKEEP_BINARY, out, app)) {
    std::fprintf(stderr, "memory_bench: the program did not start\n");
    return 2;
  }
  bench::FolderWatch watch(out);
  int number = 0, status = 0;
  pid_t owner = -1;
  auto copy = [&](const std::string& file) {
    const pid_t next = bench::spawn({CLIPBOARD_OWNER_BINARY, "png", file, "0", "0", "120"});
    const bool saved = watch.waitFor("pxk" + std::to_string(++number) + ".jpg", 60s);
    bench::stop(owner);
    owner = next;
    if (!saved) std::fprintf(stderr, "memory_bench: picture %d was not saved\n", number);
    return saved;
  };

  std::this_thread::sleep_for(2s);
  const Resident idle = residentKb(app);
  bool ok = copy(sources + "huge.png");
  std::this_thread::sleep_for(2s);
  const Resident afterHuge = residentKb(app);
  Resident warm;
  for (int n = 0; ok && n < captures; ++n) {
    ok = copy(small[size_t(n) % small.size()]);
    if (n == 19) {
      std::this_thread::sleep_for(2s);
      warm = residentKb(app);
    }
  }
  std::this_thread::sleep_for(2s);
  const Resident afterAll = residentKb(app);

  bench::stop(owner);
  bench::stop(app);
  XCloseDisplay(d);
  bench::stop(xvfb);
  fs::remove_all(dir);
  if (!ok) return 2;

  const long hugeExtra = afterHuge.all - idle.all, growth = afterAll.all - warm.all;
  const long anonymousGrowth = afterAll.anonymous - warm.anonymous;
  std::printf("resident memory: idle %ld KB (anonymous %ld KB); 2 s after a 7680x4320 capture %ld KB (%+ld KB, "
              "target <= 10240) %s\n",
              idle.all, idle.anonymous, afterHuge.all, hugeExtra, hugeExtra <= 10240 ? "ok" : "MISSED");
  std::printf("after %d 1080p captures %ld KB (anonymous %ld KB); growth since the first twenty %+ld KB "
              "(target < 1024) %s, of it anonymous %+ld KB\n",
              captures, afterAll.all, afterAll.anonymous, growth, growth < 1024 ? "ok" : "MISSED", anonymousGrowth);
  status = hugeExtra <= 10240 && growth < 1024 ? 0 : 1;
  return status;
}
