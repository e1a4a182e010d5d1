// An in-memory clipboard for tests: formats, bitmap and palette are set
// directly, and emptying is counted.
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
  int emptyCalls = 0;
  // fetchPicture() finds the picture on its way this many times first.
  int fetchCalls = 0;
  // Without bitmapData: why the owner did not hand it over (empty: the
  // picture came but is no picture to be had).
  std::string fetchFailure;
  uint64_t changes = 0;  // the generation

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
  std::vector<unsigned> formats() override { return offered; }
  uint64_t generation() override { return changes; }
  Picture fetchPicture() override {
    Picture picture;
    if (!hasFormat(CF_BITMAP)) return picture;
    if (fetchCalls > 0) {
      --fetchCalls;
      picture.state = Picture::State::OnItsWay;
      return picture;
    }
    if (!bitmapData) {
      picture.state = fetchFailure.empty() ? Picture::State::Unusable : Picture::State::NotHandedOver;
      picture.failure = fetchFailure;
      return picture;
    }
    picture.state = Picture::State::Here;
    picture.bitmap = bitmapData;
    picture.palette = paletteData;
    return picture;
  }
  void emptyContent(uint64_t generation) override {
    if (generation != changes) return;
    ++emptyCalls;
    offered.clear();
    bitmapData.reset();
    paletteData.reset();
    ++changes;
    announceChange();
  }
  unsigned registerFormat(const std::string& name) override {
    auto it = registered_.find(name);
    if (it != registered_.end()) return it->second;
    unsigned n = 0xC000 + unsigned(registered_.size());
    registered_[name] = n;
    return n;
  }

 private:
  std::map<std::string, unsigned> registered_;
};

}  // namespace pixkeep
