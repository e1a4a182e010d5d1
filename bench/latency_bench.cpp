// Copy -> file latency of the real program under its own Xvfb, against the
// sum of the parts it cannot do without, all measured in the same run:
//   latency  - from the moment an owner takes the CLIPBOARD (the XFixes
//              notification of the new owner, so the owner's own start-up is
//              not counted) until the numbered file pxkN.* appears in the
//              output folder (it is linked there whole);
//   transfer - a plain X11 reader of the same owner's bytes: TARGETS, then
//              image/png (INCR included), from the same notification to the
//              last byte. The program is stopped meanwhile (SIGSTOP), so that
//              it neither reads nor empties the clipboard, and goes on once
//              that owner is gone;
//   decode   - those PNG bytes into the capture's raster, as a capture
//              decodes them (TPicture::loadFromBitmapData);
//   encode   - that raster to the output type at the position its slider
//              starts at (JPEG quality 90, PNG level 9), into memory;
//   write    - the encoded bytes as a new numbered file (saveNumberedFile).
// The owner is the end-to-end tests' clipboard owner, which answers from
// memory; `xclip` as the second argument uses xclip instead (which hands a
// picture over 1 MB over in INCR chunks). Pictures: the corpus's 1080p
// plasma PNG as it is, and the desktop shot doubled to 3840x2160 as libpng
// writes it. The output type is chosen in the window; the program's file
// must be byte for byte what the encode stage made, which shows both that
// the choice took and that the stages did the program's work.
//
// Each run comes 2.5 s after the last capture. A picture copied sooner
// than 2 s after the last one was taken is first compared with it (a
// clipboard manager that puts its copy back must not get it saved again):
// for JPEG, the same is measured with pictures copied 1 s after the last
// capture, each the picture with other pixels changed, and that comparison
// (CapturePipeline::samePixels, here decoding the picture before too) is
// timed alone too.
//
// Each row also tells the program's own CPU time during the latency (all
// its threads) and the time its threads were ready to run but had no CPU
// (/proc/PID/task/*/schedstat): work the program did beyond the parts,
// and what a machine busy with other work added.
//
// Usage: latency_bench [RUNS [xclip]]; medians of RUNS (default 7) runs
// after one warm-up. PIXKEEP_UNDER_TEST names another build of the program
// to measure, for a before/after comparison.
#include <X11/Xlib.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "bench/desktop.h"
#include "bench/window.h"
#include "capture/capturecycle.h"
#include "capture/pipeline.h"
#include "raster/picture.h"
#include "codecs/imagetypes.h"
#include "platform/savefile.h"
#include "platform/stream.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace pixkeep;

namespace {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The bench's own X connection: it hears of every new owner of the
// clipboard (XFixes) and reads the clipboard as a plain requestor does.
class PlainReader {
 public:
  ~PlainReader() {
    if (c_) xcb_disconnect(c_);
  }

  bool open(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c_)) return false;
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c_, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) return false;
    xfixesEvent_ = xfixes->first_event;
    std::free(xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 5, 0), nullptr));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    png_ = atom("image/png");
    incr_ = atom("INCR");
    property_ = atom("LATENCY_BENCH");
    xcb_xfixes_select_selection_input(c_, window_, clipboard_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    return !xcb_connection_has_error(c_);
  }

  // Forgets the owner changes heard so far.
  void forget() {
    while (next(Clock::now())) {
    }
    owners_.clear();
  }

  // Waits for a new owner of the clipboard: when it was heard of, and the
  // server time at which it took the clipboard. False after `limit`.
  bool waitForOwner(std::chrono::milliseconds limit, Clock::time_point& heard, uint32_t& time) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      while (!owners_.empty()) {
        const Owner o = owners_.front();
        owners_.pop_front();
        if (o.window == XCB_NONE) continue;
        heard = o.heard;
        time = o.time;
        return true;
      }
      if (Clock::now() >= deadline) return false;
      next(deadline, true);
    }
  }

  // TARGETS, then image/png, from the owner that took the clipboard at
  // `time`; the picture's bytes, nothing when they were not handed over.
  // `chunks` is the number of INCR chunks (0: the bytes came in one piece).
  std::optional<std::vector<uint8_t>> readPicture(uint32_t time, int& chunks) {
    int none = 0;
    const std::optional<std::vector<uint8_t>> list = convert(targets_, time, none);
    if (!list) return std::nullopt;
    bool offered = false;
    for (size_t i = 0; i + 4 <= list->size(); i += 4) {
      uint32_t a;
      std::memcpy(&a, list->data() + i, 4);
      offered |= a == png_;
    }
    if (!offered) return std::nullopt;
    return convert(png_, time, chunks);
  }

 private:
  struct Owner {
    xcb_window_t window;
    uint32_t time;
    Clock::time_point heard;
  };
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  using Event = std::unique_ptr<xcb_generic_event_t, Free>;

  xcb_atom_t atom(const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, Free> r(
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr));
    return r ? r->atom : XCB_NONE;
  }

  // The next event other than an owner change (those are kept, with the
  // moment they arrived); nullptr at `deadline`, or when `ownerEnds` and an
  // owner change came.
  Event next(Clock::time_point deadline, bool ownerEnds = false) {
    for (;;) {
      const size_t heard = owners_.size();
      while (xcb_generic_event_t* raw = xcb_poll_for_event(c_)) {
        Event e(raw);
        if (e->response_type == uint8_t(xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY)) {
          const auto* n = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(e.get());
          if (n->selection == clipboard_) owners_.push_back({n->owner, n->selection_timestamp, Clock::now()});
          continue;
        }
        return e;
      }
      if (ownerEnds && owners_.size() > heard) return nullptr;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || xcb_connection_has_error(c_)) return nullptr;
      pollfd p{xcb_get_file_descriptor(c_), POLLIN, 0};
      poll(&p, 1, int(left) + 1);
    }
  }

  bool takeProperty(xcb_atom_t& type, std::vector<uint8_t>& bytes) {
    std::unique_ptr<xcb_get_property_reply_t, Free> r(xcb_get_property_reply(
        c_, xcb_get_property(c_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4), nullptr));
    if (!r) return false;
    type = r->type;
    const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(r.get()));
    bytes.assign(data, data + xcb_get_property_value_length(r.get()));
    return true;
  }

  std::optional<std::vector<uint8_t>> convert(xcb_atom_t target, uint32_t time, int& chunks) {
    xcb_convert_selection(c_, window_, clipboard_, target, property_, time);
    xcb_flush(c_);
    auto deadline = Clock::now() + 10s;
    while (Event e = next(deadline)) {
      if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) continue;
      const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(e.get());
      if (n->target != target) continue;
      if (n->property == XCB_NONE) return std::nullopt;
      xcb_atom_t type = XCB_NONE;
      std::vector<uint8_t> bytes;
      if (!takeProperty(type, bytes)) return std::nullopt;
      if (type != incr_) return bytes;
      // INCR: each chunk is a new value of the property; taking it (reading
      // and deleting) asks for the next, and an empty one ends the transfer.
      std::vector<uint8_t> all;
      while (Event p = next(deadline)) {
        if ((p->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
        const auto* pn = reinterpret_cast<const xcb_property_notify_event_t*>(p.get());
        if (pn->atom != property_ || pn->state != XCB_PROPERTY_NEW_VALUE) continue;
        if (!takeProperty(type, bytes)) return std::nullopt;
        if (bytes.empty()) return all;
        ++chunks;
        all.insert(all.end(), bytes.begin(), bytes.end());
      }
      return std::nullopt;
    }
    return std::nullopt;
  }

  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
  xcb_atom_t clipboard_ = 0, targets_ = 0, png_ = 0, incr_ = 0, property_ = 0;
  uint8_t xfixesEvent_ = 0;
  std::deque<Owner> owners_;
};

// A PNG the owner serves, in memory and as a file for the owner to read.
struct Source {
  std::string file;
  std::shared_ptr<const std::vector<uint8_t>> bytes;
};

struct Picture {
  std::string name;
  // The picture, then the same with one pixel changed, one for each run
  // copied soon after the last: as a copy of another picture, none can be
  // told from the others without decoding, and none is one of the pictures
  // taken lately (a clipboard manager's copy).
  std::vector<Source> source;
};

// The times of one case, in seconds, one entry a run.
struct Times {
  std::vector<double> latency, transfer, decode, encode, write;
  // The program's threads during the latency: time on a CPU, and time
  // ready to run but waiting for one (the machine busy with other work).
  std::vector<double> programCpu, programWaiting;
  std::vector<double> check;  // only for a picture copied soon after the last: CapturePipeline::samePixels
};

// Time on a CPU and time waiting for one, in seconds, of all threads of `pid` so far.
std::pair<double, double> schedTimes(pid_t pid) {
  double cpu = 0, waiting = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream f(task.path() / "schedstat");
    unsigned long long run = 0, wait = 0;
    if (f >> run >> wait) {
      cpu += double(run) * 1e-9;
      waiting += double(wait) * 1e-9;
    }
  }
  return {cpu, waiting};
}

std::shared_ptr<const PlatformBitmap> bitmapOf(const Source& s) {
  auto b = std::make_shared<PlatformBitmap>();
  b->encoded = EncodedPicture("image/png", s.bytes, s.bytes->data(), s.bytes->size());
  return b;
}

// The stages of the capture in this process, as the program does them; the
// encoded bytes go to `encoded`.
void stages(const Source& p, const ImageType& type, const std::string& scratch, Times& t,
            std::vector<uint8_t>& encoded) {
  const std::shared_ptr<const PlatformBitmap> bitmap = bitmapOf(p);
  TPicture picture;
  auto t0 = Clock::now();
  picture.loadFromBitmapData(bitmap.get(), nullptr, clipboardDecoder(imageTypes()));
  t.decode.push_back(secondsSince(t0));
  RasterImage* raster = picture.bitmap();
  t0 = Clock::now();
  MemoryStream stream;
  type.writer(*raster, type.slider ? type.slider->position : 0)->saveToStream(stream);
  encoded = stream.take();
  t.encode.push_back(secondsSince(t0));
  t0 = Clock::now();
  const std::optional<int> number = saveNumberedFile(
      scratch, 1, CaptureCycle::MaxPictures, [&](int n) { return "pxk" + std::to_string(n) + type.extension; },
      [&](Stream& s) { s.writeBuffer(encoded.data(), encoded.size()); });
  t.write.push_back(secondsSince(t0));
  if (number) fs::remove(scratch + "pxk" + std::to_string(*number) + type.extension);
}

Source writeSource(const std::string& file, std::vector<uint8_t> bytes) {
  Source s{file, std::make_shared<const std::vector<uint8_t>>(std::move(bytes))};
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(s.bytes->data()),
                                              std::streamsize(s.bytes->size()));
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = std::max(argc > 1 ? std::atoi(argv[1]) : 7, 1);
  const bool useXclip = argc > 2 && std::string(argv[2]) == "xclip";
  const char* other = std::getenv("PIXKEEP_UNDER_TEST");
  const std::string pixkeep = other && *other ? other : PIXKEEP_BINARY;

  char templ[] = "/tmp/pixkeep-latency-XXXXXX";
  if (!mkdtemp(templ)) return 2;
  const std::string dir = std::string(templ) + "/", out = dir + "out/", scratch = dir + "scratch/";
  fs::create_directories(scratch);

  std::vector<Picture> pictures;
  for (auto& c : bench::loadCorpus()) {
    const bool plasma = c.name.rfind("plasma", 0) == 0, big = c.width == 3840;
    if (!plasma && !big) continue;
    Picture p;
    p.name = plasma ? "plasma 1920x1080" : "desktop 3840x2160";
    const std::string stem = dir + (plasma ? "plasma" : "desktop-4k");
    p.source.push_back(
        writeSource(stem + ".png", plasma ? readAll(std::string(CORPUS_DIR) + "/" + c.name) : bench::pngBytesOf(c)));
    for (int k = 1; k <= runs + 1; ++k) {
      c.rgb[size_t(k)] ^= 1;
      p.source.push_back(writeSource(stem + "-changed" + std::to_string(k) + ".png", bench::pngBytesOf(c)));
    }
    pictures.push_back(std::move(p));
  }

  std::string display;
  const pid_t xvfb = bench::startXvfb(display);
  if (xvfb < 0) {
    std::fprintf(stderr, "latency_bench: Xvfb did not start\n");
    return 2;
  }
  setenv("DISPLAY", display.c_str(), 1);
  Display* d = XOpenDisplay(display.c_str());
  PlainReader reader;
  if (!d || !reader.open(display)) {
    std::fprintf(stderr, "latency_bench: no connection to Xvfb %s\n", display.c_str());
    return 2;
  }

  auto startOwner = [&](const Source& s) {
    if (useXclip) return bench::spawn({"xclip", "-quiet", "-selection", "clipboard", "-t", "image/png", "-i", s.file});
    return bench::spawn({CLIPBOARD_OWNER_BINARY, "png", s.file, "0", "0", "120"});
  };

  int status = 0;
  pid_t app = -1;
  int number = 0;       // of the program's last picture
  Clock::time_point written;  // when it appeared
  std::string transferKind;
  // One run of every measurement, added to `t`; false when the program
  // wrote nothing or the reader got other bytes than the owner's. With
  // `previous` (the picture taken last, less than 2 s before), also the
  // program's check whether this is a clipboard manager's copy of it.
  auto measure = [&](const Source& source, const ImageType& type, bench::FolderWatch& watch, Times& t,
                     const Source* previous = nullptr) {
    // Latency: a new owner, the program's file.
    reader.forget();
    const std::string want = "pxk" + std::to_string(++number) + type.extension;
    const auto [cpu0, waiting0] = schedTimes(app);
    pid_t owner = startOwner(source);
    Clock::time_point heard;
    uint32_t time = 0;
    if (!reader.waitForOwner(30s, heard, time) || !watch.waitFor(want, 60s)) {
      std::fprintf(stderr, "latency_bench: %s was not written\n", want.c_str());
      bench::stop(owner);
      return false;
    }
    t.latency.push_back(secondsSince(heard));
    written = Clock::now();
    const auto [cpu1, waiting1] = schedTimes(app);
    t.programCpu.push_back(cpu1 - cpu0);
    t.programWaiting.push_back(waiting1 - waiting0);
    bench::stop(owner);

    // Transfer: the same owner's bytes to a plain reader, the program stopped.
    kill(app, SIGSTOP);
    reader.forget();
    owner = startOwner(source);
    int chunks = 0;
    std::optional<std::vector<uint8_t>> bytes;
    if (reader.waitForOwner(30s, heard, time)) bytes = reader.readPicture(time, chunks);
    t.transfer.push_back(secondsSince(heard));
    bench::stop(owner);
    reader.forget();
    kill(app, SIGCONT);
    if (!bytes || *bytes != *source.bytes) {
      std::fprintf(stderr, "latency_bench: the reader did not get the picture's bytes\n");
      return false;
    }
    transferKind = chunks ? std::to_string(chunks) + " INCR chunks" : std::string("one piece");

    // Decode, encode, write here; the program's file must be the same.
    std::vector<uint8_t> encoded;
    stages(source, type, scratch, t, encoded);
    if (previous) {
      CaptureJob job;
      job.previous = bitmapOf(*previous);
      job.bitmap = bitmapOf(source);
      // A pipeline of its own knows no digest of the picture before: this
      // decodes both, more than the program's check does.
      CapturePipeline checker(imageTypes());
      const auto t0 = Clock::now();
      const bool restore = checker.samePixels(job);
      t.check.push_back(secondsSince(t0));
      if (restore) std::printf("MISMATCH: two different pictures were taken for the same\n");
    }
    if (readAll(out + want) != encoded) {
      std::printf("MISMATCH %s: %s is not the encoding of the picture as %s\n", source.file.c_str(), want.c_str(),
                  type.name.c_str());
      status = std::max(status, 1);
    }
    return true;
  };

  struct Row {
    std::string what;
    Times t;
  };
  std::vector<Row> rows;
  const std::vector<ImageType>& types = imageTypes();
  for (const int typeIndex : {0, 1}) {
    const ImageType& type = types[size_t(typeIndex)];
    const Window w = bench::startProgram(d, pixkeep, out, app);
    if (!w) {
      std::fprintf(stderr, "latency_bench: the window did not appear\n");
      status = 2;
      break;
    }
    if (typeIndex != 0) {
      XWindowAttributes a;
      XGetWindowAttributes(d, w, &a);
      bench::chooseType(w, a.height, typeIndex);
    }
    std::this_thread::sleep_for(1s);  // settled after its start
    bench::FolderWatch watch(out);
    number = 0;
    for (const Picture& p : pictures) {
      // A picture copied again sooner than this after the last one was
      // taken is compared with it (a clipboard manager's copy is not saved
      // again): each run comes later.
      Row row{type.name + " " + p.name, {}};
      Times warmUp;
      bool ok = measure(p.source[0], type, watch, warmUp);
      for (int run = 0; ok && run < runs; ++run) {
        std::this_thread::sleep_until(written + CaptureCycle::RestoreInterval + 500ms);
        ok = measure(p.source[0], type, watch, row.t);
      }
      if (ok)
        std::printf("%s: first capture %.1f ms; transfer in %s\n", row.what.c_str(), warmUp.latency[0] * 1e3,
                    transferKind.c_str());
      // The same with another picture copied within that time after each
      // capture (one of them has a pixel changed), as the JPEG only: the check costs the same for every type.
      Row soon{type.name + " " + p.name + ", 1 s after the last", {}};
      for (int run = 1; ok && typeIndex == 0 && run <= runs; ++run) {
        std::this_thread::sleep_until(written + 1s);
        ok = measure(p.source[size_t(run)], type, watch, soon.t, &p.source[size_t(run - 1)]);
      }
      std::this_thread::sleep_until(written + CaptureCycle::RestoreInterval + 500ms);
      if (!ok) status = 2;
      if (!row.t.latency.empty()) rows.push_back(std::move(row));
      if (!soon.t.latency.empty()) rows.push_back(std::move(soon));
      if (!ok) break;
    }
    bench::stop(app);
    if (status == 2) break;
  }
  XCloseDisplay(d);
  bench::stop(xvfb);
  fs::remove_all(dir);

  std::printf("\n%-46s %8s %8s %8s %8s %8s %8s  %s\n", "copy -> file (wall ms, median)", "latency", "transfer",
              "decode", "encode", "write", "sum", "latency/sum");
  for (const Row& r : rows) {
    using bench::median;
    const double sum = median(r.t.transfer) + median(r.t.decode) + median(r.t.encode) + median(r.t.write);
    const double ratio = median(r.t.latency) / sum;
    std::printf("%-46s %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f  %5.2f (target <= 1.25) %s", r.what.c_str(),
                median(r.t.latency) * 1e3, median(r.t.transfer) * 1e3, median(r.t.decode) * 1e3,
                median(r.t.encode) * 1e3, median(r.t.write) * 1e3, sum * 1e3, ratio, ratio <= 1.25 ? "ok" : "MISSED");
    std::printf("; program CPU %.1f ms, waiting for a CPU %.1f ms", median(r.t.programCpu) * 1e3,
                median(r.t.programWaiting) * 1e3);
    if (!r.t.check.empty()) std::printf("; the check alone %.1f ms", median(r.t.check) * 1e3);
    std::printf("\n");
    if (ratio > 1.25) status = std::max(status, 1);
  }
  return status;
}
