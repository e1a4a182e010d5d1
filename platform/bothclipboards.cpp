#include "platform/bothclipboards.h"

#include <algorithm>

namespace pixkeep {

namespace {

bool isPictureType(const std::string& type) { return type.rfind("image/", 0) == 0; }

bool sharePictureType(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return std::any_of(a.begin(), a.end(), [&](const std::string& t) {
    return isPictureType(t) && std::find(b.begin(), b.end(), t) != b.end();
  });
}

constexpr size_t KeptContents = 64;

}  // namespace

BothClipboards::BothClipboards(std::unique_ptr<ClipboardReader> first, std::unique_ptr<ClipboardReader> second)
    : sides_{std::move(first), std::move(second)} {}

BothClipboards::~BothClipboards() {
  // Their threads end before anything here goes.
  for (auto& side : sides_) side.reset();
}

void BothClipboards::eventsSet() {
  for (int side = 0; side < 2; ++side) {
    Events events;
    events.changed = [this, side](const Change& c) { changed(side, c); };
    events.fetched = [this, side](const Fetched& f) { fetched(side, f); };
    sides_[size_t(side)]->setEvents(std::move(events));
  }
}

ClipboardReader::Change BothClipboards::newContent(const Inner& inner, const Change& change) {
  const uint64_t generation = beginContent();
  contents_[generation] = Content{inner, arrival(change)};
  while (contents_.size() > KeptContents) contents_.erase(contents_.begin());
  return Change{generation, change.owned, change.types, change.failure, change.at};
}

ClipboardReader::Clock::time_point BothClipboards::arrival(const Change& change) const {
  // The X11 reader tells a change once the owner has said what it offers,
  // which may take seconds; the change itself came before.
  return change.at != Clock::time_point() ? change.at : clock();
}

ClipboardReader::Change BothClipboards::copyAsContent(const Inner& copy, bool owned) {
  return newContent(copy, Change{0, owned, copy.types, {}, {}});
}

void BothClipboards::changed(int side, const Change& change) {
  Actions a;
  {
    std::lock_guard lock(mutex_);
    const Inner inner{side, change.generation, change.types};
    current_[size_t(side)] = std::max(current_[size_t(side)], change.generation);
    if (change.generation == 0) {
      // What each side held at start is one content, never saved.
      if (!started_) {
        started_ = true;
        contents_[0] = Content{inner, arrival(change)};
        a.tell = Change{0, change.owned, change.types, change.failure};
      } else {
        copy_ = Copy{inner, change.owned, 0};
      }
    } else {
      // Replaced on its side: a copy held back there is gone.
      if (copy_ && copy_->inner.side == side) copy_.reset();
      const uint64_t current = content();
      const auto it = contents_.find(current);
      const bool copyOfCurrent = it != contents_.end() && it->second.inner.side != side && change.owned &&
                                 arrival(change) - it->second.arrived <= MirrorWindow &&
                                 (sharePictureType(it->second.inner.types, change.types) ||
                                  std::none_of(change.types.begin(), change.types.end(), isPictureType)) &&
                                 !copy_;
      if (copyOfCurrent)
        copy_ = Copy{inner, true, current};
      else
        a.tell = newContent(inner, change);
    }
  }
  run(std::move(a));
}

void BothClipboards::startFetch(uint64_t generation, std::vector<std::string> types) {
  std::optional<Inner> inner;
  {
    std::lock_guard lock(mutex_);
    if (const auto it = contents_.find(generation); it != contents_.end()) {
      fetching_ = generation;
      inner = it->second.inner;
    }
  }
  if (!inner) {
    tellFetched(Fetched{generation, {}, nullptr, Failure::Changed});
    return;
  }
  sides_[size_t(inner->side)]->fetch(inner->generation, std::move(types));
}

void BothClipboards::fetched(int side, const Fetched& f) {
  Actions a;
  {
    std::lock_guard lock(mutex_);
    if (checking_ && checking_->copy.side == side && checking_->copy.generation == f.generation) {
      // The copy held back, read to see whether it is the same picture;
      // the content it copies is emptied now.
      const auto [copy, expected, original] = *checking_;
      checking_.reset();
      if (f.bytes) a.handOver = copy;
      a.empty.push_back(original);
      if (f.bytes && expected.bytes && *f.bytes == *expected.bytes)
        a.empty.push_back(copy);
      else if (current_[size_t(side)] == copy.generation)
        a.tell = copyAsContent(copy, true);
      // else replaced on its side meanwhile: the newer content is told as it comes.
    } else {
      if (!fetching_) return;
      const auto it = contents_.find(*fetching_);
      if (it == contents_.end() || it->second.inner.side != side || it->second.inner.generation != f.generation)
        return;  // an answer nobody waits for
      const uint64_t generation = *fetching_;
      a.answer = Fetched{generation, f.type, f.bytes, f.failure};
      if (f.bytes) {
        read_ = Read{generation, f.type, f.bytes};
      } else if (copy_ && copy_->of == generation) {
        // The picture could not be had on this side; the other side's copy
        // may give it, unless it offers no picture type (then the failure
        // stands, as it would with one clipboard).
        const Copy copy = *copy_;
        copy_.reset();
        if (std::any_of(copy.inner.types.begin(), copy.inner.types.end(), isPictureType))
          a.tell = copyAsContent(copy.inner, copy.owned);
      }
    }
  }
  run(std::move(a));
}

void BothClipboards::pictureTaken(uint64_t generation) {
  std::optional<Inner> inner;
  {
    std::lock_guard lock(mutex_);
    if (const auto it = contents_.find(generation); it != contents_.end()) inner = it->second.inner;
  }
  if (inner) sides_[size_t(inner->side)]->handedOver(inner->generation);
}

void BothClipboards::clearContent(uint64_t generation) {
  Actions a;
  {
    std::lock_guard lock(mutex_);
    const auto it = contents_.find(generation);
    if (it != contents_.end()) a.empty.push_back(it->second.inner);
    if (copy_ && copy_->of == generation) {
      const Copy copy = *copy_;
      copy_.reset();
      const bool readAs = read_ && read_->generation == generation &&
                          std::find(copy.inner.types.begin(), copy.inner.types.end(), read_->type) !=
                              copy.inner.types.end();
      if (generation == 0 || !copy.owned) {
        a.empty.push_back(copy.inner);
      } else if (readAs && it != contents_.end()) {
        checking_ = Check{copy.inner, *read_, it->second.inner};
        a.empty.clear();  // once the copy has been read
        a.read = std::make_pair(copy.inner, read_->type);
      } else {
        a.tell = copyAsContent(copy.inner, true);
      }
    }
  }
  run(std::move(a));
}

void BothClipboards::run(Actions a) {
  if (a.handOver) sides_[size_t(a.handOver->side)]->handedOver(a.handOver->generation);
  for (const Inner& inner : a.empty) sides_[size_t(inner.side)]->empty(inner.generation);
  if (a.read) sides_[size_t(a.read->first.side)]->fetch(a.read->first.generation, {a.read->second});
  if (a.answer) tellFetched(std::move(*a.answer));
  if (a.tell) tellChange(std::move(*a.tell));
}

}  // namespace pixkeep
