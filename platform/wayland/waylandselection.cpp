#include "platform/wayland/waylandselection.h"

#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <wayland-client.h>

#include "ext-data-control-v1-client-protocol.h"
#include "platform/memory.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace pixkeep {

// A data-control device on one seat, with the calls the reader makes.
class WaylandSelection::Control {
 public:
  explicit Control(WaylandSelection& owner) : owner_(owner) {}
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  virtual void receive(void* offer, const char* mimeType, int fd) = 0;
  virtual void destroyOffer(void* offer) = 0;
  virtual void clearSelection() = 0;
  virtual std::string name() const = 0;

 protected:
  void introduced(void* offer) { owner_.introduced(offer); }
  void offered(void* offer, const char* mimeType) { owner_.offered(offer, mimeType); }
  void selected(void* offer) { owner_.selected(offer); }
  void dropped(void* offer) { owner_.dropped(offer); }
  void finished() { owner_.lost("the compositor ended the data-control device"); }

 private:
  WaylandSelection& owner_;
};

namespace {

// The two protocols differ only in their names: one set of calls each. The
// wlroots manager is bound at version 1, which leaves out the primary
// selection (the standard one has it in version 1: its offers are dropped).
#define PIXKEEP_DATA_CONTROL(Name, prefix, bindVersion)                                                    \
  struct Name {                                                                                            \
    using Manager = prefix##_manager_v1;                                                                   \
    using Device = prefix##_device_v1;                                                                     \
    using Offer = prefix##_offer_v1;                                                                       \
    using DeviceListener = prefix##_device_v1_listener;                                                    \
    using OfferListener = prefix##_offer_v1_listener;                                                      \
    static constexpr const char* name = #prefix "_manager_v1";                                             \
    static constexpr uint32_t version = bindVersion;                                                       \
    static const wl_interface* interface() { return &prefix##_manager_v1_interface; }                      \
    static Device* device(Manager* m, wl_seat* seat) { return prefix##_manager_v1_get_data_device(m, seat); } \
    static void listen(Device* d, const DeviceListener* l, void* data) { prefix##_device_v1_add_listener(d, l, data); } \
    static void listen(Offer* o, const OfferListener* l, void* data) { prefix##_offer_v1_add_listener(o, l, data); } \
    static void receive(Offer* o, const char* type, int fd) { prefix##_offer_v1_receive(o, type, fd); }    \
    static void clear(Device* d) { prefix##_device_v1_set_selection(d, nullptr); }                        \
    static void destroy(Offer* o) { prefix##_offer_v1_destroy(o); }                                        \
    static void destroy(Device* d) { prefix##_device_v1_destroy(d); }                                      \
    static void destroy(Manager* m) { prefix##_manager_v1_destroy(m); }                                    \
  };
PIXKEEP_DATA_CONTROL(ExtDataControl, ext_data_control, 1)
PIXKEEP_DATA_CONTROL(WlrDataControl, zwlr_data_control, 1)
#undef PIXKEEP_DATA_CONTROL

template <typename P>
class ControlOf final : public WaylandSelection::Control {
 public:
  ControlOf(WaylandSelection& owner, wl_registry* registry, uint32_t name, wl_seat* seat) : Control(owner) {
    manager_ = static_cast<typename P::Manager*>(wl_registry_bind(registry, name, P::interface(), P::version));
    device_ = P::device(manager_, seat);
    P::listen(device_, &deviceListener, this);
  }
  ~ControlOf() override {
    P::destroy(device_);
    P::destroy(manager_);
  }
  void receive(void* offer, const char* mimeType, int fd) override {
    P::receive(static_cast<typename P::Offer*>(offer), mimeType, fd);
  }
  void destroyOffer(void* offer) override { P::destroy(static_cast<typename P::Offer*>(offer)); }
  void clearSelection() override { P::clear(device_); }
  std::string name() const override { return P::name; }

 private:
  using Device = typename P::Device;
  using Offer = typename P::Offer;
  static ControlOf& self(void* data) { return *static_cast<ControlOf*>(data); }
  static void dataOffer(void* data, Device*, Offer* offer) {
    P::listen(offer, &offerListener, data);
    self(data).introduced(offer);
  }
  static void offerType(void* data, Offer* offer, const char* mimeType) { self(data).offered(offer, mimeType); }
  static void selection(void* data, Device*, Offer* offer) { self(data).selected(offer); }
  static void primarySelection(void* data, Device*, Offer* offer) {
    if (offer) self(data).dropped(offer);
  }
  static void finishedEvent(void* data, Device*) { self(data).finished(); }

  static constexpr typename P::DeviceListener deviceListener{dataOffer, selection, finishedEvent, primarySelection};
  static constexpr typename P::OfferListener offerListener{offerType};

  typename P::Manager* manager_ = nullptr;
  Device* device_ = nullptr;
};

// The globals that matter here, as the registry lists them.
struct Globals {
  uint32_t seat = 0, ext = 0, wlr = 0;
};

void global(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t) {
  Globals& g = *static_cast<Globals*>(data);
  const std::string i = interface;
  if (i == wl_seat_interface.name && g.seat == 0) g.seat = name;  // the first seat
  if (i == ExtDataControl::name) g.ext = name;
  if (i == WlrDataControl::name) g.wlr = name;
}

void globalRemoved(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener registryListener{global, globalRemoved};

}  // namespace

WaylandSelection::WaylandSelection(Timing timing) : timing_(timing) {
  silence_.setSingleShot(true);
  pause_.setSingleShot(true);
  connect(&silence_, &QTimer::timeout, this, [this] {
    closePipe();
    targetFailed(Failure::NoAnswer);
  });
  connect(&pause_, &QTimer::timeout, this, [this] {
    // No more tries for a content that was replaced meanwhile.
    if (replaced(fetch_->generation)) return finishFetch(nullptr);
    fetch_->target = 0;
    askTarget();
  });
}

std::unique_ptr<WaylandSelection> WaylandSelection::open(std::string& why, Timing timing) {
  std::unique_ptr<WaylandSelection> s(new WaylandSelection(timing));
  s->display_ = wl_display_connect(nullptr);
  if (!s->display_) {
    why = std::string("cannot connect to the Wayland compositor (") + std::strerror(errno) + ")";
    return nullptr;
  }
  Globals globals;
  wl_registry* registry = wl_display_get_registry(s->display_);
  wl_registry_add_listener(registry, &registryListener, &globals);
  if (wl_display_roundtrip(s->display_) < 0) {
    wl_registry_destroy(registry);
    why = "the Wayland compositor did not answer";
    return nullptr;
  }
  if (globals.seat == 0 || (globals.ext == 0 && globals.wlr == 0)) {
    wl_registry_destroy(registry);
    why = globals.seat == 0 ? "the Wayland compositor has no seat"
                            : "the Wayland compositor offers no data-control protocol (ext_data_control_manager_v1 "
                              "or zwlr_data_control_manager_v1)";
    return nullptr;
  }
  s->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, globals.seat, &wl_seat_interface, 1));
  if (globals.ext != 0)
    s->control_ = std::make_unique<ControlOf<ExtDataControl>>(*s, registry, globals.ext, s->seat_);
  else
    s->control_ = std::make_unique<ControlOf<WlrDataControl>>(*s, registry, globals.wlr, s->seat_);
  wl_registry_destroy(registry);  // what was bound stays
  // The device's first selection event tells what is there now: generation 0.
  if (wl_display_roundtrip(s->display_) < 0) {
    why = "the Wayland compositor did not answer";
    return nullptr;
  }
  s->started_ = true;

  WaylandSelection* self = s.get();
  const int fd = wl_display_get_fd(s->display_);
  s->readable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  connect(s->readable_.get(), &QSocketNotifier::activated, self, [self] { self->dispatch(); });
  s->writable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
  s->writable_->setEnabled(false);
  connect(s->writable_.get(), &QSocketNotifier::activated, self, [self] { self->flush(); });
  return s;
}

WaylandSelection::~WaylandSelection() {
  closePipe();
  readable_.reset();
  writable_.reset();
  if (control_) {
    for (auto& [offer, types] : offers_) control_->destroyOffer(offer);
    if (current_) control_->destroyOffer(current_);
    control_.reset();
  }
  if (seat_) wl_seat_destroy(seat_);
  if (display_) {
    wl_display_flush(display_);
    wl_display_disconnect(display_);
  }
}

std::string WaylandSelection::protocol() const { return control_ ? control_->name() : std::string(); }

void WaylandSelection::dispatch() {
  if (!readable_) return;
  if (wl_display_prepare_read(display_) == 0 && wl_display_read_events(display_) < 0)
    return lost("reading from the compositor failed");
  if (wl_display_dispatch_pending(display_) < 0) return lost("the compositor's messages could not be handled");
  flush();
}

void WaylandSelection::flush() {
  if (!readable_) return;
  // A full socket takes the rest once it can.
  const int sent = wl_display_flush(display_);
  if (sent < 0 && errno != EAGAIN) return lost("writing to the compositor failed");
  writable_->setEnabled(sent < 0);
}

void WaylandSelection::lost(const char* what) {
  if (!readable_) return;
  qWarning("Pixkeep: %s; the clipboard is no longer read", what);
  readable_.reset();
  writable_.reset();
}

void WaylandSelection::introduced(void* offer) { offers_[offer]; }

void WaylandSelection::offered(void* offer, const char* mimeType) { offers_[offer].emplace_back(mimeType); }

void WaylandSelection::dropped(void* offer) {
  offers_.erase(offer);
  control_->destroyOffer(offer);
}

void WaylandSelection::selected(void* offer) {
  std::vector<std::string> types;
  if (auto it = offers_.find(offer); it != offers_.end()) {
    types = std::move(it->second);
    offers_.erase(it);
  }
  // The offer before is no longer valid; a pipe it was asked to fill stays open.
  if (current_ && current_ != offer) control_->destroyOffer(current_);
  current_ = offer;
  if (!started_) {
    initial_.reset();
    if (offer) initial_ = Change{0, true, std::move(types), {}};
    return;
  }
  initial_.reset();  // replaced before it was told
  tellChange(Change{beginContent(), offer != nullptr, std::move(types), {}});
}

void WaylandSelection::eventsSet() {
  if (!initial_) return;
  Change change = std::move(*initial_);
  initial_.reset();
  tellChange(std::move(change));
}

void WaylandSelection::startFetch(uint64_t generation, std::vector<std::string> targets) {
  fetches_.emplace_back(generation, std::move(targets));
  if (!fetch_) nextFetch();
}

void WaylandSelection::nextFetch() {
  while (!fetch_ && !fetches_.empty()) {
    auto [generation, targets] = std::move(fetches_.front());
    fetches_.pop_front();
    if (replaced(generation) || !current_ || targets.empty()) {
      Fetched result;
      result.generation = generation;
      result.failure = replaced(generation) ? Failure::Changed : Failure::NothingOffered;
      tellFetched(std::move(result));
      continue;
    }
    fetch_.emplace(Fetch{generation, std::move(targets), 0, Attempts(timing_), {}, -1, {}});
    askTarget();
  }
}

void WaylandSelection::askTarget() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
    return targetFailed(std::string("no pipe to read the clipboard through: ") + std::strerror(errno));
  control_->receive(current_, fetch_->targets[fetch_->target].c_str(), fds[1]);
  ::close(fds[1]);  // the request carries a copy; the owner's end closes when it is done
  flush();
  fetch_->fd = fds[0];
  fetch_->bytes.clear();
  fetch_->available = probedMemory();
  fetch_->limit = transferLimit(fetch_->available);
  pipe_ = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
  connect(pipe_.get(), &QSocketNotifier::activated, this, [this] { readPipe(); });
  silence_.start(timing_.silence);
}

void WaylandSelection::readPipe() {
  uint8_t chunk[65536];
  // A few megabytes at a time: a fast writer does not keep the window's
  // thread here; the notifier calls again while more is waiting.
  for (int reads = 0;; ++reads) {
    if (reads == 64) {
      silence_.start(timing_.silence);
      return;
    }
    const ssize_t n = ::read(fetch_->fd, chunk, sizeof chunk);
    if (n > 0) {
      fetch_->bytes.insert(fetch_->bytes.end(), chunk, chunk + n);
      if (fetch_->bytes.size() > fetch_->limit) {
        closePipe();
        fetch_->bytes = {};
        return targetFailed(tooLarge(fetch_->limit, fetch_->available));
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      silence_.start(timing_.silence);  // more is on its way
      return;
    }
    const std::string error = n < 0 ? std::strerror(errno) : "";
    closePipe();
    if (!error.empty()) return targetFailed("the clipboard could not be read: " + error);
    if (fetch_->bytes.empty()) return targetFailed(Failure::Nothing);
    return finishFetch(std::make_shared<const std::vector<uint8_t>>(std::move(fetch_->bytes)));
  }
}

void WaylandSelection::closePipe() {
  silence_.stop();
  pipe_.reset();
  if (fetch_ && fetch_->fd >= 0) {
    ::close(fetch_->fd);
    fetch_->fd = -1;
  }
}

void WaylandSelection::targetFailed(std::string failure) {
  fetch_->failure = std::move(failure);
  // The offer of a replaced content is gone: no more tries.
  if (replaced(fetch_->generation)) return finishFetch(nullptr);
  if (++fetch_->target < fetch_->targets.size()) return askTarget();
  const std::optional<std::chrono::milliseconds> pause = fetch_->attempts.failed(fetch_->failure);
  if (!pause) return finishFetch(nullptr);
  pause_.start(*pause);
}

void WaylandSelection::finishFetch(std::shared_ptr<const std::vector<uint8_t>> bytes) {
  closePipe();
  pause_.stop();
  Fetched result;
  result.generation = fetch_->generation;
  if (bytes) {
    result.type = fetch_->targets[fetch_->target];
    result.bytes = std::move(bytes);
  } else {
    result.failure = fetch_->failure;
  }
  fetch_.reset();
  tellFetched(std::move(result));
  nextFetch();
}

void WaylandSelection::clearContent(uint64_t generation) {
  // Take in what the compositor has sent by now: a selection made since the
  // content was read keeps the clipboard. (One made while this request is
  // on its way is emptied with it; the protocol names no offer to clear.)
  dispatch();
  if (!readable_ || replaced(generation) || !current_) return;
  control_->clearSelection();
  flush();
}

}  // namespace pixkeep
