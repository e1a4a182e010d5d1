// A compositor for the Wayland reader's tests, on libwayland-server: a seat
// and the data-control managers (the standard ext_data_control_manager_v1,
// the wlroots zwlr_data_control_manager_v1, both or neither), nothing else.
//
// It runs on a thread of its own and listens on a socket in a runtime
// directory of its own; while it lives, XDG_RUNTIME_DIR and WAYLAND_DISPLAY
// name that socket, so a client opened with wl_display_connect(nullptr)
// reaches it. The test plays the other programs: it sets the selection (an
// offer whose data the compositor writes itself, refuses, or holds back),
// and looks at what the clients did (the requests they made).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pixkeep::test {

// Sets an environment variable (or unsets it: nullptr) until it goes.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

class TestCompositor {
 public:
  enum class Managers { Ext, Wlr, Both, None };
  static constexpr const char* Ext = "ext_data_control_manager_v1";
  static constexpr const char* Wlr = "zwlr_data_control_manager_v1";

  // What the selection's owner does when a client asks for one type.
  enum class Answer {
    Data,     // writes its bytes and closes the pipe
    Nothing,  // closes the pipe without a word
    Hold,     // keeps the pipe open until answerHeld(), or for ever
  };
  struct Type {
    std::string mimeType;
    Answer answer = Answer::Data;
    std::vector<uint8_t> bytes;
  };
  // A receive request: which selection's offer (0 for a primary selection's)
  // and the type asked for.
  struct Receive {
    int selection = 0;
    std::string mimeType;
  };

  explicit TestCompositor(Managers managers, bool seat = true);
  ~TestCompositor();
  TestCompositor(const TestCompositor&) = delete;
  TestCompositor& operator=(const TestCompositor&) = delete;

  // Empty when it runs; else why it could not start.
  const std::string& failure() const;

  // A program copies: the selection becomes an offer of `types`, told to
  // every data-control device. Returns its number (1, 2, ...) once the
  // events have been written to the clients' sockets.
  int setSelection(std::vector<Type> types);
  // The same for the primary selection (offers no data).
  void setPrimarySelection(std::vector<std::string> types);
  // Answers the requests held back so far: with their bytes, or by closing
  // the pipe without a word.
  void answerHeld(bool withData);
  // Called on the compositor's thread at each receive request, with its
  // index in receives().
  void setOnReceive(std::function<void(size_t)> onReceive);

  // The selection's number now; 0 while it is empty.
  int selection() const;
  // set_selection requests with a null source (a client emptied it).
  int clears() const;
  std::vector<Receive> receives() const;
  // The selections whose offers clients destroyed, in that order.
  std::vector<int> destroyedOffers() const;
  int destroyedPrimaryOffers() const;
  // Data-control devices made through the manager of that name.
  int devices(const std::string& manager) const;
  // Requests held back and not answered yet.
  int held() const;
  // Whether the client still has the pipe of receive request `index` open
  // (a request held back, not answered yet).
  bool pipeOpen(size_t index) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::unique_ptr<ScopedEnv> runtime_, display_, socket_;
};

}  // namespace pixkeep::test
