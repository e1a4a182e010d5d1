/* A Wayland clipboard owner for the end-to-end tests, through the wlroots
   data-control protocol (no window, no focus needed). It tells on stdout when
   its picture is the selection ("owner"), every request it gets ("request
   TYPE"), every answer ("answered TYPE") and when another selection replaced
   it ("cancelled").

     wayland_owner png FILE DELAY REFUSALS SECONDS
                                   offers FILE as image/png: the first
                                   REFUSALS requests get nothing (the pipe
                                   is closed at once), each later one gets
                                   the file after DELAY milliseconds (-1:
                                   never, the pipe stays open)
     wayland_owner manager FILE SECONDS
                                   a clipboard manager that puts FILE back
                                   at once ("restored") whenever the
                                   clipboard has been emptied

     wayland_owner types           prints the types of the selection, one
                                   a line, or "No selection", and ends (as
                                   wl-paste --list-types, which never ends
                                   under KWin 5.27 when there is none)

   It ends once it was replaced and no answer is still due (a manager
   stays), or after SECONDS. */
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wlr-data-control-unstable-v1-client-protocol.h"

static long nowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void say(const char* what, const char* type) {
  printf(type ? "%s %s\n" : "%s\n", what, type);
  fflush(stdout);
}

/* The types an offer came with, as its user data: lines of text. */
static void offered(void* data, struct zwlr_data_control_offer_v1* offer, const char* type) {
  (void)data;
  char* types = zwlr_data_control_offer_v1_get_user_data(offer);
  const size_t had = strlen(types), more = strlen(type);
  types = realloc(types, had + more + 2);
  if (!types) abort();
  memcpy(types + had, type, more);
  memcpy(types + had + more, "\n", 2);
  zwlr_data_control_offer_v1_set_user_data(offer, types);
}

static const struct zwlr_data_control_offer_v1_listener offerListener = {offered};

struct Owner {
  const char* path;
  int listing, listed;  /* types: print the selection's types once it is told */
  long delay, refusals;
  int manager, replaced, watching;
  struct zwlr_data_control_manager_v1* control;
  struct zwlr_data_control_device_v1* device;
  struct zwlr_data_control_offer_v1* selection;  /* the selection as the device saw it last */
  /* Pipes waiting for the picture, and when each is due. */
  int due[16];
  long dueAt[16];
  int waiting;
  /* Pipes that never get it, kept open. */
  int never[16];
  int silent;
};

/* Writes the whole file to `fd` and closes it. */
static void answer(const char* path, int fd) {
  FILE* f = fopen(path, "rb");
  char chunk[65536];
  size_t n;
  while (f && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    for (size_t done = 0; done < n;) {
      ssize_t w = write(fd, chunk + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) goto out;
      done += (size_t)w;
    }
  }
out:
  if (f) fclose(f);
  close(fd);
  say("answered", "image/png");
}

static void sendRequested(void* data, struct zwlr_data_control_source_v1* source, const char* type, int fd) {
  struct Owner* o = data;
  (void)source;
  say("request", type);
  if (strcmp(type, "image/png") != 0 || o->refusals > 0) {
    if (o->refusals > 0) --o->refusals;
    close(fd);
  } else if (o->delay < 0 && o->silent < 16) {
    o->never[o->silent++] = fd;
  } else if (o->waiting < 16) {
    o->due[o->waiting] = fd;
    o->dueAt[o->waiting++] = nowMs() + o->delay;
  } else {
    close(fd);
  }
}

static void cancelled(void* data, struct zwlr_data_control_source_v1* source) {
  struct Owner* o = data;
  zwlr_data_control_source_v1_destroy(source);
  o->replaced = !o->manager;
  say("cancelled", NULL);
}

static const struct zwlr_data_control_source_v1_listener sourceListener = {sendRequested, cancelled};

/* Makes FILE the selection. */
static void offerPicture(struct Owner* o) {
  struct zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(o->control);
  zwlr_data_control_source_v1_add_listener(source, &sourceListener, o);
  zwlr_data_control_source_v1_offer(source, "image/png");
  zwlr_data_control_device_v1_set_selection(o->device, source);
}

static void dataOffer(void* data, struct zwlr_data_control_device_v1* device, struct zwlr_data_control_offer_v1* offer) {
  struct Owner* o = data;
  (void)device;
  if (!o->listing) return;  /* its types are of no interest */
  zwlr_data_control_offer_v1_add_listener(offer, &offerListener, NULL);
  zwlr_data_control_offer_v1_set_user_data(offer, calloc(1, 1));
}

static void selection(void* data, struct zwlr_data_control_device_v1* device, struct zwlr_data_control_offer_v1* offer) {
  struct Owner* o = data;
  (void)device;
  if (o->listing && !o->listed) {
    const char* types = offer ? zwlr_data_control_offer_v1_get_user_data(offer) : NULL;
    fputs(types && *types ? types : "No selection\n", stdout);
    o->listed = 1;
  }
  if (o->selection) zwlr_data_control_offer_v1_destroy(o->selection);
  o->selection = offer;
  if (!offer && o->manager && o->watching) {
    offerPicture(o);
    say("restored", NULL);
  }
}

static void finished(void* data, struct zwlr_data_control_device_v1* device) {
  (void)data;
  (void)device;
}

static void primarySelection(void* data, struct zwlr_data_control_device_v1* device,
                             struct zwlr_data_control_offer_v1* offer) {
  (void)data;
  (void)device;
  if (offer) zwlr_data_control_offer_v1_destroy(offer);
}

static const struct zwlr_data_control_device_v1_listener deviceListener = {dataOffer, selection, finished,
                                                                           primarySelection};

struct Globals {
  struct wl_seat* seat;
  struct zwlr_data_control_manager_v1* manager;
};

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  struct Globals* g = data;
  (void)version;
  if (strcmp(interface, wl_seat_interface.name) == 0 && !g->seat)
    g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  if (strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0)
    g->manager = wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1);
}

static void globalRemoved(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data;
  (void)registry;
  (void)name;
}

static const struct wl_registry_listener registryListener = {global, globalRemoved};

int main(int argc, char** argv) {
  const int png = argc == 6 && strcmp(argv[1], "png") == 0;
  const int manager = argc == 4 && strcmp(argv[1], "manager") == 0;
  const int types = argc == 2 && strcmp(argv[1], "types") == 0;
  if (!png && !manager && !types) {
    fprintf(stderr, "usage: %s png FILE DELAY REFUSALS SECONDS | manager FILE SECONDS | types\n", argv[0]);
    return 64;
  }
  struct stat st;
  if (!types && stat(argv[2], &st) != 0) return 3;
  struct Owner o;
  memset(&o, 0, sizeof o);
  o.listing = types;
  o.path = argv[2];
  o.manager = manager;
  if (png) {
    o.delay = atol(argv[3]);
    o.refusals = atol(argv[4]);
  }
  const long end = nowMs() + 1000L * atol(argv[argc - 1]);

  struct wl_display* display = wl_display_connect(NULL);
  if (!display) return 1;
  struct Globals g = {NULL, NULL};
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registryListener, &g);
  wl_display_roundtrip(display);
  if (!g.seat || !g.manager) return 2;
  o.control = g.manager;
  o.device = zwlr_data_control_manager_v1_get_data_device(g.manager, g.seat);
  zwlr_data_control_device_v1_add_listener(o.device, &deviceListener, &o);
  /* What is there now is no emptied clipboard to restore. */
  if (wl_display_roundtrip(display) < 0) return 1;
  if (types) {
    /* A new device is told the selection there is before the roundtrip
       ends; KWin 5.27 tells nothing when there is none. */
    if (!o.listed) puts("No selection");
    wl_display_disconnect(display);
    return 0;
  }
  offerPicture(&o);
  if (wl_display_roundtrip(display) < 0) return 1;
  o.watching = 1;
  say("owner", NULL);

  for (;;) {
    for (int i = 0; i < o.waiting;) {
      if (o.dueAt[i] > nowMs()) {
        ++i;
        continue;
      }
      answer(o.path, o.due[i]);
      o.due[i] = o.due[o.waiting - 1];
      o.dueAt[i] = o.dueAt[--o.waiting];
    }
    if (o.replaced && o.waiting == 0) break;
    long left = end - nowMs();
    if (left <= 0) break;
    for (int i = 0; i < o.waiting; ++i)
      if (o.dueAt[i] - nowMs() < left) left = o.dueAt[i] - nowMs() < 0 ? 0 : o.dueAt[i] - nowMs();
    while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
    wl_display_flush(display);
    struct pollfd p = {wl_display_get_fd(display), POLLIN, 0};
    if (poll(&p, 1, (int)(left < 1000 ? left : 1000)) > 0) {
      if (wl_display_read_events(display) < 0) break;
    } else {
      wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) break;
  }
  for (int i = 0; i < o.silent; ++i) close(o.never[i]);
  zwlr_data_control_device_v1_destroy(o.device);
  wl_display_disconnect(display);
  return 0;
}
