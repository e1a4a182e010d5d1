// The X11 CLIPBOARD selection, read on an X connection and a thread of our
// own, so that an owner that answers slowly or never cannot hold up the
// window's thread.
//
// Every owner change (XFixes selection notification) starts a new content,
// numbered by its generation; the owner's TARGETS are asked for at once and
// reported with the change. A fetch asks for targets in turn (INCR transfers
// included) and reports the bytes of the first that gives any. Each request
// names the time at which that owner took the selection, and emptying gives
// the selection up as of just after that time: a newer owner keeps the
// clipboard.
//
// Failing attempts are tried again as ClipboardReader::Attempts says.
//
// Programs that copy and exit hand their clipboard to the clipboard manager
// (ICCCM: the CLIPBOARD_MANAGER selection, target SAVE_TARGETS) and wait for
// its answer. While nobody holds that selection, the reader holds it: a
// SAVE_TARGETS request is answered once the picture of that content has been
// read (at once when it had been already), so the program does not exit
// before it is taken. A content is refused at once when it offers no picture
// type (image/...), and after ManagerWait when nobody asked to read it: text
// is not kept (a full clipboard manager does that). Whenever another manager
// takes the selection, the reader steps aside; it takes the role again once
// the selection has no owner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "platform/clipboardreader.h"

namespace pixkeep {

class X11Selection : public ClipboardReader {
 public:
  explicit X11Selection(Timing timing = {}) : timing_(timing) {}
  ~X11Selection();
  X11Selection(const X11Selection&) = delete;
  X11Selection& operator=(const X11Selection&) = delete;

  // Connects to `display` (nullptr: $DISPLAY); the thread starts once the
  // events are set too (before or after); false when there is no X server
  // to talk to. What is on the clipboard then is generation 0; its targets
  // are reported when somebody owns it.
  bool start(const char* display = nullptr);

  // How long a SAVE_TARGETS request waits for its content to be read.
  static constexpr std::chrono::milliseconds ManagerWait{3000};
  // Whether the reader holds CLIPBOARD_MANAGER now (for tests).
  bool managing() const;

 protected:
  void startFetch(uint64_t generation, std::vector<std::string> targets) override;
  // Gives the selection up as of just after the owner change that began
  // content `generation`: nothing happens when a newer owner has it by then.
  // (Just after: owners built on Qt take a clear at their own time for a
  // stale one and would go on believing they own the clipboard.)
  void clearContent(uint64_t generation) override;
  void eventsSet() override;

 private:
  void run();
  void wake();
  struct EventDeleter {
    void operator()(void* p) const;
  };
  using Event = std::unique_ptr<xcb_generic_event_t, EventDeleter>;
  // Waits for an event until `deadline`; nullptr on timeout or when
  // stopping. XFixes notifications are taken in on the way and not returned;
  // when `idle`, one of them, or a fetch asked for, also ends the wait.
  Event nextEvent(std::chrono::steady_clock::time_point deadline, bool idle = false);
  void takeSelectionNotify(const xcb_xfixes_selection_notify_event_t& e);
  // One request of `target` from the owner of content at `time`.
  std::optional<std::vector<uint8_t>> convert(uint32_t target, uint32_t time, std::string& failure);
  // Reads and deletes our property; false when the server says nothing.
  // Reads (and deletes) the requestor's property, of at most `most` bytes.
  enum class Read { Done, Failed, TooLarge };
  Read readProperty(uint32_t& type, std::vector<uint8_t>& bytes, size_t most);
  // `attempt` until it succeeds, with pauses between; false when it never
  // did or the content was replaced meanwhile (no more tries then).
  bool withRetries(uint64_t generation, const std::function<bool(std::string& failure)>& attempt,
                   std::string& failure);
  // The clipboard manager's part: taking the selection while it has no
  // owner, and the requests other programs make of it.
  void takeManagerRole();
  void takeRequest(const xcb_selection_request_event_t& e);
  void answer(const xcb_selection_request_event_t& e, bool success);
  // Answers the SAVE_TARGETS requests that can be answered now.
  void answerSaves();
  void reportTargets(uint64_t generation, std::chrono::steady_clock::time_point at);
  void doFetch(uint64_t generation, const std::vector<std::string>& targets);
  void doEmpty(uint64_t generation);
  uint32_t atom(const std::string& name);
  std::string atomName(uint32_t atom);
  // The window requests are made for, made anew after a transfer given up.
  void newRequestor();
  // A timestamp of the server's own clock.
  uint32_t serverTime();
  bool stopping();
  // Whether content `generation` is no longer the clipboard's, or we stop.
  bool gone(uint64_t generation);

  Timing timing_;
  xcb_connection_t* c_ = nullptr;
  uint32_t window_ = 0, root_ = 0, clipboard_ = 0, property_ = 0, targetsAtom_ = 0, incr_ = 0;
  uint32_t manager_ = 0, saveTargets_ = 0, timestamp_ = 0, managerTime_ = 0;
  uint8_t xfixesEvent_ = 0;
  uint32_t requestor_ = 0;  // the window requests are made for
  int wakeFd_ = -1;
  std::map<std::string, uint32_t> atoms_;
  std::map<uint32_t, std::string> names_;

  std::mutex mutex_;
  bool stopping_ = false;
  bool started_ = false, eventsSet_ = false;  // the thread runs once both are true
  std::deque<std::pair<uint64_t, std::vector<std::string>>> fetches_;
  std::deque<uint64_t> empties_;
  // Known to both threads: when each recent owner took the clipboard.
  std::map<uint64_t, uint32_t> times_;
  // The newest change, still to be told (reader's thread only).
  struct WantedChange {
    uint64_t generation = 0;
    bool owned = false;
    std::chrono::steady_clock::time_point at{};
  };
  std::optional<WantedChange> changeWanted_;
  // The clipboard manager's part (reader's thread only, but `managing_`).
  std::atomic<bool> managing_{false};
  bool managerVacant_ = false;
  struct Save {
    xcb_selection_request_event_t request;
    uint64_t generation;
    std::chrono::steady_clock::time_point deadline;
  };
  std::deque<Save> saves_;
  // The newest content whose picture was read, and whether it came.
  std::optional<std::pair<uint64_t, bool>> lastFetched_;
  // The newest content whose types were told, and whether a picture type is among them.
  std::optional<std::pair<uint64_t, bool>> lastOffer_;
  std::thread thread_;
};

}  // namespace pixkeep
