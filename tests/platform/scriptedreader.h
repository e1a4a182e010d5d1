// A clipboard reader whose protocol the test speaks: it records what it is
// asked and tells what the test says the owner did.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clipboardreader.h"

namespace pixkeep {

// A reader the test drives: it records what it is asked and tells what the
// test says the owner did.
class ScriptedReader : public ClipboardReader {
 public:
  std::vector<std::pair<uint64_t, std::vector<std::string>>> fetches;
  std::vector<uint64_t> empties;

  uint64_t ownerCopies(std::vector<std::string> types) {
    const uint64_t g = beginContent();
    tellChange(Change{g, true, std::move(types), {}});
    return g;
  }
  void ownerHandsOver(uint64_t g, const std::string& type, std::vector<uint8_t> bytes) {
    tellFetched(Fetched{g, type, std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), {}});
  }
  void ownerFails(uint64_t g, const std::string& why) { tellFetched(Fetched{g, {}, nullptr, why}); }
  // What was there at start (generation 0).
  void ownedAtStart(std::vector<std::string> types) { tellChange(Change{0, true, std::move(types), {}}); }
  // Nobody owns the clipboard any more.
  uint64_t ownerGone() {
    const uint64_t g = beginContent();
    tellChange(Change{g, false, {}, {}});
    return g;
  }

 protected:
  void startFetch(uint64_t generation, std::vector<std::string> types) override {
    fetches.emplace_back(generation, std::move(types));
  }
  void clearContent(uint64_t generation) override { empties.push_back(generation); }
};

}  // namespace pixkeep
