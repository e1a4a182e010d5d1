#include "tests/e2e/xserver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <cstdlib>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace {

// A window can go away between listing and looking at it; that is no error here.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

bool XServer::open(const std::string& display) {
  close();
  display_ = XOpenDisplay(display.c_str());
  if (!display_) return false;
  XSetErrorHandler(ignoreErrors);
  clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
  wmPid_ = XInternAtom(display_, "_NET_WM_PID", False);
  // A connection of its own that only listens: its events wait there until asked for.
  watch_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(watch_)) return false;
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(watch_, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) return false;
  xfixesEvent_ = xfixes->first_event;
  std::free(xcb_xfixes_query_version_reply(watch_, xcb_xfixes_query_version(watch_, 5, 0), nullptr));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(watch_)).data->root;
  xcb_xfixes_select_selection_input(watch_, root, xcb_atom_t(clipboard_),
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  std::free(xcb_get_input_focus_reply(watch_, xcb_get_input_focus(watch_), nullptr));  // selected before anything else happens
  return true;
}

void XServer::close() {
  if (display_) XCloseDisplay(display_);
  display_ = nullptr;
  if (watch_) xcb_disconnect(watch_);
  watch_ = nullptr;
  changes_.clear();
}

const std::vector<ClipboardChange>& XServer::clipboardChanges() {
  if (!watch_) return changes_;
  while (xcb_generic_event_t* e = xcb_poll_for_event(watch_)) {
    if ((e->response_type & 0x7f) == xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
      const auto* n = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(e);
      changes_.push_back({n->owner, n->owner ? pid_t(pidOf(n->owner)) : 0});
    }
    std::free(e);
  }
  return changes_;
}

unsigned long XServer::clipboardOwner() { return display_ ? XGetSelectionOwner(display_, clipboard_) : 0; }

unsigned long XServer::selectionOwner(const std::string& name) {
  return display_ ? XGetSelectionOwner(display_, XInternAtom(display_, name.c_str(), False)) : 0;
}

std::vector<unsigned long> XServer::rootChildren() {
  std::vector<unsigned long> found;
  if (!display_) return found;
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return found;
  found.assign(children, children + count);
  if (children) XFree(children);
  return found;
}

std::vector<TopWindow> XServer::windowsOf(pid_t pid) {
  std::vector<TopWindow> found;
  if (display_) framedOf(DefaultRootWindow(display_), pid, 0, found);
  return found;
}

void XServer::framedOf(unsigned long parentWindow, pid_t pid, int depth, std::vector<TopWindow>& found) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, parentWindow, &root, &parent, &children, &count)) return;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, children[i], &a) || a.map_state != IsViewable) continue;
    const unsigned long owner = pidOf(children[i]);
    if (owner == 0 && depth < 2) {
      // A reparenting window manager's frame (KWin: a frame and a wrapper).
      framedOf(children[i], pid, depth + 1, found);
    } else if (owner != 0 && pid_t(owner) == pid) {
      // In a frame, only a window the window manager manages (WM_STATE):
      // not an icon embedded in a tray.
      if (depth == 0 || managed(children[i])) found.push_back({children[i], a.width, a.height, a.override_redirect != 0});
    }
  }
  if (children) XFree(children);
}

bool XServer::requestClose(unsigned long window) {
  if (!display_) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = long(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  const bool sent = XSendEvent(display_, window, False, NoEventMask, &event) != 0;
  XFlush(display_);
  return sent;
}

unsigned long XServer::pidOf(unsigned long window) { return property32(window, wmPid_, XA_CARDINAL); }

unsigned long XServer::activeWindow() {
  if (!display_) return 0;
  return property32(DefaultRootWindow(display_), XInternAtom(display_, "_NET_ACTIVE_WINDOW", False), XA_WINDOW);
}

bool XServer::managed(unsigned long window) {
  Atom actual = 0;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  const Atom wmState = XInternAtom(display_, "WM_STATE", False);
  const bool has = XGetWindowProperty(display_, window, wmState, 0, 1, False, AnyPropertyType, &actual, &format, &items,
                                      &after, &data) == Success &&
                   actual != None;
  if (data) XFree(data);
  return has;
}

unsigned long XServer::property32(unsigned long window, unsigned long property, unsigned long type) {
  if (!display_) return 0;
  Atom actual = 0;
  int format = 0;
  unsigned long items = 0, after = 0, value = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display_, window, property, 0, 1, False, type, &actual, &format, &items, &after, &data) ==
          Success &&
      data && format == 32 && items == 1)
    value = *reinterpret_cast<unsigned long*>(data);
  if (data) XFree(data);
  return value;
}

void XServer::embeddedOf(unsigned long window, pid_t pid, int depth, std::vector<TopWindow>& found) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, window, &root, &parent, &children, &count)) return;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, children[i], &a) || a.map_state != IsViewable) continue;
    if (depth > 0 && pidOf(children[i]) == static_cast<unsigned long>(pid))
      found.push_back({children[i], a.width, a.height, false});
    else
      embeddedOf(children[i], pid, depth + 1, found);
  }
  if (children) XFree(children);
}

std::vector<TopWindow> XServer::trayIconsOf(pid_t pid) {
  std::vector<TopWindow> found;
  if (!display_) return found;
  Window root = DefaultRootWindow(display_);
  Window r = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display_, root, &r, &parent, &children, &count)) return found;
  // Below the top-level windows of other programs (the tray's panel).
  for (unsigned i = 0; i < count; ++i)
    if (pidOf(children[i]) != static_cast<unsigned long>(pid)) embeddedOf(children[i], pid, 1, found);
  if (children) XFree(children);
  return found;
}

bool XServer::trayPresent() {
  return display_ && XGetSelectionOwner(display_, XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False)) != 0;
}

std::string XServer::title(unsigned long window) {
  if (!display_) return {};
  Atom type = 0;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  std::string t;
  if (XGetWindowProperty(display_, window, XInternAtom(display_, "_NET_WM_NAME", False), 0, 1024, False,
                         XInternAtom(display_, "UTF8_STRING", False), &type, &format, &items, &after, &data) == Success &&
      data && format == 8)
    t.assign(reinterpret_cast<char*>(data), items);
  if (data) XFree(data);
  return t;
}
