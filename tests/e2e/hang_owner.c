/* Takes the CLIPBOARD selection, offers nothing and never answers a request:
   a clipboard owner that hangs. Runs for the number of seconds given. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 30;
  Display* d = XOpenDisplay(NULL);
  if (!d) return 1;
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  XSetSelectionOwner(d, clipboard, w, CurrentTime);
  XFlush(d);
  if (XGetSelectionOwner(d, clipboard) != w) return 2;
  printf("owner\n");
  fflush(stdout);
  sleep((unsigned)seconds);
  XCloseDisplay(d);
  return 0;
}
