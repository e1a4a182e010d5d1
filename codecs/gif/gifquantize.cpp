// Palettes computed from a picture: the octree quantiser and Wu's
// variance-minimising colour cut.
#include <algorithm>
#include <array>

#include "codecs/gif/gifreduce.h"

namespace pixkeep {

// An octree over the colour cube: level n splits on bit 7 - n of red, green
// and blue. Leaves sum the colours that reach them; when there are more
// leaves than colours wanted, the most recently made node of the deepest
// level is folded into one leaf.
struct TColorQuantizer::Impl {
  struct TOctreeNode {
    std::array<int32_t, 8> children;
    uint64_t red = 0, green = 0, blue = 0;
    uint32_t count = 0;
    bool leaf = false;
  };
  static constexpr int Depth = 8;

  explicit Impl(int colors) : maxColors(colors) { root = makeNode(0); }

  int32_t makeNode(int level) {
    int32_t index;
    if (!freeNodes.empty()) {
      index = freeNodes.back();
      freeNodes.pop_back();
    } else {
      index = int32_t(nodes.size());
      nodes.emplace_back();
    }
    TOctreeNode& node = nodes[size_t(index)];
    node = TOctreeNode{};
    node.children.fill(-1);
    if (level == Depth) {
      node.leaf = true;
      ++leaves;
    } else {
      reducible[size_t(level)].push_back(index);
    }
    return index;
  }

  void add(uint8_t r, uint8_t g, uint8_t b) {
    int32_t node = root;
    for (int level = 0; !nodes[size_t(node)].leaf; ++level) {
      const int shift = 7 - level;
      const size_t branch = size_t((((r >> shift) & 1) << 2) | (((g >> shift) & 1) << 1) | ((b >> shift) & 1));
      int32_t child = nodes[size_t(node)].children[branch];
      if (child < 0) {
        child = makeNode(level + 1);
        nodes[size_t(node)].children[branch] = child;
      }
      node = child;
    }
    TOctreeNode& leaf = nodes[size_t(node)];
    leaf.red += r;
    leaf.green += g;
    leaf.blue += b;
    ++leaf.count;
    while (leaves > maxColors) reduce();
  }

  void reduce() {
    int level = Depth - 1;
    while (level > 0 && reducible[size_t(level)].empty()) --level;
    if (reducible[size_t(level)].empty()) return;
    const int32_t index = reducible[size_t(level)].back();
    reducible[size_t(level)].pop_back();
    TOctreeNode& node = nodes[size_t(index)];
    // The deepest nodes with children have only leaves below them.
    for (int32_t& child : node.children) {
      if (child < 0) continue;
      const TOctreeNode& c = nodes[size_t(child)];
      node.red += c.red;
      node.green += c.green;
      node.blue += c.blue;
      node.count += c.count;
      freeNodes.push_back(child);
      child = -1;
      --leaves;
    }
    node.leaf = true;
    ++leaves;
  }

  void collect(int32_t index, std::vector<RGBQuad>& out) const {
    const TOctreeNode& node = nodes[size_t(index)];
    if (node.leaf) {
      if (node.count == 0) return;
      auto mean = [&](uint64_t sum) { return uint8_t((sum + node.count / 2) / node.count); };
      out.push_back(rgbQuad(mean(node.red), mean(node.green), mean(node.blue)));
      return;
    }
    for (int32_t child : node.children)
      if (child >= 0) collect(child, out);
  }

  int maxColors;
  int leaves = 0;
  int32_t root = -1;
  std::vector<TOctreeNode> nodes;
  std::vector<int32_t> freeNodes;
  std::array<std::vector<int32_t>, Depth> reducible;
};

TColorQuantizer::TColorQuantizer(int maxColors) : impl_(std::make_unique<Impl>(std::max(maxColors, 1))) {}
TColorQuantizer::~TColorQuantizer() = default;

void TColorQuantizer::AddColor(uint8_t red, uint8_t green, uint8_t blue) { impl_->add(red, green, blue); }

std::vector<RGBQuad> TColorQuantizer::Palette() const {
  std::vector<RGBQuad> out;
  impl_->collect(impl_->root, out);
  return out;
}

namespace {

// Xiaolin Wu, "Efficient Statistical Computations for Optimal Color
// Quantization" (Graphics Gems II): cumulative moments over a 32-level cube
// (index 0 is a zero border), then boxes are cut where the summed squared
// error falls most until there are enough of them.
class WuQuantizer {
 public:
  static constexpr int Side = 33;

  WuQuantizer()
      : weight_(Size, 0), red_(Size, 0), green_(Size, 0), blue_(Size, 0), squares_(Size, 0.0) {}

  void add(uint8_t r, uint8_t g, uint8_t b) {
    const size_t i = at((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
    weight_[i] += 1;
    red_[i] += r;
    green_[i] += g;
    blue_[i] += b;
    squares_[i] += double(r * r + g * g + b * b);
  }

  std::vector<RGBQuad> palette(int maxColors) {
    accumulate();
    std::vector<Box> boxes(static_cast<size_t>(maxColors));
    std::vector<double> variance(static_cast<size_t>(maxColors), 0.0);
    boxes[0] = Box{0, Side - 1, 0, Side - 1, 0, Side - 1};
    int count = 1;
    int next = 0;
    for (int i = 1; i < maxColors; ++i) {
      if (cut(boxes[size_t(next)], boxes[size_t(i)])) {
        variance[size_t(next)] = volume(boxes[size_t(next)]) > 1 ? spread(boxes[size_t(next)]) : 0.0;
        variance[size_t(i)] = volume(boxes[size_t(i)]) > 1 ? spread(boxes[size_t(i)]) : 0.0;
        count = i + 1;
      } else {
        variance[size_t(next)] = 0.0;
        --i;
      }
      next = 0;
      double largest = variance[0];
      for (int k = 1; k <= i; ++k)
        if (variance[size_t(k)] > largest) {
          largest = variance[size_t(k)];
          next = k;
        }
      if (largest <= 0.0) break;
    }
    std::vector<RGBQuad> out;
    for (int i = 0; i < count; ++i) {
      const Box& box = boxes[size_t(i)];
      const int64_t w = sum(box, weight_);
      if (w <= 0) continue;
      auto mean = [&](int64_t total) { return uint8_t((total + w / 2) / w); };
      out.push_back(rgbQuad(mean(sum(box, red_)), mean(sum(box, green_)), mean(sum(box, blue_))));
    }
    return out;
  }

 private:
  static constexpr size_t Size = size_t(Side) * Side * Side;
  enum Axis { Red, Green, Blue };
  // Exclusive lower and inclusive upper corners.
  struct Box {
    int r0 = 0, r1 = 0, g0 = 0, g1 = 0, b0 = 0, b1 = 0;
  };

  static size_t at(int r, int g, int b) { return (size_t(r) * Side + size_t(g)) * Side + size_t(b); }
  static int volume(const Box& b) { return (b.r1 - b.r0) * (b.g1 - b.g0) * (b.b1 - b.b0); }

  // Turns the histogram into moments summed from the origin.
  void accumulate() {
    for (int r = 1; r < Side; ++r) {
      std::array<int64_t, Side> areaW{}, areaR{}, areaG{}, areaB{};
      std::array<double, Side> areaS{};
      for (int g = 1; g < Side; ++g) {
        int64_t lineW = 0, lineR = 0, lineG = 0, lineB = 0;
        double lineS = 0;
        for (int b = 1; b < Side; ++b) {
          const size_t i = at(r, g, b), below = at(r - 1, g, b);
          lineW += weight_[i];
          lineR += red_[i];
          lineG += green_[i];
          lineB += blue_[i];
          lineS += squares_[i];
          areaW[size_t(b)] += lineW;
          areaR[size_t(b)] += lineR;
          areaG[size_t(b)] += lineG;
          areaB[size_t(b)] += lineB;
          areaS[size_t(b)] += lineS;
          weight_[i] = weight_[below] + areaW[size_t(b)];
          red_[i] = red_[below] + areaR[size_t(b)];
          green_[i] = green_[below] + areaG[size_t(b)];
          blue_[i] = blue_[below] + areaB[size_t(b)];
          squares_[i] = squares_[below] + areaS[size_t(b)];
        }
      }
    }
  }

  template <typename T>
  static T sum(const Box& c, const std::vector<T>& m) {
    return m[at(c.r1, c.g1, c.b1)] - m[at(c.r1, c.g1, c.b0)] - m[at(c.r1, c.g0, c.b1)] + m[at(c.r1, c.g0, c.b0)] -
           m[at(c.r0, c.g1, c.b1)] + m[at(c.r0, c.g1, c.b0)] + m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
  }

  // The part of sum() that does not depend on the cut position along `axis`.
  static int64_t bottom(const Box& c, Axis axis, const std::vector<int64_t>& m) {
    switch (axis) {
      case Red:
        return -m[at(c.r0, c.g1, c.b1)] + m[at(c.r0, c.g1, c.b0)] + m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
      case Green:
        return -m[at(c.r1, c.g0, c.b1)] + m[at(c.r1, c.g0, c.b0)] + m[at(c.r0, c.g0, c.b1)] - m[at(c.r0, c.g0, c.b0)];
      case Blue:
        return -m[at(c.r1, c.g1, c.b0)] + m[at(c.r1, c.g0, c.b0)] + m[at(c.r0, c.g1, c.b0)] - m[at(c.r0, c.g0, c.b0)];
    }
    return 0;
  }

  // The rest of the sum over the lower part of the box cut at `position`.
  static int64_t top(const Box& c, Axis axis, int p, const std::vector<int64_t>& m) {
    switch (axis) {
      case Red: return m[at(p, c.g1, c.b1)] - m[at(p, c.g1, c.b0)] - m[at(p, c.g0, c.b1)] + m[at(p, c.g0, c.b0)];
      case Green: return m[at(c.r1, p, c.b1)] - m[at(c.r1, p, c.b0)] - m[at(c.r0, p, c.b1)] + m[at(c.r0, p, c.b0)];
      case Blue: return m[at(c.r1, c.g1, p)] - m[at(c.r1, c.g0, p)] - m[at(c.r0, c.g1, p)] + m[at(c.r0, c.g0, p)];
    }
    return 0;
  }

  // Summed squared distance of the box's colours from their mean.
  double spread(const Box& c) const {
    const double r = double(sum(c, red_)), g = double(sum(c, green_)), b = double(sum(c, blue_));
    const double w = double(sum(c, weight_));
    return sum(c, squares_) - (r * r + g * g + b * b) / w;
  }

  // The best cut along one axis: the largest sum over both halves of
  // |mean sum|^2 / weight, or 0 with cut -1 when no cut splits the pixels.
  double maximize(const Box& c, Axis axis, int first, int last, int& cutAt, int64_t wholeR, int64_t wholeG,
                  int64_t wholeB, int64_t wholeW) const {
    const int64_t baseR = bottom(c, axis, red_), baseG = bottom(c, axis, green_), baseB = bottom(c, axis, blue_);
    const int64_t baseW = bottom(c, axis, weight_);
    double best = 0.0;
    cutAt = -1;
    for (int i = first; i < last; ++i) {
      int64_t halfR = baseR + top(c, axis, i, red_), halfG = baseG + top(c, axis, i, green_);
      int64_t halfB = baseB + top(c, axis, i, blue_), halfW = baseW + top(c, axis, i, weight_);
      if (halfW == 0) continue;
      double value = (double(halfR) * double(halfR) + double(halfG) * double(halfG) + double(halfB) * double(halfB)) /
                     double(halfW);
      halfR = wholeR - halfR;
      halfG = wholeG - halfG;
      halfB = wholeB - halfB;
      halfW = wholeW - halfW;
      if (halfW == 0) continue;
      value += (double(halfR) * double(halfR) + double(halfG) * double(halfG) + double(halfB) * double(halfB)) /
               double(halfW);
      if (value > best) {
        best = value;
        cutAt = i;
      }
    }
    return best;
  }

  bool cut(Box& first, Box& second) const {
    const int64_t wholeR = sum(first, red_), wholeG = sum(first, green_), wholeB = sum(first, blue_);
    const int64_t wholeW = sum(first, weight_);
    int cutR, cutG, cutB;
    const double maxR = maximize(first, Red, first.r0 + 1, first.r1, cutR, wholeR, wholeG, wholeB, wholeW);
    const double maxG = maximize(first, Green, first.g0 + 1, first.g1, cutG, wholeR, wholeG, wholeB, wholeW);
    const double maxB = maximize(first, Blue, first.b0 + 1, first.b1, cutB, wholeR, wholeG, wholeB, wholeW);
    Axis axis;
    if (maxR >= maxG && maxR >= maxB) {
      axis = Red;
      if (cutR < 0) return false;  // no cut splits the box
    } else if (maxG >= maxR && maxG >= maxB) {
      axis = Green;
    } else {
      axis = Blue;
    }
    second.r1 = first.r1;
    second.g1 = first.g1;
    second.b1 = first.b1;
    switch (axis) {
      case Red:
        second.r0 = first.r1 = cutR;
        second.g0 = first.g0;
        second.b0 = first.b0;
        break;
      case Green:
        second.g0 = first.g1 = cutG;
        second.r0 = first.r0;
        second.b0 = first.b0;
        break;
      case Blue:
        second.b0 = first.b1 = cutB;
        second.r0 = first.r0;
        second.g0 = first.g0;
        break;
    }
    return true;
  }

  std::vector<int64_t> weight_, red_, green_, blue_;
  std::vector<double> squares_;
};

}  // namespace

std::vector<RGBQuad> OptimizedPalette(const TDIBReader& reader, int width, int height, int maxColors) {
  if (maxColors < 1 || width <= 0 || height <= 0) return {};
  WuQuantizer wu;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = reader.Scanline(y);
    for (int x = 0; x < width; ++x, row += 3) wu.add(row[2], row[1], row[0]);
  }
  return wu.palette(std::min(maxColors, 256));
}

}  // namespace pixkeep
