// OptimizeFrames: smaller colour tables and frames for the same pictures.
// Every step keeps what the animation shows on a screen (GIF89a section 23:
// transparency and disposal methods) and the frame timings.
#include <algorithm>
#include <numeric>

#include "codecs/gif/GIFImage.h"

namespace pixkeep {

namespace {

constexpr int OptimizeStages = 6;

int disposalOf(const TGIFSubImage& frame) {
  const TGIFGraphicControlExtension* control = frame.GraphicControlExtension();
  return control ? control->Disposal : 0;
}

int transparentIndexOf(const TGIFSubImage& frame) {
  return frame.Transparent() ? frame.GraphicControlExtension()->TransparentColorIndex : -1;
}

bool contains(const TGIFSubImage& outer, const TGIFSubImage& inner) {
  return inner.Left() >= outer.Left() && inner.Top() >= outer.Top() &&
         inner.Left() + inner.Width() <= outer.Left() + outer.Width() &&
         inner.Top() + inner.Height() <= outer.Top() + outer.Height();
}

// Removes every extension of the frame that `drop` picks.
template <typename Pred>
void removeExtensions(TGIFSubImage& frame, Pred drop) {
  for (int i = frame.Extensions.Count() - 1; i >= 0; --i)
    if (drop(&frame.Extensions[i])) frame.Extensions.Delete(i);
}

// Announces progress through the stages of one run and ends it on every path.
class OptimizeProgress {
 public:
  OptimizeProgress(TGIFImage& image, int frames) : image_(image), total_(std::max(1, OptimizeStages * frames)) {
    image_.Progress(TProgressStage::psStarting, 0, msg::GIFOptimizing);
  }
  ~OptimizeProgress() { image_.Progress(TProgressStage::psEnding, 100, msg::GIFOptimizing); }
  OptimizeProgress(const OptimizeProgress&) = delete;
  OptimizeProgress& operator=(const OptimizeProgress&) = delete;
  void Stage(int frames) {
    done_ = std::min(total_, done_ + frames);
    image_.Progress(TProgressStage::psRunning, done_ * 100 / total_, msg::GIFOptimizing);
  }

 private:
  TGIFImage& image_;
  int total_;
  int done_ = 0;
};

}  // namespace

void TGIFImage::OptimizeFrames(TGIFOptimizeOptions options, uint8_t paletteMethod, uint8_t, int32_t) {
  if (Images.Count() == 0) return;
  // Refused before anything changes, so that the picture stays as it was.
  if (!(options & CleanupFrames) && (options & ReduceFrameColors) && paletteMethod == pmCustom)
    throw GIFException(msg::GIFInvalidReductionMethod);

  auto lock = Painters.LockList();
  Painters.StopAll(lock);
  OptimizeProgress progress(*this, Images.Count());

  if (options & OptimizeColorMaps) {
    std::vector<TGIFSubImage*> globalUsers;
    for (TGIFSubImage* frame : Images)
      if (frame->ColorMap.Count() == 0) globalUsers.push_back(frame);
    if (Header.ColorMap.Count() > 0) OptimizeColorMap(Header.ColorMap, globalUsers);
    for (TGIFSubImage* frame : Images)
      if (frame->ColorMap.Count() > 0) OptimizeColorMap(frame->ColorMap, {frame});
  }
  progress.Stage(Images.Count());

  if (options & CleanupFrames) CleanupFirstPass();
  progress.Stage(Images.Count());

  if (options & MergeFrames) {
    for (int i = Images.Count() - 1; i >= 1; --i) {
      int reference = i - 1;
      while (reference > 0 && disposalOf(Images[reference]) == 3) --reference;
      MergeFrame(Images[i], Images[reference]);
    }
  }
  progress.Stage(Images.Count());

  if (options & CropFrames) {
    for (int i = Images.Count() - 1; i >= 0; --i)
      if (Images[i].Transparent() && !Images[i].Empty()) CropFrame(i);
  }
  progress.Stage(Images.Count());

  if (options & CleanupFrames) CleanupSecondPass();
  progress.Stage(Images.Count());
  // ReduceFrameColors reduces nothing further: the frames already hold
  // at most 256 colours each.
  progress.Stage(Images.Count());
}

void TGIFImage::OptimizeColorMap(TGIFColorMap& map, const std::vector<TGIFSubImage*>& users) {
  const int count = map.Count();
  if (count <= 1) return;
  std::array<int64_t, 256> uses{};
  std::array<bool, 256> needed{};
  for (const TGIFSubImage* frame : users) {
    for (uint8_t index : frame->Data()) ++uses[index];
    // A transparent index keeps its entry even when no pixel shows it.
    const int transparent = transparentIndexOf(*frame);
    if (transparent >= 0) needed[size_t(transparent)] = true;
  }
  // Pixels beyond the table cannot be given a place in a new order; such a
  // frame is refused when it is written ("Color not in color table").
  for (int i = count; i < 256; ++i)
    if (uses[size_t(i)] > 0 || needed[size_t(i)]) return;
  for (int i = 0; i < count; ++i)
    if (uses[size_t(i)] > 0) needed[size_t(i)] = true;

  // Falling use; among equals, kept entries first, then the old order.
  std::vector<int> order(static_cast<size_t>(count));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    if (uses[size_t(a)] != uses[size_t(b)]) return uses[size_t(a)] > uses[size_t(b)];
    return needed[size_t(a)] && !needed[size_t(b)];
  });
  map.Sorted = true;
  bool unchanged = true;
  for (int i = 0; i < count; ++i) unchanged = unchanged && order[size_t(i)] == i;
  if (unchanged) return;

  std::array<uint8_t, 256> newIndex{};
  TGIFColorMap sorted;
  for (int i = 0; i < count; ++i) {
    const int old = order[size_t(i)];
    if (!needed[size_t(old)]) break;
    newIndex[size_t(old)] = uint8_t(sorted.Add(map[old]));
  }
  sorted.Sorted = true;
  for (TGIFSubImage* frame : users) {
    for (uint8_t& index : frame->Data()) index = newIndex[index];
    if (frame->Transparent()) {
      TGIFGraphicControlExtension* control = frame->GraphicControlExtension();
      control->TransparentColorIndex = newIndex[control->TransparentColorIndex];
    }
  }
  map = sorted;
}

void TGIFImage::CleanupFirstPass() {
  for (TGIFSubImage* frame : Images) {
    const int transparent = transparentIndexOf(*frame);
    if (transparent < 0) continue;
    const auto& data = frame->Data();
    if (std::find(data.begin(), data.end(), uint8_t(transparent)) == data.end())
      frame->GraphicControlExtension()->Transparent = false;
  }
  // Disposing of a frame that the next one covers wholly and opaquely
  // changes nothing on the screen.
  for (int i = 0; i + 1 < Images.Count(); ++i) {
    TGIFSubImage& frame = Images[i];
    const TGIFSubImage& next = Images[i + 1];
    const int disposal = disposalOf(frame);
    if ((disposal == 2 || disposal == 3) && !next.Transparent() && !next.Empty() && contains(next, frame))
      frame.GraphicControlExtension()->Disposal = 0;
  }
}

void TGIFImage::MergeFrame(TGIFSubImage& frame, const TGIFSubImage& reference) {
  if (frame.Empty() || reference.Empty()) return;
  const int disposal = disposalOf(reference);
  if (disposal == 2 || disposal == 3) return;
  const int left = std::max(frame.Left(), reference.Left());
  const int top = std::max(frame.Top(), reference.Top());
  const int right = std::min(frame.Left() + frame.Width(), reference.Left() + reference.Width());
  const int bottom = std::min(frame.Top() + frame.Height(), reference.Top() + reference.Height());
  if (left >= right || top >= bottom) return;
  const TGIFColorMap& colors = frame.ActiveColorMap();
  const TGIFColorMap& referenceColors = reference.ActiveColorMap();

  // The pixels that show what the reference frame already shows there. A
  // transparent pixel of the reference shows whatever lies below it, which
  // is not known here: it never counts as equal.
  const int transparent = transparentIndexOf(frame);
  const int referenceTransparent = transparentIndexOf(reference);
  std::vector<size_t> same;
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      const int p = frame.Pixel(x - frame.Left(), y - frame.Top());
      const int q = reference.Pixel(x - reference.Left(), y - reference.Top());
      if (p == transparent || q == referenceTransparent) continue;
      if (p >= colors.Count() || q >= referenceColors.Count()) continue;
      if (colors[p] == referenceColors[q])
        same.push_back(size_t(y - frame.Top()) * size_t(frame.Width()) + size_t(x - frame.Left()));
    }
  }
  if (same.empty()) return;

  int index = transparent;
  if (index < 0) {
    // A free index: a table entry no pixel of the frame uses, or a new one.
    std::array<bool, 256> used{};
    for (uint8_t p : frame.Data()) used[p] = true;
    for (int i = 0; i < colors.Count() && index < 0; ++i)
      if (!used[size_t(i)]) index = i;
    if (index < 0) {
      TGIFColorMap& table = frame.ActiveColorMap();
      if (table.Count() == 0 || table.Count() >= TGIFColorMap::MaxColors) return;
      index = table.Add(TGIFColor{});
      // The new entry is not in the order of use.
      table.Sorted = false;
    }
    TGIFGraphicControlExtension& control = frame.EnsureGraphicControlExtension();
    control.Transparent = true;
    control.TransparentColorIndex = uint8_t(index);
  }
  for (size_t i : same) frame.Data()[i] = uint8_t(index);
}

void TGIFImage::CropFrame(int i) {
  TGIFSubImage& frame = Images[i];
  // Disposal to the background clears the whole rectangle: a smaller frame
  // would clear less.
  if (disposalOf(frame) == 2) return;
  const int transparent = transparentIndexOf(frame);
  int left = frame.Width(), top = frame.Height(), right = -1, bottom = -1;
  for (int y = 0; y < frame.Height(); ++y)
    for (int x = 0; x < frame.Width(); ++x)
      if (frame.Pixel(x, y) != transparent) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
  if (right >= 0) {
    if (left > 0 || top > 0 || right + 1 < frame.Width() || bottom + 1 < frame.Height())
      frame.Crop(left, top, right - left + 1, bottom - top + 1);
    return;
  }

  // Nothing visible: the frame only stands for time, which the frame before
  // it can show instead, as long as that frame stays on the screen meanwhile
  // (it is not disposed of) and nobody waits for input here. The first
  // frame has none before it, and a picture keeps at least one frame.
  const TGIFGraphicControlExtension* control = frame.GraphicControlExtension();
  if (i == 0 || control->UserInput) return;
  TGIFSubImage& previous = Images[i - 1];
  if (control->Delay != 0 && disposalOf(previous) >= 2) return;
  if (control->Delay != 0) {
    TGIFGraphicControlExtension& before = previous.EnsureGraphicControlExtension();
    before.Delay = uint16_t(std::min(0xFFFF, before.Delay + control->Delay));
  }
  Images.Delete(i);
}

void TGIFImage::CleanupSecondPass() {
  for (int i = Images.Count() - 1; i >= 0; --i) {
    TGIFSubImage& frame = Images[i];
    const bool single = Images.Count() == 1;
    const bool keepLoop = i == 0 && !single;
    removeExtensions(frame, [&](TGIFExtension* extension) {
      if (dynamic_cast<TGIFAppExtNSLoop*>(extension)) return !keepLoop;
      return dynamic_cast<TGIFCommentExtension*>(extension) != nullptr ||
             dynamic_cast<TGIFTextExtension*>(extension) != nullptr ||
             dynamic_cast<TGIFUnknownAppExtension*>(extension) != nullptr;
    });
    removeExtensions(frame, [&](TGIFExtension* extension) {
      auto* control = dynamic_cast<TGIFGraphicControlExtension*>(extension);
      return control && (control->Delay == 0 || single) && !control->Transparent && !control->UserInput &&
             (control->Disposal < 2 || single);
    });
    // The last frame stays: a picture without frames cannot be written.
    if (frame.Empty() && frame.Extensions.Count() == 0 && Images.Count() > 1) Images.Delete(i);
  }
}

}  // namespace pixkeep
