// A Wayland seat's selection (the clipboard), read through the data-control
// protocol: ext_data_control_manager_v1 where the compositor offers it, else
// zwlr_data_control_manager_v1 (sway and other wlroots compositors, KDE
// Plasma). Unlike wl_data_device it sees every change without a focused
// window, and it can leave the selection empty.
//
// It works on the window's event loop over a connection of its own: socket
// notifiers watch the connection and the pipe a picture comes through, so
// an idle program sleeps and a slow owner does not hold the window up.
//
// Every selection event starts a new content (its generation), reported
// with the offer's MIME types; what is there when the reader opens is
// generation 0, reported (when there is an offer) once the events are set.
// A fetch asks for the types in turn, each through a pipe, with the retries
// of ClipboardReader::Attempts. Emptying sets a null selection only while
// the selection is still the offer of that content.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clipboardreader.h"

struct wl_display;
struct wl_seat;

namespace pixkeep {

class WaylandSelection : public QObject, public ClipboardReader {
 public:
  // Connects to the compositor of $WAYLAND_DISPLAY and takes a data-control
  // device on its first seat; nullptr, with the reason in `why`, when there
  // is no compositor or it offers no data-control protocol.
  static std::unique_ptr<WaylandSelection> open(std::string& why, Timing timing = {});
  ~WaylandSelection() override;
  WaylandSelection(const WaylandSelection&) = delete;
  WaylandSelection& operator=(const WaylandSelection&) = delete;

  // The manager interface in use.
  std::string protocol() const;

  // What a data-control protocol gives the reader; both protocols have the
  // same shape (waylandselection.cpp).
  class Control;

 protected:
  void startFetch(uint64_t generation, std::vector<std::string> targets) override;
  void clearContent(uint64_t generation) override;
  void eventsSet() override;

 private:
  explicit WaylandSelection(Timing timing);
  // Reads what the compositor sent and handles it; sends what waits.
  void dispatch();
  void flush();
  void lost(const char* what);
  // The protocol's events, through Control: a new offer, one of its types,
  // the selection's offer (null: empty), an offer of no interest here.
  void introduced(void* offer);
  void offered(void* offer, const char* mimeType);
  void selected(void* offer);
  void dropped(void* offer);

  struct Fetch {
    uint64_t generation = 0;
    std::vector<std::string> targets;
    size_t target = 0;  // the one asked for now
    Attempts attempts;
    std::string failure;
    int fd = -1;  // the read end of the pipe
    std::vector<uint8_t> bytes;
    uint64_t available = 0;   // memory free as the transfer begins
    size_t limit = MaxBytes;  // of bytes, from that
  };
  void nextFetch();
  void askTarget();
  void readPipe();
  void closePipe();
  // The target asked for failed: the next one, or the attempt failed.
  void targetFailed(std::string failure);
  void finishFetch(std::shared_ptr<const std::vector<uint8_t>> bytes);

  Timing timing_;
  wl_display* display_ = nullptr;
  wl_seat* seat_ = nullptr;
  std::unique_ptr<Control> control_;
  std::unique_ptr<QSocketNotifier> readable_, writable_;
  bool started_ = false;  // what came before is generation 0
  std::optional<Change> initial_;  // generation 0, until it is told

  // Offers announced, with their types, until a selection event names them.
  std::map<void*, std::vector<std::string>> offers_;
  void* current_ = nullptr;  // the selection's offer; null when it is empty

  std::deque<std::pair<uint64_t, std::vector<std::string>>> fetches_;
  std::optional<Fetch> fetch_;
  std::unique_ptr<QSocketNotifier> pipe_;
  QTimer silence_, pause_;
};

}  // namespace pixkeep
