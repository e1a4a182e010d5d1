// One running program per user and display: a lock that the system lets go
// of when its holder ends, however it ends (flock on a file in a directory of
// the user's own), so a killed program never blocks the next start.
//
// Where the lock and the socket beside it live. Another user who could make
// or write that directory could hold our lock (and keep every start from
// running), put a file of theirs or a symbolic link at its name, or leave
// us with no lock at all and two programs racing for one clipboard. So a
// directory is used only when it is a real directory (not a symbolic link)
// owned by the user, with no permission bits for group or others, that the
// user can write; the first of these that qualifies:
//
//   1. $XDG_RUNTIME_DIR, as the session gives it;
//   2. $XDG_CACHE_HOME/pixkeep/<host>/ (else ~/.cache/pixkeep/<host>/),
//      made for the user alone when missing: nobody else can make it first.
//      <host> is the machine's name, so that a home shared between machines
//      gives each its own locks (display ":0" on two machines is two displays);
//   3. /tmp/pixkeep-<uid>/, made for the user alone when missing (for users
//      without a writable home), used only when it is the user's own.
//
// Every start of one user makes the same choice, so a second start finds the
// first one's lock. The lock file itself is opened without following a
// symbolic link and must be a regular file of the user's own.
#pragma once

#include <string>
#include <sys/types.h>

namespace pixkeep {

// What the environment says about the places above.
struct RuntimePlaces {
  std::string runtimeDir;  // $XDG_RUNTIME_DIR; empty when unset
  std::string cacheHome;   // $XDG_CACHE_HOME when absolute, else $HOME/.cache (the password file's home without $HOME)
  std::string host;        // a file-name part naming this machine
  std::string tmp = "/tmp";
  uid_t uid = 0;           // the user (effective uid)
};
RuntimePlaces runtimePlacesFromEnvironment();

struct RuntimeDirectory {
  std::string path;  // ends in '/'; empty when no place qualifies
  // Every place looked at and refused before it, with the reason
  // ("/tmp/pixkeep-1000 belongs to user 1001"), joined by "; ".
  std::string refused;
};

// The first place above that qualifies, made when it is one to be made.
RuntimeDirectory userRuntimeDirectory(const RuntimePlaces& places);
inline RuntimeDirectory userRuntimeDirectory() { return userRuntimeDirectory(runtimePlacesFromEnvironment()); }

// Why the directory `path` is no place for the user `uid`'s lock; empty when
// it is one (a directory, not a link, owned by `uid`, mode 0700 or less,
// writable).
std::string directoryProblem(const std::string& path, uid_t uid);

// A file-name part that names the display `display` (as $DISPLAY writes
// it) the same way for every spelling of the same server: ":0", ":0.0",
// "unix:0" and "localhost:0" are "0", "host:10.2" is "host-10". A name
// without a colon ("wayland-0") is kept. Characters other than letters,
// digits, '.', '_' and '-' become '_'.
std::string displayKey(const std::string& display);

// Whether the other end of the connected local socket `fd` runs as `uid`
// (SO_PEERCRED); false when that cannot be told.
bool peerIsUser(int fd, uid_t uid);

class InstanceLock {
 public:
  enum class State {
    Held,       // this process holds it
    HeldByAnother,
    Unavailable,  // the file could not be made, opened or locked: problem() says why
  };

  // Takes the lock on the file `path` (created when missing) without
  // waiting. A symbolic link there is refused (its target is never made),
  // and so is anything but a regular file of the user's own.
  explicit InstanceLock(const std::string& path);
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  ~InstanceLock();

  State state() const { return state_; }
  // Unavailable: why, as the end of a sentence naming the file ("is a
  // symbolic link", "cannot be opened: Permission denied").
  const std::string& problem() const { return problem_; }

 private:
  int fd_ = -1;
  State state_ = State::Unavailable;
  std::string problem_;
};

}  // namespace pixkeep
