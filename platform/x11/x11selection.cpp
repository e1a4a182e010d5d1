#include "platform/x11/x11selection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/memory.h"

namespace pixkeep {

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
struct Reply {
  T* p = nullptr;
  explicit Reply(T* reply) : p(reply) {}
  ~Reply() { std::free(p); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

}  // namespace

void X11Selection::EventDeleter::operator()(void* p) const { std::free(p); }

X11Selection::~X11Selection() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  if (c_) xcb_disconnect(c_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool X11Selection::start(const char* display) {
  int screenNumber = 0;
  c_ = xcb_connect(display, &screenNumber);
  if (xcb_connection_has_error(c_)) return false;
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c_, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) return false;
  xfixesEvent_ = xfixes->first_event;
  Reply version(xcb_xfixes_query_version_reply(c_, xcb_xfixes_query_version(c_, 5, 0), nullptr));
  if (!version) return false;

  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c_));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return false;
  root_ = screens.data->root;
  window_ = xcb_generate_id(c_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screens.data->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  clipboard_ = atom("CLIPBOARD");
  property_ = atom("PIXKEEP_SELECTION");
  newRequestor();
  targetsAtom_ = atom("TARGETS");
  incr_ = atom("INCR");
  manager_ = atom("CLIPBOARD_MANAGER");
  saveTargets_ = atom("SAVE_TARGETS");
  timestamp_ = atom("TIMESTAMP");
  for (uint32_t selection : {clipboard_, manager_})
    xcb_xfixes_select_selection_input(c_, window_, selection,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return false;
  // The content there now: whoever owns it took it before this moment.
  const uint32_t now = serverTime();
  {
    std::lock_guard lock(mutex_);
    times_[0] = now;
  }
  // Its targets are told like a change's, so that it can be read and
  // emptied without being saved; no owner, nothing to tell.
  Reply owner(xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, clipboard_), nullptr));
  if (owner && owner->owner != XCB_NONE) changeWanted_ = WantedChange{0, true};
  takeManagerRole();
  std::lock_guard lock(mutex_);
  started_ = true;
  if (eventsSet_) thread_ = std::thread([this] { run(); });
  return true;
}

void X11Selection::eventsSet() {
  // The thread tells what it learns from its first moment: it starts only
  // once there is somebody to tell.
  std::lock_guard lock(mutex_);
  eventsSet_ = true;
  if (started_ && !thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void X11Selection::wake() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool X11Selection::stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

bool X11Selection::gone(uint64_t generation) { return stopping() || replaced(generation); }

bool X11Selection::managing() const { return managing_; }

void X11Selection::takeManagerRole() {
  managerVacant_ = false;
  Reply owner(xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, manager_), nullptr));
  if (!owner || owner->owner != XCB_NONE) {
    managing_ = owner && owner->owner == window_;
    return;
  }
  // A manager selection is taken at a real time, never CurrentTime (ICCCM 2.8).
  const uint32_t time = serverTime();
  if (time == XCB_CURRENT_TIME) return;
  xcb_set_selection_owner(c_, window_, manager_, time);
  Reply now(xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, manager_), nullptr));
  if (!now || now->owner != window_) return;
  managerTime_ = time;
  managing_ = true;
  // The clients learn that a manager is there from the root window.
  xcb_client_message_event_t m{};
  m.response_type = XCB_CLIENT_MESSAGE;
  m.format = 32;
  m.window = root_;
  m.type = atom("MANAGER");
  m.data.data32[0] = time;
  m.data.data32[1] = manager_;
  m.data.data32[2] = window_;
  xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&m));
  xcb_flush(c_);
}

void X11Selection::answer(const xcb_selection_request_event_t& e, bool success) {
  xcb_selection_notify_event_t n{};
  n.response_type = XCB_SELECTION_NOTIFY;
  n.time = e.time;
  n.requestor = e.requestor;
  n.selection = e.selection;
  n.target = e.target;
  // Old clients name no property: the target is the property then (ICCCM 2.2).
  n.property = success ? (e.property != XCB_NONE ? e.property : e.target) : uint32_t(XCB_NONE);
  xcb_send_event(c_, 0, e.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&n));
  xcb_flush(c_);
}

void X11Selection::takeRequest(const xcb_selection_request_event_t& e) {
  if (e.selection != manager_ || !managing_ || e.owner != window_) {
    answer(e, false);
    return;
  }
  const uint32_t property = e.property != XCB_NONE ? e.property : e.target;
  if (e.target == targetsAtom_) {
    const uint32_t targets[] = {targetsAtom_, saveTargets_, timestamp_};
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, e.requestor, property, XCB_ATOM_ATOM, 32, 3, targets);
    answer(e, true);
  } else if (e.target == timestamp_) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, e.requestor, property, XCB_ATOM_INTEGER, 32, 1, &managerTime_);
    answer(e, true);
  } else if (e.target == saveTargets_) {
    // Answered once the content there now has been read (answerSaves).
    saves_.push_back(Save{e, content(), Clock::now() + ManagerWait});
    answerSaves();
  } else {
    answer(e, false);
  }
}

void X11Selection::answerSaves() {
  const auto now = Clock::now();
  for (auto it = saves_.begin(); it != saves_.end();) {
    std::optional<bool> saved;
    if (lastFetched_ && lastFetched_->first == it->generation)
      saved = lastFetched_->second;
    else if (lastOffer_ && lastOffer_->first == it->generation && !lastOffer_->second)
      saved = false;  // no picture among its types: nothing to keep here
    else if (replaced(it->generation) || now >= it->deadline)
      saved = false;  // not read: no picture, or none wanted now
    if (!saved) {
      ++it;
      continue;
    }
    if (*saved) {
      const uint32_t property = it->request.property != XCB_NONE ? it->request.property : it->request.target;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, it->request.requestor, property, atom("NULL"), 32, 0, nullptr);
    }
    answer(it->request, *saved);
    it = saves_.erase(it);
  }
}

void X11Selection::startFetch(uint64_t generation, std::vector<std::string> targets) {
  {
    std::lock_guard lock(mutex_);
    fetches_.emplace_back(generation, std::move(targets));
  }
  wake();
}

void X11Selection::clearContent(uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    empties_.push_back(generation);
  }
  wake();
}

void X11Selection::doEmpty(uint64_t generation) {
  uint32_t time;
  {
    std::lock_guard lock(mutex_);
    auto it = times_.find(generation);
    // Long replaced: whoever owns the clipboard now keeps it.
    if (it == times_.end()) return;
    time = it->second;
  }
  // The server ignores a time before the current owner took the selection,
  // and one after its own clock: one millisecond later only once that has passed.
  const uint32_t now = serverTime();
  if (now != XCB_CURRENT_TIME && now - time < 0x80000000u && now != time) ++time;
  xcb_set_selection_owner(c_, XCB_NONE, clipboard_, time);
  xcb_flush(c_);
}

uint32_t X11Selection::atom(const std::string& name) {
  auto it = atoms_.find(name);
  if (it != atoms_.end()) return it->second;
  Reply reply(xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(name.size()), name.data()), nullptr));
  const uint32_t a = reply ? reply->atom : XCB_NONE;
  if (a != XCB_NONE) {
    atoms_[name] = a;
    names_[a] = name;
  }
  return a;
}

std::string X11Selection::atomName(uint32_t a) {
  auto it = names_.find(a);
  if (it != names_.end()) return it->second;
  Reply reply(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, a), nullptr));
  if (!reply) return {};
  std::string name(xcb_get_atom_name_name(reply.p), size_t(xcb_get_atom_name_name_length(reply.p)));
  names_[a] = name;
  atoms_[name] = a;
  return name;
}

X11Selection::Event X11Selection::nextEvent(Clock::time_point deadline, bool idle) {
  for (;;) {
    Event e(xcb_poll_for_event(c_));
    if (e) {
      if (e->response_type == uint8_t(xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY)) {
        takeSelectionNotify(*reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(e.get()));
        if (idle) return nullptr;
        continue;
      }
      // Requests of the manager selection are answered whatever we wait for.
      if ((e->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
        takeRequest(*reinterpret_cast<const xcb_selection_request_event_t*>(e.get()));
        if (idle) return nullptr;
        continue;
      }
      if ((e->response_type & 0x7f) == XCB_SELECTION_CLEAR) {
        if (reinterpret_cast<const xcb_selection_clear_event_t*>(e.get())->selection == manager_) managing_ = false;
        continue;
      }
      return e;
    }
    if (xcb_connection_has_error(c_) || stopping()) return nullptr;
    const auto now = Clock::now();
    if (now >= deadline) return nullptr;
    // Without a deadline, sleep until something happens: no wake-ups while idle.
    int timeout = -1;
    if (deadline != Clock::time_point::max())
      timeout = int(std::min<long long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1, 60000));
    pollfd fds[2] = {{xcb_get_file_descriptor(c_), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    ::poll(fds, 2, timeout);
    if (fds[1].revents & POLLIN) {
      uint64_t n;
      [[maybe_unused]] ssize_t r = ::read(wakeFd_, &n, sizeof n);
      if (idle) return nullptr;
    }
  }
}

void X11Selection::takeSelectionNotify(const xcb_xfixes_selection_notify_event_t& e) {
  if (e.selection == manager_) {
    // Another manager took the role: we step aside; nobody has it: we take it again.
    if (e.owner != window_) managing_ = false;
    if (e.owner == XCB_NONE) managerVacant_ = true;
    return;
  }
  if (e.selection != clipboard_) return;
  const uint64_t generation = beginContent();
  {
    std::lock_guard lock(mutex_);
    times_[generation] = e.selection_timestamp;
    while (times_.size() > 64) times_.erase(times_.begin());
  }
  // Told from the run loop, after a fetch in progress has handed its
  // picture over: that picture is still the content that was read.
  changeWanted_ = WantedChange{generation, e.owner != XCB_NONE, Clock::now()};
}

uint32_t X11Selection::serverTime() {
  // Appending nothing to a property still tells of the change, with the time.
  xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, property_, XCB_ATOM_STRING, 8, 0, nullptr);
  xcb_flush(c_);
  const auto deadline = Clock::now() + timing_.silence;
  while (Event e = nextEvent(deadline)) {
    if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
    const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e.get());
    if (p->window == window_ && p->atom == property_) return p->time;
  }
  return XCB_CURRENT_TIME;
}

X11Selection::Read X11Selection::readProperty(uint32_t& type, std::vector<uint8_t>& bytes, size_t most) {
  // Asked for one 32-bit unit more than may come: more than `most` is told
  // by the reply's length, or by what it leaves behind.
  Reply reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 1, requestor_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, uint32_t(most / 4 + 1)),
      nullptr));
  if (!reply) return Read::Failed;
  const size_t length = size_t(xcb_get_property_value_length(reply.p));
  if (reply->bytes_after > 0 || length > most) return Read::TooLarge;
  type = reply->type;
  const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.p));
  bytes.assign(data, data + length);
  return Read::Done;
}

std::optional<std::vector<uint8_t>> X11Selection::convert(uint32_t target, uint32_t time, std::string& failure) {
  // A late answer to an earlier request must not be taken for this one.
  xcb_delete_property(c_, requestor_, property_);
  xcb_convert_selection(c_, requestor_, clipboard_, target, property_, time);
  xcb_flush(c_);
  const uint64_t available = probedMemory();
  const size_t limit = transferLimit(available);
  bool tooMuch = false;
  auto deadline = Clock::now() + timing_.silence;
  while (Event e = nextEvent(deadline)) {
    if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) continue;
    const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(e.get());
    if (n->requestor != requestor_ || n->selection != clipboard_ || n->target != target) continue;
    // An answer names the time of the request it answers (a few owners say
    // CurrentTime): a late one to a request about an earlier owner is not ours.
    if (n->time != time && n->time != XCB_CURRENT_TIME) continue;
    if (n->property == XCB_NONE) {
      failure = Failure::Refused;
      return std::nullopt;
    }
    uint32_t type = XCB_NONE;
    std::vector<uint8_t> bytes;
    Read read = readProperty(type, bytes, limit);
    if (read == Read::Done && type != incr_) return bytes;
    if (read == Read::Done) {
      // INCR: every chunk comes as a new value of the property, which we
      // delete to ask for the next; an empty one ends the transfer.
      std::vector<uint8_t> all;
      read = Read::Failed;
      deadline = Clock::now() + timing_.silence;
      while (Event p = nextEvent(deadline)) {
        if ((p->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) continue;
        const auto* pn = reinterpret_cast<const xcb_property_notify_event_t*>(p.get());
        if (pn->window != requestor_ || pn->atom != property_ || pn->state != XCB_PROPERTY_NEW_VALUE) continue;
        read = readProperty(type, bytes, limit - all.size());
        // A new transfer on the same property: the late answer to an earlier
        // request, taken for this one, and now two transfers mixed.
        if (read == Read::Done && type == incr_) read = Read::Failed;
        if (read != Read::Done) break;
        if (bytes.empty()) return all;
        all.insert(all.end(), bytes.begin(), bytes.end());
        deadline = Clock::now() + timing_.silence;
      }
      if (read != Read::TooLarge) {
        failure = Failure::Stopped;
        newRequestor();
        return std::nullopt;
      }
    }
    tooMuch = read == Read::TooLarge;
    break;
  }
  if (!tooMuch) {
    // A late answer may still come, and is taken for the next request's:
    // an owner slower than our patience is read all the same.
    failure = Failure::NoAnswer;
    return std::nullopt;
  }
  failure = tooLarge(limit, available);
  newRequestor();
  return std::nullopt;
}

void X11Selection::newRequestor() {
  // Requests are made for a window of their own, made anew after a transfer
  // given up (too large, or stopped midway): an owner still writing to the
  // old one writes to nothing (its properties go with it, and an owner in the
  // middle of a transfer hears that the window is gone), where it would write
  // its next chunk into the property the next request reads its answer from.
  if (requestor_ != 0) xcb_destroy_window(c_, requestor_);
  requestor_ = xcb_generate_id(c_);
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c_, XCB_COPY_FROM_PARENT, requestor_, root_, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c_);
}

bool X11Selection::withRetries(uint64_t generation, const std::function<bool(std::string&)>& attempt,
                               std::string& failure) {
  Attempts attempts(timing_);
  for (;;) {
    if (attempt(failure)) return true;
    if (gone(generation)) return false;
    const std::optional<std::chrono::milliseconds> pause = attempts.failed(failure);
    if (!pause) return false;
    // Other events meanwhile are looked at (owner changes) or dropped.
    const auto until = Clock::now() + *pause;
    while (nextEvent(until)) {
    }
    if (gone(generation)) return false;
  }
}

void X11Selection::reportTargets(uint64_t generation, Clock::time_point at) {
  if (replaced(generation)) return;  // the newer content is reported instead
  uint32_t time;
  {
    std::lock_guard lock(mutex_);
    time = times_[generation];
  }
  Change change{generation, true, {}, {}, at};
  withRetries(
      generation,
      [&](std::string& failure) {
        std::optional<std::vector<uint8_t>> list = convert(targetsAtom_, time, failure);
        if (!list) return false;
        change.types.clear();
        for (size_t i = 0; i + 4 <= list->size(); i += 4) {
          uint32_t a;
          std::memcpy(&a, list->data() + i, 4);
          if (a == targetsAtom_) continue;
          const std::string name = atomName(a);
          if (!name.empty()) change.types.push_back(name);
        }
        return true;
      },
      change.failure);
  if (replaced(generation)) return;
  if (!change.types.empty()) change.failure.clear();
  lastOffer_ = std::make_pair(generation, std::any_of(change.types.begin(), change.types.end(), [](const std::string& t) {
                                return t.rfind("image/", 0) == 0;
                              }));
  tellChange(std::move(change));
  answerSaves();
}

void X11Selection::doFetch(uint64_t generation, const std::vector<std::string>& targets) {
  Fetched result;
  result.generation = generation;
  uint32_t time = 0;
  if (replaced(generation)) {
    result.failure = Failure::Changed;
  } else {
    std::lock_guard lock(mutex_);
    time = times_[generation];
  }
  if (result.failure.empty()) {
    withRetries(
        generation,
        [&](std::string& failure) {
          for (const std::string& target : targets) {
            if (gone(generation)) return false;
            std::optional<std::vector<uint8_t>> bytes = convert(atom(target), time, failure);
            if (bytes && !bytes->empty()) {
              result.type = target;
              result.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(*bytes));
              return true;
            }
            if (bytes) failure = Failure::Nothing;
            // An owner silent about one type is silent about the others too:
            // the next attempt comes after a pause, within the total time.
            if (!bytes && failure == Failure::NoAnswer) return false;
          }
          return false;
        },
        result.failure);
    if (result.bytes) result.failure.clear();
  }
  lastFetched_ = std::make_pair(generation, result.bytes != nullptr);
  tellFetched(std::move(result));
  answerSaves();
}

void X11Selection::run() {
  for (;;) {
    if (stopping()) return;
    if (managerVacant_) takeManagerRole();
    answerSaves();
    if (changeWanted_) {
      const WantedChange change = *changeWanted_;
      changeWanted_.reset();
      if (change.owned)
        reportTargets(change.generation, change.at);
      else if (!gone(change.generation))
        tellChange(Change{change.generation, false, {}, {}, change.at});
      continue;
    }
    std::optional<std::pair<uint64_t, std::vector<std::string>>> request;
    std::optional<uint64_t> emptying;
    {
      std::lock_guard lock(mutex_);
      if (!empties_.empty()) {
        emptying = empties_.front();
        empties_.pop_front();
      } else if (!fetches_.empty()) {
        request = std::move(fetches_.front());
        fetches_.pop_front();
      }
    }
    if (emptying) {
      doEmpty(*emptying);
      continue;
    }
    if (request) {
      doFetch(request->first, request->second);
      continue;
    }
    if (xcb_connection_has_error(c_)) return;
    // Idle: wait for an owner change or a fetch (or a manager's request to
    // answer by its time); other events are stale answers.
    Clock::time_point until = Clock::time_point::max();
    for (const Save& save : saves_) until = std::min(until, save.deadline);
    nextEvent(until, true);
  }
}

}  // namespace pixkeep
