// The real program's main window under a benchmark's Xvfb: starting the
// program in a folder of its own, finding its window, and choosing an image
// type in it as a user does.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>

#include "bench/desktop.h"

namespace pixkeep::bench {

// The main window of process `pid`: its largest mapped top-level window; 0
// when it has none.
inline Window windowOf(Display* d, pid_t pid) {
  const Atom wmPid = XInternAtom(d, "_NET_WM_PID", False);
  Window root = 0, parent = 0, *children = nullptr, found = 0;
  long area = 0;
  unsigned count = 0;
  XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable || a.override_redirect) continue;
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, children[i], wmPid, 0, 1, False, AnyPropertyType, &type, &format, &items, &after, &data) ==
            Success &&
        data && items == 1 && pid_t(*reinterpret_cast<unsigned long*>(data)) == pid && long(a.width) * a.height > area) {
      found = children[i];
      area = long(a.width) * a.height;
    }
    if (data) XFree(data);
  }
  if (children) XFree(children);
  return found;
}

// Copies `binary` into `folder` (made anew: the program keeps its settings
// and pictures beside itself there), starts it and waits for its window.
// 0 when no window appeared within 10 s; the program is ended then.
inline Window startProgram(Display* d, const std::string& binary, const std::string& folder, pid_t& app) {
  namespace fs = std::filesystem;
  fs::remove_all(folder);
  fs::create_directories(folder);
  const std::string copy = (fs::path(folder) / "pixkeep").string();
  fs::copy_file(binary, copy);
  app = spawn({copy});
  Window w = 0;
  for (int i = 0; i < 500 && !w; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) w = windowOf(d, app);
  if (!w) {
    kill(app, SIGTERM);
    waitpid(app, nullptr, 0);
  }
  return w;
}

// Chooses row `index` of the image type list: a click opens the list (at
// (64, 40), 145 x 21, in the 80-pixel upper part above the 19-pixel status
// bar), Home and Down go to the entry, Return takes it. Whether the choice
// took shows in the extension of the next picture saved.
inline void chooseType(Window w, int height, int index) {
  const int x = 64 + 72, y = height - 19 - 80 + 40 + 10;
  std::string keys = " key Home";
  for (int i = 0; i < index; ++i) keys += " Down";
  run("xdotool mousemove --window " + std::to_string(w) + " " + std::to_string(x) + " " + std::to_string(y) +
      " click 1 sleep 0.5" + keys + " Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace pixkeep::bench
