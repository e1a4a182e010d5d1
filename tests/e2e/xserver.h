// The tests' own connection to the X server: it looks at the clipboard's
// owner (and hears of every change of it) and at a program's windows
// without sending the program anything.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct _XDisplay;
struct xcb_connection_t;

// A change of the CLIPBOARD selection's owner, as the X server told it.
struct ClipboardChange {
  unsigned long owner = 0;  // 0: nobody owns it now
  pid_t pid = 0;            // the owner window's _NET_WM_PID when it was seen; 0 when unknown
};

struct TopWindow {
  unsigned long id = 0;
  int width = 0, height = 0;
  bool popup = false;  // override-redirect: a menu or a drop-down list
};

class XServer {
 public:
  XServer() = default;
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer() { close(); }

  bool open(const std::string& display);
  void close();
  // The window that owns the CLIPBOARD selection; 0 when nobody owns it.
  unsigned long clipboardOwner();
  // The window that owns selection `name`; 0 when nobody owns it.
  unsigned long selectionOwner(const std::string& name);
  // Every change of the clipboard's owner since open(), oldest first: also
  // one that lasted a moment only (a clipboard emptied and at once taken again).
  const std::vector<ClipboardChange>& clipboardChanges();
  // Every child of the root window, mapped or not, whoever made it.
  std::vector<unsigned long> rootChildren();
  // The mapped top-level windows of process `pid` (by their _NET_WM_PID),
  // bottom first; in the frames of a reparenting window manager (mutter,
  // KWin), the client's own window.
  std::vector<TopWindow> windowsOf(pid_t pid);
  // The tray icons of process `pid`: its windows embedded below the top level.
  std::vector<TopWindow> trayIconsOf(pid_t pid);
  // Whether some program offers a tray (owns the tray selection of screen 0).
  bool trayPresent();
  // The process of a window, as its _NET_WM_PID tells; 0 when it does not.
  unsigned long pidOf(unsigned long window);
  // The window that the window manager says has the focus
  // (_NET_ACTIVE_WINDOW); 0 when none of X11 has it.
  unsigned long activeWindow();
  // A window's title (_NET_WM_NAME).
  std::string title(unsigned long window);
  // Asks `window` to close, as a window manager's close button does
  // (WM_PROTOCOLS / WM_DELETE_WINDOW).
  bool requestClose(unsigned long window);

 private:
  // A property of one 32-bit item of `type`; 0 when it is not there.
  unsigned long property32(unsigned long window, unsigned long property, unsigned long type);
  bool managed(unsigned long window);
  void framedOf(unsigned long parent, pid_t pid, int depth, std::vector<TopWindow>& found);
  void embeddedOf(unsigned long window, pid_t pid, int depth, std::vector<TopWindow>& found);

  _XDisplay* display_ = nullptr;
  xcb_connection_t* watch_ = nullptr;  // hears of the clipboard's owner changes (XFixes)
  uint8_t xfixesEvent_ = 0;
  std::vector<ClipboardChange> changes_;
  unsigned long clipboard_ = 0, wmPid_ = 0;
};
