#include "platform/clipboardreader.h"

#include <algorithm>

#include "platform/memory.h"

namespace pixkeep {

std::optional<std::chrono::milliseconds> ClipboardReader::Attempts::failed(std::string& failure,
                                                                          Clock::time_point now) {
  if (now - start_ >= timing_.total) {
    failure += triesNote(count_, now - start_);
    return std::nullopt;
  }
  const std::chrono::milliseconds pause = pause_;
  pause_ = std::min(pause_ * 2, timing_.longestPause);
  ++count_;
  return pause;
}

size_t ClipboardReader::transferLimit(uint64_t available) {
  return size_t(std::min<uint64_t>(MaxBytes, memoryBudget(available)));
}

std::string ClipboardReader::tooLarge(size_t limit, uint64_t available) {
  std::string why = "the clipboard's content is larger than " + bytesText(double(limit));
  if (limit < MaxBytes) why += ", a quarter of the memory free now (" + bytesText(double(available)) + ")";
  return why;
}

std::string ClipboardReader::triesNote(int attempts, Clock::duration spent) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(spent).count() / 100;
  return " (" + std::to_string(attempts) + (attempts == 1 ? " try" : " tries") + " in " +
         std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s)";
}

void ClipboardReader::setEvents(Events events) {
  events_ = std::move(events);
  eventsSet();
}

void ClipboardReader::fetch(uint64_t generation, std::vector<std::string> types) {
  {
    std::lock_guard lock(mutex_);
    busy_ = generation;
  }
  startFetch(generation, std::move(types));
}

void ClipboardReader::handedOver(uint64_t generation) {
  std::optional<Change> held;
  bool waited = false;
  {
    std::lock_guard lock(mutex_);
    if (busy_ == generation) {
      waited = true;
      busy_.reset();
      held = std::move(held_);
      held_.reset();
    }
  }
  if (held && events_.changed) events_.changed(*held);
  if (waited) pictureTaken(generation);
}

uint64_t ClipboardReader::beginContent() {
  std::lock_guard lock(mutex_);
  return ++content_;
}

uint64_t ClipboardReader::content() const {
  std::lock_guard lock(mutex_);
  return content_;
}

void ClipboardReader::tellChange(Change change) {
  {
    std::lock_guard lock(mutex_);
    if (busy_) {
      if (!held_ || held_->generation <= change.generation) held_ = std::move(change);
      return;
    }
  }
  if (events_.changed) events_.changed(change);
}

void ClipboardReader::tellFetched(Fetched fetched) {
  std::optional<Change> held;
  {
    std::lock_guard lock(mutex_);
    if (busy_ != fetched.generation) {
      // An answer nobody waits for (a later fetch was asked): dropped.
      return;
    }
    if (!fetched.bytes) {
      // Nothing to take: whatever came meanwhile is told at once, and a
      // content that was replaced needs no report of its failure.
      busy_.reset();
      held = std::move(held_);
      held_.reset();
    }
  }
  if (held) {
    if (events_.changed) events_.changed(*held);
    return;
  }
  if (events_.fetched) events_.fetched(fetched);
}

}  // namespace pixkeep
