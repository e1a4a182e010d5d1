/* A clipboard owner for the end-to-end tests, which tells on stdout when it
   owns the CLIPBOARD selection ("owner") and every request it gets
   ("request TARGET"), so that a test can wait for the program to look at the
   clipboard instead of sleeping.

     clipboard_owner hang SECONDS       offers nothing and never answers
     clipboard_owner text TEXT SECONDS  offers TEXT as UTF8_STRING
     clipboard_owner png FILE DELAY REFUSALS SECONDS
                                        offers FILE as image/png: refuses the
                                        first REFUSALS requests for it and
                                        answers each later one after DELAY
                                        milliseconds (-1: never)

   A picture larger than one request to the X server may carry goes in INCR
   chunks, as toolkits send large pictures (ICCCM 2.7.2); a smaller one in
   one piece.

   It ends when another client takes the selection and no answer is still
   due or under way, or after SECONDS. An owner that lost the selection
   still answers the requests it got before, as X clients do. */
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

/* What is offered: `type` with `size` bytes of `data`. */
struct Offer {
  const char* type;
  const unsigned char* data;
  long size;
};

/* Pictures going to requestors in INCR chunks: the next chunk is written
   once the requestor has deleted the property holding the one before. */
#define Chunk (256L * 1024L)
static long largestDirect = 0; /* bytes one ChangeProperty request carries */
struct Transfer {
  Window requestor;
  Atom property, type;
  long offset;  /* of the next chunk; size + 1 once the closing empty chunk is written */
};
static struct Transfer transfers[16];
static int transferring = 0;

static void endTransfer(int i) { transfers[i] = transfers[--transferring]; }

/* Answers `r`; a NULL offer refuses it. */
static void answer(Display* d, const XSelectionRequestEvent* r, const struct Offer* offer) {
  Atom targets = XInternAtom(d, "TARGETS", False);
  Atom type = offer ? XInternAtom(d, offer->type, False) : None;
  Atom property = r->property != None ? r->property : r->target;
  if (offer && r->target == targets) {
    Atom offered[] = {targets, type};
    XChangeProperty(d, r->requestor, property, XA_ATOM, 32, PropModeReplace, (unsigned char*)offered, 2);
  } else if (offer && r->target == type && offer->size > largestDirect && transferring < 16) {
    /* INCR: the size first; the chunks follow as the requestor takes them. */
    long size = offer->size;
    XSelectInput(d, r->requestor, PropertyChangeMask | StructureNotifyMask);
    XChangeProperty(d, r->requestor, property, XInternAtom(d, "INCR", False), 32, PropModeReplace,
                    (unsigned char*)&size, 1);
    struct Transfer t = {r->requestor, property, type, 0};
    transfers[transferring++] = t;
  } else if (offer && r->target == type && offer->size <= largestDirect) {
    XChangeProperty(d, r->requestor, property, type, 8, PropModeReplace, offer->data, (int)offer->size);
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

static unsigned char* readFile(const char* name, long* size) {
  FILE* f = fopen(name, "rb");
  if (!f) return NULL;
  fseek(f, 0, SEEK_END);
  *size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* data = malloc((size_t)*size);
  if (data && fread(data, 1, (size_t)*size, f) != (size_t)*size) {
    free(data);
    data = NULL;
  }
  fclose(f);
  return data;
}

int main(int argc, char** argv) {
  int hang = argc == 3 && strcmp(argv[1], "hang") == 0;
  int text = argc == 4 && strcmp(argv[1], "text") == 0;
  int png = argc == 6 && strcmp(argv[1], "png") == 0;
  if (!hang && !text && !png) {
    fprintf(stderr, "usage: %s hang SECONDS | text TEXT SECONDS | png FILE DELAY REFUSALS SECONDS\n", argv[0]);
    return 64;
  }
  struct Offer offer = {"UTF8_STRING", NULL, 0};
  long delay = 0, refusals = 0;
  if (text) {
    offer.data = (const unsigned char*)argv[2];
    offer.size = (long)strlen(argv[2]);
  } else if (png) {
    offer.type = "image/png";
    offer.data = readFile(argv[2], &offer.size);
    if (!offer.data) return 3;
    delay = atol(argv[3]);
    refusals = atol(argv[4]);
  }
  /* Requests for the picture waiting for their answer. */
  XSelectionRequestEvent due[16];
  long dueAt[16];
  int waiting = 0, lost = 0;
  long end = nowMs() + 1000L * atol(argv[argc - 1]);
  Display* d = XOpenDisplay(NULL);
  if (!d) return 1;
  XSetErrorHandler(ignoreErrors);
  {
    long words = XExtendedMaxRequestSize(d);
    if (words == 0) words = XMaxRequestSize(d);
    largestDirect = words * 4 - 64;  /* less the request's own header */
  }
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
  XSetSelectionOwner(d, clipboard, w, CurrentTime);
  if (XGetSelectionOwner(d, clipboard) != w) return 2;
  printf("owner\n");
  fflush(stdout);
  Atom picture = XInternAtom(d, "image/png", False);
  for (;;) {
    while (XPending(d)) {
      XEvent e;
      XNextEvent(d, &e);
      if (e.type == SelectionClear) {
        printf("lost\n");
        fflush(stdout);
        lost = 1;
      }
      if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
        for (int i = 0; i < transferring; ++i) {
          struct Transfer* t = &transfers[i];
          if (t->requestor != e.xproperty.window || t->property != e.xproperty.atom) continue;
          if (t->offset > offer.size) {  /* the closing empty chunk was taken */
            endTransfer(i);
            break;
          }
          long n = offer.size - t->offset;
          if (n > Chunk) n = Chunk;
          XChangeProperty(d, t->requestor, t->property, t->type, 8, PropModeReplace, offer.data + t->offset, (int)n);
          XFlush(d);
          t->offset += n > 0 ? n : 1;
          break;
        }
      }
      if (e.type == DestroyNotify) {  /* a requestor gone in the middle of a transfer */
        for (int i = transferring - 1; i >= 0; --i)
          if (transfers[i].requestor == e.xdestroywindow.window) endTransfer(i);
      }
      if (e.type != SelectionRequest) continue;
      char* name = XGetAtomName(d, e.xselectionrequest.target);
      printf("request %s\n", name ? name : "?");
      fflush(stdout);
      if (name) XFree(name);
      if (text) {
        answer(d, &e.xselectionrequest, &offer);
      } else if (png && e.xselectionrequest.target == picture) {
        if (refusals > 0) {
          --refusals;
          answer(d, &e.xselectionrequest, NULL);
        } else if (delay >= 0 && waiting < 16) {
          due[waiting] = e.xselectionrequest;
          dueAt[waiting++] = nowMs() + delay;
        }
      } else if (png) {
        answer(d, &e.xselectionrequest, &offer);
      }
    }
    for (int i = 0; i < waiting;) {
      if (dueAt[i] > nowMs()) {
        ++i;
        continue;
      }
      answer(d, &due[i], &offer);
      printf("answered image/png\n");
      fflush(stdout);
      due[i] = due[waiting - 1];
      dueAt[i] = dueAt[--waiting];
    }
    if (lost && waiting == 0 && transferring == 0) break;
    long left = end - nowMs();
    if (left <= 0) break;
    for (int i = 0; i < waiting; ++i)
      if (dueAt[i] - nowMs() < left) left = dueAt[i] - nowMs() < 0 ? 0 : dueAt[i] - nowMs();
    /* Answering may have read the next request into Xlib's queue, where
       the socket no longer shows it. */
    if (XEventsQueued(d, QueuedAfterFlush) > 0) continue;
    struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, (int)(left < 1000 ? left : 1000));
  }
  XCloseDisplay(d);
  return 0;
}
