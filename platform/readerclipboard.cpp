#include "platform/readerclipboard.h"

#include <algorithm>
#include <cctype>

#include "platform/ascii.h"

namespace pixkeep {

namespace {

bool isMetafileType(const std::string& t) {
  return t == "image/svg+xml" || t == "image/x-emf" || t == "image/x-wmf" || t == "image/emf" || t == "image/wmf";
}

}  // namespace

ReaderClipboard::ReaderClipboard(std::unique_ptr<ClipboardReader> reader, std::vector<PictureType> types)
    : reader_(std::move(reader)), types_(std::move(types)) {
  for (PictureType& t : types_) t.mimeType = asciiLower(t.mimeType);
}

// A reader with a thread of its own ends it before anything here goes.
ReaderClipboard::~ReaderClipboard() { reader_.reset(); }

void ReaderClipboard::listen() {
  if (!reader_) return;
  // A reader may report from a thread of its own; its news is taken in on ours.
  ClipboardReader::Events events;
  events.changed = [this](const ClipboardReader::Change& c) { post([this, c] { changed(c); }); };
  events.fetched = [this](const ClipboardReader::Fetched& f) { post([this, f] { fetched(f); }); };
  reader_->setEvents(std::move(events));
}

unsigned ReaderClipboard::registerFormat(const std::string& name) {
  auto it = registered_.find(name);
  if (it != registered_.end()) return it->second;
  unsigned n = 0xC000 + unsigned(registered_.size());
  registered_[name] = n;
  return n;
}

const ReaderClipboard::PictureType* ReaderClipboard::listed(const std::string& type) const {
  const std::string l = asciiLower(type);
  for (const PictureType& t : types_)
    if (t.mimeType == l) return &t;
  return nullptr;
}

bool ReaderClipboard::isPictureType(const std::string& type) const {
  const std::string l = asciiLower(type);
  if (isMetafileType(l)) return false;
  if (const PictureType* t = listed(l)) return !t->platformConverts || converts(l);
  return l.rfind("image/", 0) == 0 && converts(l);
}

unsigned ReaderClipboard::formatOf(const std::string& type) {
  const std::string l = asciiLower(type);
  if (l == "image/gif") return registerFormat("GIF Image");
  if (isMetafileType(l)) return CF_ENHMETAFILE;
  if (l == "application/x-qt-image" || isPictureType(l)) return CF_BITMAP;
  if (l.rfind("text/", 0) == 0 || l == "utf8_string" || l == "string" || l == "text") return CF_TEXT;
  return registerFormat(type);
}

void ReaderClipboard::changed(const ClipboardReader::Change& change) {
  if (change.generation < generation_) return;  // a newer one was told first
  // A fetched picture not taken yet is gone with its content.
  if (fetch_ == Fetch::Done && fetched_ && reader_) reader_->handedOver(generation_);
  generation_ = change.generation;
  offered_ = change.types;
  formats_.clear();
  for (const std::string& t : offered_) {
    const unsigned f = formatOf(t);
    if (std::find(formats_.begin(), formats_.end(), f) == formats_.end()) formats_.push_back(f);
  }
  // A picture type that nothing here decodes is no bitmap.
  if (bitmapTypes().empty()) formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
  fetch_ = Fetch::NotAsked;
  fetched_.reset();
  failure_.clear();
  announceChange();
}

void ReaderClipboard::fetched(const ClipboardReader::Fetched& result) {
  if (result.generation != generation_ || fetch_ != Fetch::Asked) {
    if (result.bytes && reader_) reader_->handedOver(result.generation);
    return;
  }
  fetch_ = Fetch::Done;
  failure_ = result.failure;
  if (result.bytes) {
    const PictureType* t = listed(result.type);
    if (t && !t->platformConverts) {
      // Decoded by the image types straight into the raster; the bytes are
      // shared, not copied.
      auto bitmap = std::make_shared<PlatformBitmap>();
      const uint8_t* start = result.bytes->data();
      const size_t size = result.bytes->size();
      bitmap->encoded = EncodedPicture(asciiLower(result.type), result.bytes, start, size);
      fetched_ = std::move(bitmap);
    } else {
      fetched_ = convert(*result.bytes);
    }
    // Nothing usable: done with this content's picture.
    if (!fetched_ && reader_) reader_->handedOver(generation_);
  }
  announceChange();
}

bool ReaderClipboard::hasFormat(unsigned format) {
  return std::find(formats_.begin(), formats_.end(), format) != formats_.end();
}

std::vector<std::string> ReaderClipboard::bitmapTypes() const {
  std::vector<std::pair<int, std::string>> candidates;
  for (const std::string& t : offered_)
    if (isPictureType(t)) {
      const PictureType* p = listed(t);
      candidates.emplace_back(p ? p->preference : UnlistedPreference, t);
    }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> types;
  for (auto& c : candidates) types.push_back(std::move(c.second));
  return types;
}

Clipboard::Picture ReaderClipboard::fetchPicture() {
  Picture picture;
  if (!hasFormat(CF_BITMAP) || !reader_) return picture;
  switch (fetch_) {
    case Fetch::NotAsked:
      fetch_ = Fetch::Asked;
      failure_.clear();
      reader_->fetch(generation_, bitmapTypes());
      picture.state = Picture::State::OnItsWay;
      return picture;
    case Fetch::Asked:
      picture.state = Picture::State::OnItsWay;
      return picture;
    case Fetch::HandedOver:
      return picture;
    case Fetch::Done:
      break;
  }
  if (fetched_) {
    fetch_ = Fetch::HandedOver;
    picture.state = Picture::State::Here;
    picture.bitmap = std::move(fetched_);
    fetched_.reset();
    // Whatever replaced the content meanwhile is told after this.
    reader_->handedOver(generation_);
    return picture;
  }
  // Nothing usable: forget the bitmap until the clipboard changes again, so
  // that the failure is reported once and not on every tick.
  fetch_ = Fetch::HandedOver;
  formats_.erase(std::remove(formats_.begin(), formats_.end(), CF_BITMAP), formats_.end());
  picture.state = failure_.empty() ? Picture::State::Unusable : Picture::State::NotHandedOver;
  picture.failure = failure_;
  return picture;
}

void ReaderClipboard::emptyContent(uint64_t generation) {
  // Only the content that was read: an owner that took the clipboard since
  // keeps it.
  if (reader_) reader_->empty(generation);
}

}  // namespace pixkeep
