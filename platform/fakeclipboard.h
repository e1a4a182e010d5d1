// An in-memory clipboard for tests: formats, bitmap and palette are set
// directly, and every call is counted.
#pragma once

#include <algorithm>
#include <map>

#include "platform/clipboard.h"

namespace pixkeep {

class FakeClipboard : public Clipboard {
 public:
  std::vector<unsigned> offered;
  std::shared_ptr<const PlatformBitmap> bitmapData;
  std::optional<std::vector<RGBQuad>> paletteData;
  bool failOpen = false;
  int openCalls = 0, closeCalls = 0, emptyCalls = 0, openNow = 0;
  bool touchedWhileClosed = false;
  // bitmap() answers only after this many calls that find it still on its way.
  int fetchCalls = 0;
  std::string fetchFailure;  // given by failure() when bitmap() finds nothing
  uint64_t changes = 0;      // the generation

  void putBitmap(PlatformBitmap b) {
    offered = {CF_BITMAP};
    bitmapData = std::make_shared<PlatformBitmap>(std::move(b));
    paletteData.reset();
    ++changes;
    announceChange();
  }
  // Another program changed the clipboard.
  void changedByOwner() {
    ++changes;
    announceChange();
  }

  bool hasFormat(unsigned format) override {
    return std::find(offered.begin(), offered.end(), format) != offered.end();
  }
  bool open() override {
    ++openCalls;
    if (failOpen) return false;
    ++openNow;
    return true;
  }
  void close() override {
    ++closeCalls;
    if (openNow > 0) --openNow; else touchedWhileClosed = true;
  }
  std::vector<unsigned> formats() override { check(); return offered; }
  std::shared_ptr<const PlatformBitmap> bitmap() override {
    check();
    fetching_ = fetchCalls > 0;
    if (fetching_) {
      --fetchCalls;
      return nullptr;
    }
    return hasFormat(CF_BITMAP) ? bitmapData : nullptr;
  }
  bool fetching() override { return fetching_; }
  std::string failure() override { return fetchFailure; }
  std::optional<std::vector<RGBQuad>> palette() override { check(); return paletteData; }
  void empty() override {
    check();
    ++emptyCalls;
    offered.clear();
    bitmapData.reset();
    paletteData.reset();
    ++changes;
    announceChange();
  }
  void emptyContent(uint64_t generation) override {
    check();
    if (generation == changes) empty();
  }
  uint64_t generation() override { return changes; }
  unsigned registerFormat(const std::string& name) override {
    auto it = registered_.find(name);
    if (it != registered_.end()) return it->second;
    unsigned n = 0xC000 + unsigned(registered_.size());
    registered_[name] = n;
    return n;
  }

 private:
  void check() { if (openNow == 0) touchedWhileClosed = true; }
  bool fetching_ = false;
  std::map<std::string, unsigned> registered_;
};

}  // namespace pixkeep
