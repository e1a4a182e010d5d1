#include "capture/capturecycle.h"

#include <algorithm>

#include "raster/errors.h"
#include "config/texts.h"

namespace pixkeep {

CaptureCycle::CaptureCycle(Clipboard& clipboard, std::vector<ImageType> types, CaptureQueue::Events events,
                           size_t memoryLimit)
    : clipboard_(clipboard), pipeline_(std::move(types)), queue_(pipeline_, std::move(events), memoryLimit) {}

std::string CaptureCycle::statusText() const {
  return substitute(picturesTemplate, "%p",
                    std::to_string(pipeline_.pictureCounter) + "/" + std::to_string(MaxPictures));
}

void CaptureCycle::discardAtStart() { discard_ = clipboard_.generation(); }

void CaptureCycle::noPicture() {
  if (discard_) {
    const uint64_t now = clipboard_.generation();
    if (*discard_ != now) {
      discard_.reset();  // replaced: nothing of the start is left
    } else if (clipboard_.hasFormat(CF_TEXT)) {
      // A text there at start goes too. (Until the clipboard has told what
      // it holds, it may look empty: the content is looked at again then.)
      discard_.reset();
      clipboard_.emptyContent(now);
    }
  }
  // A text copied after the picture: the same picture coming after it is
  // copied anew, not put back.
  if (clipboard_.hasFormat(CF_TEXT)) lastTaken_.reset();
}

void CaptureCycle::confirmTaken(CaptureJob& job) {
  lastContent_ = job.generation;
  lastSeen_ = clock();
  lastTaken_ = job.bitmap;
  pending_.push_back(Pending{job.generation, lastSeen_ + ManagersReadWithin, false});
  job.needsCheck = false;
  job.previous.reset();
}

void CaptureCycle::emptyNow(uint64_t generation) {
  clipboard_.emptyContent(generation);
  // A clipboard manager puts its copy back after this.
  if (generation == lastContent_) lastSeen_ = clock();
}

void CaptureCycle::safe(uint64_t generation) {
  for (Pending& p : pending_)
    if (p.generation == generation) p.safe = true;
}

void CaptureCycle::lost(uint64_t generation) {
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                [&](const Pending& p) { return p.generation == generation; }),
                 pending_.end());
}

void CaptureCycle::emptyAll() {
  std::vector<Pending> all;
  all.swap(pending_);
  for (const Pending& p : all) emptyNow(p.generation);
}

std::optional<CaptureCycle::Clock::time_point> CaptureCycle::emptyDue() {
  const Clock::time_point now = clock();
  std::optional<Clock::time_point> next;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->safe && it->due <= now) {
      const uint64_t generation = it->generation;
      it = pending_.erase(it);
      emptyNow(generation);
      continue;
    }
    if (it->safe && (!next || it->due < *next)) next = it->due;
    ++it;
  }
  return next;
}

CaptureCycle::Tick CaptureCycle::tick(const CaptureOptions& o) {
  fetching_ = false;
  if (!clipboard_.hasFormat(CF_BITMAP)) {
    noPicture();
    return Tick::Idle;
  }
  // While a picture is being checked the next one is taken after it, to
  // keep their order; while the waiting pictures fill their memory, the
  // newest stays on the clipboard.
  if (checking_) return Tick::Checking;
  if (!queue_.hasRoom()) return Tick::Idle;
  std::optional<CaptureJob> job = take(o);
  if (!job) return Tick::Idle;
  if (job->needsCheck) {
    checking_ = true;
    queue_.check(std::move(*job));
    return Tick::Checking;
  }
  queue_.push(std::move(*job));
  return Tick::Taken;
}

void CaptureCycle::checked(CaptureJob job, bool restore) {
  checking_ = false;
  if (restore) return;  // left on the clipboard
  confirmTaken(job);
  queue_.push(std::move(job));
}

std::optional<CaptureJob> CaptureCycle::take(const CaptureOptions& o) {
  if (discard_ && *discard_ != clipboard_.generation()) discard_.reset();
  // The picture that was there at start is read (so that a clipboard
  // manager's copy of it is known) and emptied, never saved nor reported.
  const bool discarding = discard_.has_value();
  if (!discarding) pipeline_.writableType(o.typeIndex);
  CaptureJob job;
  job.generation = clipboard_.generation();
  if (taken_ == job.generation) return std::nullopt;
  // The bitmap is taken even when the clipboard lists another picture
  // format ahead of it: only a raster can be stamped and saved.
  const std::vector<unsigned> formats = clipboard_.formats();
  const bool listed = std::find(formats.begin(), formats.end(), CF_BITMAP) != formats.end();
  Clipboard::Picture picture;
  if (listed) picture = clipboard_.fetchPicture();
  using State = Clipboard::Picture::State;
  if (picture.state == State::OnItsWay) {
    fetching_ = true;
    return std::nullopt;
  }
  if (picture.state != State::Here && !discarding) {
    if (!listed) throw EInvalidGraphic(msg::InvalidClipboardFormat);
    if (picture.state == State::NotHandedOver) throw EClipboardException(msg::PictureNotHandedOver, picture.failure);
    throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
  }
  job.bitmap = std::move(picture.bitmap);
  job.palette = std::move(picture.palette);
  taken_ = job.generation;
  if (discarding) {
    // Never saved: emptied once managers had their time to read it (it may
    // have been copied just before the start), and known as the picture
    // taken last.
    discard_.reset();
    if (job.bitmap) {
      lastContent_ = job.generation;
      lastTaken_ = job.bitmap;
      lastSeen_ = clock();
    }
    pending_.push_back(Pending{job.generation, clock() + ManagersReadWithin, true});
    return std::nullopt;
  }
  job.options = o;
  job.outputDirectory = outputDirectory;
  // Shortly after we took a picture (or emptied the clipboard of it), the
  // same picture again is a clipboard manager's copy: one that takes every
  // new picture over, or one that puts its last entry back once we emptied
  // the clipboard (some clear it first).
  if (lastTaken_ && lastContent_ && job.generation > *lastContent_ && clock() - lastSeen_ <= RestoreInterval) {
    job.previous = lastTaken_;
    job.previousGeneration = *lastContent_;
    switch (compareWithoutDecoding(*job.previous, *job.bitmap)) {
      case Sameness::Same: return std::nullopt;  // left on the clipboard
      case Sameness::Different: break;
      case Sameness::Unknown: job.needsCheck = true; return job;
    }
  }
  // The picture is held now; the clipboard is emptied of it once it is safe.
  confirmTaken(job);
  return job;
}

}  // namespace pixkeep
