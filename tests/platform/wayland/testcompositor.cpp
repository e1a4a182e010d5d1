#include "tests/platform/wayland/testcompositor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <wayland-server.h>

#include "ext-data-control-v1-server-protocol.h"
#include "wlr-data-control-unstable-v1-server-protocol.h"

namespace pixkeep::test {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

namespace {

// One data-control protocol as the compositor serves it: its interfaces and
// the events it sends. Both protocols have the same requests and events in
// the same order, so the same request handlers serve both.
struct Kind {
  const char* name;
  const wl_interface* manager;
  const wl_interface* device;
  const wl_interface* offer;
  int version;           // of the manager's global
  int primarySince;      // the device version that has primary_selection
  void (*dataOffer)(wl_resource* device, wl_resource* offer);
  void (*selection)(wl_resource* device, wl_resource* offer);
  void (*primarySelection)(wl_resource* device, wl_resource* offer);
  void (*offerType)(wl_resource* offer, const char* mimeType);
};

#define PIXKEEP_TEST_KIND(prefix, managerVersion, primaryVersion)                                        \
  Kind{#prefix "_manager_v1", &prefix##_manager_v1_interface, &prefix##_device_v1_interface, \
       &prefix##_offer_v1_interface, managerVersion, primaryVersion, prefix##_device_v1_send_data_offer,   \
       prefix##_device_v1_send_selection, prefix##_device_v1_send_primary_selection, prefix##_offer_v1_send_offer}
// The wlroots manager as sway offers it (version 2, with the primary selection).
const Kind extKind = PIXKEEP_TEST_KIND(ext_data_control, 1, 1);
const Kind wlrKind = PIXKEEP_TEST_KIND(zwlr_data_control, 2, 2);
#undef PIXKEEP_TEST_KIND

// Writes bytes to a pipe from a thread of its own, so that neither the
// compositor nor the test waits for the reader; ends early when told.
void writeAll(int fd, std::vector<uint8_t> bytes, int stop) {
  // A reader that closed its end gives EPIPE here, not a signal for the process.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
  size_t done = 0;
  while (done < bytes.size()) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    break;
  }
  ::close(fd);
}

}  // namespace

struct TestCompositor::Impl {
  std::string failure, dir;
  wl_display* display = nullptr;
  wl_event_loop* loop = nullptr;
  int wake = -1;        // tasks wait
  wl_event_source* woken = nullptr;
  int stopWriters = -1;  // readable once the writers are to end
  std::atomic<bool> stopping{false};
  std::thread thread;
  std::vector<std::thread> writers;

  // Everything below is the compositor's state: changed on its thread,
  // looked at from the test's.
  mutable std::recursive_mutex mutex;
  std::condition_variable_any done;
  struct Task {
    std::function<void()> work;
    bool* finished;
  };
  std::deque<Task> tasks;

  struct Device {
    const Kind* kind;
  };
  struct Offer {
    int selection;  // 0: the primary selection's
  };
  struct Held {
    int fd;
    std::vector<uint8_t> bytes;
    size_t receive;  // its index in `receives`
  };
  std::map<wl_resource*, Device> devices;
  std::map<wl_resource*, Offer> offers;
  std::map<std::string, int> devicesMade;
  int selections = 0;  // numbers given so far
  int current = 0;
  std::vector<Type> currentTypes;
  std::vector<std::string> primaryTypes;
  bool primary = false;
  int clears = 0;
  std::vector<Receive> receives;
  std::vector<int> destroyedOffers;
  int destroyedPrimaryOffers = 0;
  std::vector<Held> held;
  std::function<void(size_t)> onReceive;

  static Impl& of(wl_resource* resource) { return *static_cast<Impl*>(wl_resource_get_user_data(resource)); }

  // Runs `work` on the compositor's thread; returns once it has run and what
  // it sent has been written to the clients.
  void run(std::function<void()> work) {
    bool finished = false;
    std::unique_lock lock(mutex);
    tasks.push_back(Task{std::move(work), &finished});
    if (::eventfd_write(wake, 1) != 0) std::abort();
    done.wait(lock, [&] { return finished; });
  }

  static int runTasks(int fd, uint32_t, void* data) {
    Impl& self = *static_cast<Impl*>(data);
    eventfd_t count;
    (void)::eventfd_read(fd, &count);
    std::lock_guard lock(self.mutex);
    while (!self.tasks.empty()) {
      Task task = std::move(self.tasks.front());
      self.tasks.pop_front();
      task.work();
      wl_display_flush_clients(self.display);
      *task.finished = true;
    }
    self.done.notify_all();
    return 0;
  }

  void serve() {
    while (!stopping) {
      wl_display_flush_clients(display);
      wl_event_loop_dispatch(loop, -1);
    }
  }

  void answer(int fd, std::vector<uint8_t> bytes) {
    writers.emplace_back(writeAll, fd, std::move(bytes), stopWriters);
  }

  // An offer of the selection (or the primary selection) for one device.
  wl_resource* makeOffer(wl_resource* device, const Kind& kind, int selection,
                         const std::vector<std::string>& types) {
    wl_resource* offer = wl_resource_create(wl_resource_get_client(device), kind.offer,
                                            wl_resource_get_version(device), 0);
    wl_resource_set_implementation(offer, offerRequests(kind), this, offerGone);
    offers[offer] = Offer{selection};
    kind.dataOffer(device, offer);
    for (const std::string& t : types) kind.offerType(offer, t.c_str());
    return offer;
  }
  void tellSelection(wl_resource* device, const Kind& kind) {
    std::vector<std::string> types;
    for (const Type& t : currentTypes) types.push_back(t.mimeType);
    kind.selection(device, current ? makeOffer(device, kind, current, types) : nullptr);
  }
  void tellPrimary(wl_resource* device, const Kind& kind) {
    if (wl_resource_get_version(device) < kind.primarySince) return;
    kind.primarySelection(device, primary ? makeOffer(device, kind, 0, primaryTypes) : nullptr);
  }

  // Requests.
  static void seatPointer(wl_client*, wl_resource* seat, uint32_t) {
    wl_resource_post_error(seat, 0, "this seat has no pointer, keyboard or touch");
  }
  static void seatRelease(wl_client*, wl_resource* seat) { wl_resource_destroy(seat); }
  static constexpr struct wl_seat_interface seatRequests{seatPointer, seatPointer, seatPointer, seatRelease};

  static void bindSeat(wl_client* client, void* data, uint32_t version, uint32_t id) {
    wl_resource* seat = wl_resource_create(client, &wl_seat_interface, int(version), id);
    wl_resource_set_implementation(seat, &seatRequests, data, nullptr);
    wl_seat_send_capabilities(seat, 0);
    if (version >= WL_SEAT_NAME_SINCE_VERSION) wl_seat_send_name(seat, "seat0");
  }

  static void createSource(wl_client*, wl_resource* manager, uint32_t) {
    wl_resource_post_error(manager, 0, "the tests' compositor takes no data sources");
  }
  static void getDevice(wl_client* client, wl_resource* manager, uint32_t id, wl_resource*) {
    Impl& self = of(manager);
    std::lock_guard lock(self.mutex);
    const Kind& kind = self.kindOf(manager);
    wl_resource* device = wl_resource_create(client, kind.device, wl_resource_get_version(manager), id);
    wl_resource_set_implementation(device, deviceRequests(kind), &self, deviceGone);
    self.devices[device] = Device{&kind};
    ++self.devicesMade[kind.name];
    // The first selection events come with the device.
    self.tellSelection(device, kind);
    self.tellPrimary(device, kind);
  }
  static void destroy(wl_client*, wl_resource* resource) { wl_resource_destroy(resource); }

  static void setSelection(wl_client*, wl_resource* device, wl_resource* source) {
    if (source) return wl_resource_post_error(device, 0, "the tests' compositor takes no data sources");
    Impl& self = of(device);
    std::lock_guard lock(self.mutex);
    ++self.clears;
    self.current = 0;
    self.currentTypes.clear();
    for (auto& [d, info] : self.devices) self.tellSelection(d, *info.kind);
  }
  static void setPrimary(wl_client*, wl_resource* device, wl_resource* source) {
    if (source) return wl_resource_post_error(device, 0, "the tests' compositor takes no data sources");
    Impl& self = of(device);
    std::lock_guard lock(self.mutex);
    self.primary = false;
    for (auto& [d, info] : self.devices) self.tellPrimary(d, *info.kind);
  }

  static void receive(wl_client*, wl_resource* offer, const char* mimeType, int32_t fd) {
    Impl& self = of(offer);
    std::lock_guard lock(self.mutex);
    const int selection = self.offers.at(offer).selection;
    self.receives.push_back(Receive{selection, mimeType});
    const size_t index = self.receives.size() - 1;
    // An offer of a selection that is gone, or of the primary one, is inert.
    const Type* type = nullptr;
    if (selection != 0 && selection == self.current)
      for (const Type& t : self.currentTypes)
        if (t.mimeType == mimeType) type = &t;
    if (!type || type->answer == Answer::Nothing) {
      ::close(fd);
    } else if (type->answer == Answer::Data) {
      self.answer(fd, type->bytes);
    } else {
      self.held.push_back(Held{fd, type->bytes, index});
    }
    if (self.onReceive) self.onReceive(index);
  }
  static void destroyOffer(wl_client*, wl_resource* offer) {
    Impl& self = of(offer);
    {
      std::lock_guard lock(self.mutex);
      const int selection = self.offers.at(offer).selection;
      if (selection == 0)
        ++self.destroyedPrimaryOffers;
      else
        self.destroyedOffers.push_back(selection);
    }
    wl_resource_destroy(offer);
  }

  // Resources that go (by request, or with their client).
  static void offerGone(wl_resource* offer) {
    Impl& self = of(offer);
    std::lock_guard lock(self.mutex);
    self.offers.erase(offer);
  }
  static void deviceGone(wl_resource* device) {
    Impl& self = of(device);
    std::lock_guard lock(self.mutex);
    self.devices.erase(device);
  }

  // The request tables, one per protocol (their types differ only in name).
  static constexpr struct ext_data_control_manager_v1_interface extManager{createSource, getDevice, destroy};
  static constexpr struct zwlr_data_control_manager_v1_interface wlrManager{createSource, getDevice, destroy};
  static constexpr struct ext_data_control_device_v1_interface extDevice{setSelection, destroy, setPrimary};
  static constexpr struct zwlr_data_control_device_v1_interface wlrDevice{setSelection, destroy, setPrimary};
  static constexpr struct ext_data_control_offer_v1_interface extOffer{receive, destroyOffer};
  static constexpr struct zwlr_data_control_offer_v1_interface wlrOffer{receive, destroyOffer};
  static const void* deviceRequests(const Kind& kind) {
    return &kind == &extKind ? static_cast<const void*>(&extDevice) : static_cast<const void*>(&wlrDevice);
  }
  static const void* offerRequests(const Kind& kind) {
    return &kind == &extKind ? static_cast<const void*>(&extOffer) : static_cast<const void*>(&wlrOffer);
  }
  static const Kind& kindOf(wl_resource* manager) {
    return wl_resource_instance_of(manager, extKind.manager, &extManager) ? extKind : wlrKind;
  }

  static void bindManager(wl_client* client, void* data, uint32_t version, uint32_t id, const Kind& kind,
                          const void* requests) {
    wl_resource* manager = wl_resource_create(client, kind.manager, int(version), id);
    wl_resource_set_implementation(manager, requests, data, nullptr);
  }
  static void bindExt(wl_client* client, void* data, uint32_t version, uint32_t id) {
    bindManager(client, data, version, id, extKind, &extManager);
  }
  static void bindWlr(wl_client* client, void* data, uint32_t version, uint32_t id) {
    bindManager(client, data, version, id, wlrKind, &wlrManager);
  }
};

TestCompositor::TestCompositor(Managers managers, bool seat) : impl_(std::make_unique<Impl>()) {
  Impl& c = *impl_;
  char dir[] = "/tmp/pixkeep-compositor-XXXXXX";
  if (!::mkdtemp(dir)) {
    c.failure = std::string("no runtime directory: ") + std::strerror(errno);
    return;
  }
  c.dir = dir;
  runtime_ = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", dir);
  display_ = std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", "wayland-test");
  socket_ = std::make_unique<ScopedEnv>("WAYLAND_SOCKET", nullptr);
  c.display = wl_display_create();
  c.loop = wl_display_get_event_loop(c.display);
  if (wl_display_add_socket(c.display, "wayland-test") != 0) {
    c.failure = std::string("no socket: ") + std::strerror(errno);
    return;
  }
  if (seat) wl_global_create(c.display, &wl_seat_interface, 5, &c, Impl::bindSeat);
  if (managers == Managers::Ext || managers == Managers::Both)
    wl_global_create(c.display, extKind.manager, extKind.version, &c, Impl::bindExt);
  if (managers == Managers::Wlr || managers == Managers::Both)
    wl_global_create(c.display, wlrKind.manager, wlrKind.version, &c, Impl::bindWlr);
  c.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  c.stopWriters = ::eventfd(0, EFD_CLOEXEC);
  c.woken = wl_event_loop_add_fd(c.loop, c.wake, WL_EVENT_READABLE, Impl::runTasks, &c);
  c.thread = std::thread([&c] { c.serve(); });
}

TestCompositor::~TestCompositor() {
  Impl& c = *impl_;
  if (c.thread.joinable()) {
    c.stopping = true;
    (void)::eventfd_write(c.wake, 1);
    c.thread.join();
  }
  if (c.stopWriters >= 0) (void)::eventfd_write(c.stopWriters, 1);
  for (std::thread& w : c.writers) w.join();
  for (const Impl::Held& h : c.held) ::close(h.fd);
  if (c.woken) wl_event_source_remove(c.woken);  // the loop frees only the sources removed
  if (c.display) {
    wl_display_destroy_clients(c.display);
    wl_display_destroy(c.display);
  }
  if (c.wake >= 0) ::close(c.wake);
  if (c.stopWriters >= 0) ::close(c.stopWriters);
  if (!c.dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(c.dir, ec);
  }
}

const std::string& TestCompositor::failure() const { return impl_->failure; }

int TestCompositor::setSelection(std::vector<Type> types) {
  int number = 0;
  impl_->run([&] {
    Impl& c = *impl_;
    number = ++c.selections;
    c.current = number;
    c.currentTypes = std::move(types);
    for (auto& [device, info] : c.devices) c.tellSelection(device, *info.kind);
  });
  return number;
}

void TestCompositor::setPrimarySelection(std::vector<std::string> types) {
  impl_->run([&] {
    Impl& c = *impl_;
    c.primary = true;
    c.primaryTypes = std::move(types);
    for (auto& [device, info] : c.devices) c.tellPrimary(device, *info.kind);
  });
}

void TestCompositor::answerHeld(bool withData) {
  impl_->run([&] {
    Impl& c = *impl_;
    for (Impl::Held& h : c.held) {
      if (withData)
        c.answer(h.fd, std::move(h.bytes));
      else
        ::close(h.fd);
    }
    c.held.clear();
  });
}

void TestCompositor::setOnReceive(std::function<void(size_t)> onReceive) {
  std::lock_guard lock(impl_->mutex);
  impl_->onReceive = std::move(onReceive);
}

int TestCompositor::selection() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->current;
}

int TestCompositor::clears() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->clears;
}

std::vector<TestCompositor::Receive> TestCompositor::receives() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->receives;
}

std::vector<int> TestCompositor::destroyedOffers() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->destroyedOffers;
}

int TestCompositor::destroyedPrimaryOffers() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->destroyedPrimaryOffers;
}

int TestCompositor::devices(const std::string& manager) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->devicesMade.find(manager);
  return it == impl_->devicesMade.end() ? 0 : it->second;
}

int TestCompositor::held() const {
  std::lock_guard lock(impl_->mutex);
  return int(impl_->held.size());
}

bool TestCompositor::pipeOpen(size_t index) const {
  std::lock_guard lock(impl_->mutex);
  for (const Impl::Held& h : impl_->held)
    if (h.receive == index) {
      // The write end of a pipe whose read end is closed polls as an error.
      pollfd p{h.fd, POLLOUT, 0};
      return ::poll(&p, 1, 0) >= 0 && !(p.revents & (POLLERR | POLLHUP));
    }
  return false;
}

}  // namespace pixkeep::test
