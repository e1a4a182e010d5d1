// One running program per user and display: a lock that the system lets go
// of when its holder ends, however it ends (flock on a file in the user's
// runtime directory), so a killed program never blocks the next start.
#pragma once

#include <string>

namespace pixkeep {

// Where one user's running programs meet: $XDG_RUNTIME_DIR when it is a
// writable directory, else /tmp/pixkeep-<uid>/ (made for the user alone; a
// directory of that name that belongs to someone else or that others may
// enter is refused). Ends in '/'; empty when there is no such place.
std::string userRuntimeDirectory();

// A file-name part that names the display `display` (as $DISPLAY writes
// it) the same way for every spelling of the same server: ":0", ":0.0",
// "unix:0" and "localhost:0" are "0", "host:10.2" is "host-10". A name
// without a colon ("wayland-0") is kept. Characters other than letters,
// digits, '.', '_' and '-' become '_'.
std::string displayKey(const std::string& display);

class InstanceLock {
 public:
  enum class State {
    Held,       // this process holds it
    HeldByAnother,
    Unavailable,  // the file could not be made or locked
  };

  // Takes the lock on the file `path` (created when missing) without waiting.
  explicit InstanceLock(const std::string& path);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  State state() const { return state_; }

 private:
  int fd_ = -1;
  State state_ = State::Unavailable;
};

}  // namespace pixkeep
