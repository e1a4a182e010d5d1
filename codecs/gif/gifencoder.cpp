#include "codecs/gif/gifencoder.h"

#include <algorithm>
#include <cstring>

namespace pixkeep {

size_t TGIFStream::read(void*, size_t) { throw Exception(msg::GifInvalidStreamOperation); }
size_t TGIFStream::write(const void*, size_t) { throw Exception(msg::GifInvalidStreamOperation); }
uint64_t TGIFStream::position() const { throw Exception(msg::GifInvalidStreamOperation); }
uint64_t TGIFStream::size() const { throw Exception(msg::GifInvalidStreamOperation); }

TGIFWriter::TGIFWriter(Stream& targetStream, TGIFWarning onWarning)
    : TGIFStream(targetStream, std::move(onWarning)) {}

TGIFWriter::~TGIFWriter() {
  if (used <= 1) return;
  try {
    flush();
  } catch (const Exception&) {
  }
}

size_t TGIFWriter::write(const void* bytes, size_t count) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  size_t left = count;
  while (left > 0) {
    size_t n = std::min(left, size_t(256 - used));
    std::memcpy(buffer.data() + used, p, n);
    used += int32_t(n);
    dirty = true;
    p += n;
    left -= n;
    if (used == 256) flush();
  }
  return count;
}

void TGIFWriter::flush() {
  if (used > 1) {
    // 15. Data Sub-blocks: a length byte, then that many data bytes.
    const size_t n = size_t(used);
    buffer[0] = uint8_t(n - 1);
    // Forgotten before the write, so that bytes a failing target did not take
    // are not offered to it a second time.
    used = 1;
    dirty = false;
    target.writeBuffer(buffer.data(), n);
  }
}

THashTable::THashTable() : slots(new uint32_t[Slots]) { clear(); }

void THashTable::clear() { std::memset(slots.get(), 0xFF, Slots * sizeof(uint32_t)); }

int32_t THashTable::find(uint32_t key) const {
  const uint32_t entry = slots[probe(slots.get(), key)];
  return isEmpty(entry) ? -1 : int32_t(entry & 4095);
}

void THashTable::store(uint32_t key, int32_t code) {
  uint32_t h = primarySlot(key);
  for (int32_t step = 0; !isEmpty(slots[h]); ++step) h = nextSlot(h, step);
  storeAt(h, key, code);
}

void TGIFEncoder::encodeFrame(Stream& stream, const GIFFrameData& frame) {
  if (frame.bitsPerPixel > 8) throw GIFException(msg::GifBitsPerPixelOutOfRange);
  colourCount = frame.colourCount;
  bitsPerPixel = std::max<uint8_t>(frame.bitsPerPixel, 2);
  target = &stream;
  width = frame.width;
  height = frame.height;
  interlaced = frame.interlaced;
  pixels = frame.pixels.empty() ? nullptr : frame.pixels.data();
  const bool hasPixels = pixels != nullptr && width > 0 && height > 0;
  if (hasPixels && frame.pixels.size() / size_t(width) < size_t(height))
    throw GIFException(msg::GifPixelsShort);
  startWidth = bitsPerPixel + 1;

  // 22. Table Based Image Data: LZW Minimum Code Size.
  stream.writeBuffer(&bitsPerPixel, 1);

  codeWidth = startWidth;
  widthLimit = int16_t((1 << codeWidth) - 1);
  clearCode = int16_t(1 << bitsPerPixel);
  endCode = int16_t(clearCode + 1);
  firstCode = int16_t(clearCode + 2);
  validLimit = std::clamp<int32_t>(colourCount, 0, clearCode);
  bitBuffer = 0;
  bitCount = 0;
  clearPending = false;
  pixel = pixels;
  pixelsLeft = interlaced ? int64_t(width) : int64_t(width) * int64_t(height);
  row = 0;
  pass = 0;

  {
    TGIFWriter blocks(stream, warning);
    writer = &blocks;
    struct Forget {
      TGIFWriter*& w;
      ~Forget() { w = nullptr; }
    } forget{writer};
    if (hasPixels) codePixels();
    emitCode(endCode);
    blocks.flush();
  }  // on an error the writer still writes its held bytes as the last sub-block

  // Block Terminator.
  const uint8_t terminator = 0;
  stream.writeBuffer(&terminator, 1);
}

void TGIFEncoder::emitCode(int32_t code) {
  packCode(code);
  if (code == endCode) {
    // The last byte is completed with zero bits.
    while (bitCount > 0) {
      writer->writeByte(uint8_t(bitBuffer));
      bitBuffer >>= 8;
      bitCount -= 8;
    }
    bitCount = 0;
  }
}

bool TGIFEncoder::nextInterlacedRow() {
  // GIF89a appendix E: pass 1 every 8th row from row 0, pass 2 every 8th row
  // from row 4, pass 3 every 4th row from row 2, pass 4 every 2nd row from row 1.
  static constexpr int32_t Start[4] = {0, 4, 2, 1};
  static constexpr int32_t Step[4] = {8, 8, 4, 2};
  row += Step[pass];
  while (row >= height) {
    if (++pass > 3) return false;
    row = Start[pass];
  }
  pixelsLeft = width;
  pixel = pixels + size_t(row) * size_t(width);
  return true;
}

void TLZWEncoder::emitCode(int32_t code) {
  if (code == endCode) {
    TGIFEncoder::emitCode(code);
    if (nextCode > widthLimit || clearPending) nextWidth();
  } else {
    emitTableCode(code);
  }
}

void TLZWEncoder::nextWidth() {
  if (clearPending) {
    codeWidth = startWidth;
    widthLimit = int16_t((1 << codeWidth) - 1);
    clearPending = false;
  } else {
    ++codeWidth;
    widthLimit = int16_t(codeWidth == 12 ? 4096 : (1 << codeWidth) - 1);
  }
}

void TLZWEncoder::emitClear() {
  clearPending = true;
  emitCode(clearCode);
  table->clear();
  std::memset(lastChild.get(), 0xFF, 4096 * sizeof(uint32_t));
  nextCode = int16_t(clearCode + 2);
}

void TLZWEncoder::codePixels() {
  THashTable strings;
  table = &strings;
  lastChild.reset(new uint32_t[4096]);
  uint32_t* const recent = lastChild.get();
  struct Forget {
    THashTable*& t;
    ~Forget() { t = nullptr; }
  } forget{table};

  emitClear();
  matchCode = takePixel();
  // The pixels go in advancePixel's order, a row (interlaced) or the whole
  // frame at a time, with the hot state in locals: stores into the block
  // buffer or the table could otherwise alias the members.
  const uint32_t* const slots = strings.data();
  const uint32_t limit = uint32_t(validLimit);
  uint32_t match = uint32_t(matchCode);
  const uint8_t* p = pixel;
  const uint8_t* end = p + (pixelsLeft - 1);
  for (;;) {
    while (p != end) {
      const uint32_t value = *p++;
      if (value >= limit) throw GIFException(msg::GifColorNotInTable);
      const uint32_t cached = recent[match];
      if ((cached >> 12) == value) {
        match = cached & 4095;
        continue;
      }
      const uint32_t key = (match << 8) | value;
      const uint32_t h = THashTable::probe(slots, key);
      const uint32_t entry = slots[h];
      if (!THashTable::isEmpty(entry)) {
        recent[match] = (value << 12) | (entry & 4095);
        match = entry & 4095;
        continue;
      }
      emitTableCode(int32_t(match));
      if (nextCode >= 4095) {
        emitClear();
      } else {
        strings.storeAt(h, key, nextCode);
        recent[match] = (value << 12) | uint32_t(nextCode);
        ++nextCode;
      }
      match = value;
    }
    if (!interlaced || !nextInterlacedRow()) break;
    p = pixel;
    end = p + width;
  }
  matchCode = int16_t(match);
  emitCode(matchCode);
}

int64_t triangleCost(int64_t n, int64_t m) {
  if (n <= 0 || m <= 0) return 0;
  const int64_t t = m * (m + 1) / 2;
  int64_t cost = (n / t) * m;
  n %= t;
  if (n > 0) {
    // The smallest k with k(k + 1) >= 2n, from the integer square root of n.
    int64_t r = 1;
    for (int64_t q = n; q > 0; q /= 4) r *= 2;
    for (;;) {
      const int64_t next = (n / r + r) / 2;
      if (next == r || next == r + 1) break;
      r = next;
    }
    int64_t k = r;
    while (k > 1 && (k - 1) * k >= 2 * n) --k;
    while (k * (k + 1) < 2 * n) ++k;
    cost += k;
  }
  return cost;
}

void TRLEEncoder::emitCode(int32_t code) { TGIFEncoder::emitCode(code); }

void TRLEEncoder::emitClear() {
  nextBump = bumpStart;
  clearAt = clearStart;
  codesSinceClear = 0;
  runCodeMax = 0;
  clearPending = true;
  packCode(clearCode);
  codeWidth = startWidth;
}

void TRLEEncoder::emitPlain(int32_t code) {
  clearPending = false;
  packCode(code);
  ++codesSinceClear;
  if (codesSinceClear >= nextBump) {
    ++codeWidth;
    nextBump += 1 << (codeWidth - 1);
  }
  if (codesSinceClear >= clearAt) emitClear();
}

void TRLEEncoder::codePixels() {
  tableCodeLimit = 4095 - firstCode;
  bumpStart = clearCode - 1;
  clearStart = bitsPerPixel <= 3 ? 9 : clearCode - 2;
  runPixel = -1;
  runCodeMax = 0;
  runCodePixel = -1;
  emitClear();
  int64_t runLength = 0;
  bool more = true;
  while (more) {
    const int32_t value = takePixel();
    if (runLength > 0 && value != runPixel) {
      flushRun(runLength);
      runLength = 0;
    }
    if (value == runPixel) {
      ++runLength;
    } else {
      runPixel = value;
      runLength = 1;
    }
    more = advancePixel();
  }
  flushRun(runLength);
}

void TRLEEncoder::flushRun(int64_t n) {
  if (n == 1)
    emitPlain(runPixel);
  else if (clearPending)
    runFromClear(n);
  else if (runCodeMax >= 2 && runCodePixel == runPixel)
    runWithTable(n);
  else
    runClearOrRepeat(n);
}

void TRLEEncoder::runFromClear(int64_t n) {
  clearAt = tableCodeLimit;
  runCodePixel = runPixel;
  int32_t k = 1;
  while (n > 0) {
    if (k == 1) {
      runCodeMax = 1;
      emitPlain(runPixel);
      n -= 1;
    } else if (n >= k) {
      runCodeMax = k;
      emitPlain(firstCode + k - 2);
      n -= k;
    } else {
      // A shorter run code already in the table ends the run; it still makes
      // the decoder add the run one longer than the last.
      ++runCodeMax;
      emitPlain(n == 1 ? runPixel : firstCode + int32_t(n) - 2);
      n = 0;
      break;
    }
    k = codesSinceClear == 0 ? 1 : k + 1;
  }
  clearAt = clearStart;
  if (codesSinceClear >= clearStart) emitClear();
}

void TRLEEncoder::runClearOrRepeat(int64_t n) {
  if (n > triangleCost(n, tableCodeLimit) + 1) {
    emitClear();
    runFromClear(n);
  } else {
    for (int64_t i = 0; i < n; ++i) emitPlain(runPixel);
  }
}

void TRLEEncoder::runWithTable(int64_t n) {
  const int64_t r = runCodeMax;
  int64_t full = n / r;
  int64_t rest = n % r;
  int64_t restCost = rest > 0 ? 1 : 0;
  if (codesSinceClear + full + restCost > tableCodeLimit) {
    full = tableCodeLimit - codesSinceClear;
    rest = n - full * r;
    restCost = triangleCost(rest, tableCodeLimit) + 1;
  }
  if (triangleCost(n, tableCodeLimit) + 1 < full + restCost) {
    emitClear();
    runFromClear(n);
    return;
  }
  clearAt = tableCodeLimit;
  for (int64_t i = 0; i < full; ++i) emitPlain(firstCode + int32_t(r) - 2);
  if (rest > 0) {
    if (clearPending)
      runFromClear(rest);
    else
      emitPlain(rest == 1 ? runPixel : firstCode + int32_t(rest) - 2);
  }
  clearAt = clearStart;
  if (codesSinceClear >= clearStart) emitClear();
}

std::unique_ptr<TGIFEncoder> createGIFEncoder(int codingMethod) {
  if (codingMethod == 1) return std::make_unique<TRLEEncoder>();
  return std::make_unique<TLZWEncoder>();
}

}  // namespace pixkeep
