/* A clipboard owner for the end-to-end tests, which tells on stdout when it
   owns the CLIPBOARD selection ("owner") and every request it gets
   ("request TARGET"), so that a test can wait for the program to look at the
   clipboard instead of sleeping.

     clipboard_owner hang SECONDS       offers nothing and never answers
     clipboard_owner text TEXT SECONDS  offers TEXT as UTF8_STRING

   It ends when another client takes the selection, or after SECONDS. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int ignoreErrors(Display* d, XErrorEvent* e) {
  (void)d;
  (void)e;
  return 0;  /* a requestor that went away meanwhile */
}

static long nowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void answer(Display* d, const XSelectionRequestEvent* r, const char* text) {
  Atom targets = XInternAtom(d, "TARGETS", False), utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom property = r->property != None ? r->property : r->target;
  if (r->target == targets) {
    Atom offered[] = {targets, utf8};
    XChangeProperty(d, r->requestor, property, XA_ATOM, 32, PropModeReplace, (unsigned char*)offered, 2);
  } else if (r->target == utf8) {
    XChangeProperty(d, r->requestor, property, utf8, 8, PropModeReplace, (const unsigned char*)text,
                    (int)strlen(text));
  } else {
    property = None;  /* refused */
  }
  XEvent n;
  memset(&n, 0, sizeof n);
  n.xselection.type = SelectionNotify;
  n.xselection.requestor = r->requestor;
  n.xselection.selection = r->selection;
  n.xselection.target = r->target;
  n.xselection.property = property;
  n.xselection.time = r->time;
  XSendEvent(d, r->requestor, False, NoEventMask, &n);
  XFlush(d);
}

int main(int argc, char** argv) {
  int hang = argc == 3 && strcmp(argv[1], "hang") == 0;
  int text = argc == 4 && strcmp(argv[1], "text") == 0;
  if (!hang && !text) {
    fprintf(stderr, "usage: %s hang SECONDS | text TEXT SECONDS\n", argv[0]);
    return 64;
  }
  long end = nowMs() + 1000L * atol(argv[argc - 1]);
  Display* d = XOpenDisplay(NULL);
  if (!d) return 1;
  XSetErrorHandler(ignoreErrors);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  XSetSelectionOwner(d, clipboard, w, CurrentTime);
  if (XGetSelectionOwner(d, clipboard) != w) return 2;
  printf("owner\n");
  fflush(stdout);
  for (;;) {
    while (XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == SelectionClear) return 0;
      if (e.type != SelectionRequest) continue;
      char* name = XGetAtomName(d, e.xselectionrequest.target);
      printf("request %s\n", name ? name : "?");
      fflush(stdout);
      if (name) XFree(name);
      if (text) answer(d, &e.xselectionrequest, argv[2]);
    }
    long left = end - nowMs();
    if (left <= 0) break;
    struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, (int)(left < 1000 ? left : 1000));
  }
  XCloseDisplay(d);
  return 0;
}
