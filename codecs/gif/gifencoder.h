// The table-based image data of one GIF frame (GIF89a, section 22): the LZW
// minimum code size, variable-length codes packed least significant bit
// first into data sub-blocks of at most 255 bytes, and the block terminator.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "codecs/gif/giferrors.h"
#include "platform/stream.h"

namespace pixkeep {

// What the encoder takes from a frame.
struct GIFFrameData {
  int32_t width = 0;
  int32_t height = 0;
  bool interlaced = false;            // the descriptor's interlace flag: rows go out in four passes
  std::span<const uint8_t> pixels;    // colour indices, width × height, rows top to bottom; empty: no pixels
  uint8_t bitsPerPixel = 8;           // BitsForCount of the colour table (raised to 2 by the encoder)
  int32_t colourCount = 256;          // entries in the colour table; a pixel at or above it is an error
};

// Warnings of the GIF writer (code and text); nothing raises one while writing a frame.
using TGIFWarning = std::function<void(int code, const std::string& message)>;

// A stream that only serves the GIF writer; the generic operations are not
// available on it and raise "Invalid stream operation".
class TGIFStream : public Stream {
 public:
  TGIFStream(Stream& targetStream, TGIFWarning onWarning) : target(targetStream), warning(std::move(onWarning)) {}
  size_t read(void* buffer, size_t count) override;
  size_t write(const void* buffer, size_t count) override;
  uint64_t position() const override;
  uint64_t size() const override;

 protected:
  Stream& target;
  TGIFWarning warning;
  std::function<void()> progress;
  std::array<uint8_t, 256> buffer{};  // byte 0: sub-block length; bytes 1..255: data
  int32_t used = 1;                   // bytes of the buffer in use, including the length byte
};

// Cuts the bytes written to it into data sub-blocks of at most 255 bytes; no
// empty sub-block is ever written. A sub-block the target does not take whole
// raises "Stream write error". flush() writes the bytes still held as the last
// sub-block. Destroying the writer does the same for an error path, where a
// failing write cannot be reported and the error already on its way is the one
// that counts; a normal path calls flush() itself.
class TGIFWriter final : public TGIFStream {
 public:
  explicit TGIFWriter(Stream& targetStream, TGIFWarning onWarning = nullptr);
  ~TGIFWriter() override;
  TGIFWriter(const TGIFWriter&) = delete;
  TGIFWriter& operator=(const TGIFWriter&) = delete;

  size_t write(const void* bytes, size_t count) override;
  void writeByte(uint8_t byte) {
    dirty = true;
    buffer[size_t(used++)] = byte;
    if (used == 256) flush();
  }
  // The low `count` bytes of `bits` (one or two), the lowest first.
  void writeBytes(uint32_t bits, int32_t count) {
    if (used + count < 256) {
      // Both bytes are stored; a second one beyond `count` is overwritten by
      // the next write before anything reads it.
      buffer[size_t(used)] = uint8_t(bits);
      buffer[size_t(used) + 1] = uint8_t(bits >> 8);
      used += count;
      dirty = true;
      return;
    }
    for (int32_t i = 0; i < count; ++i) writeByte(uint8_t(bits >> (8 * i)));
  }
  void flush();

 private:
  bool dirty = false;
};

// The LZW string table: a flat array of 8009 slots, each empty (all ones) or
// holding key × 4096 + code, where key = prefix code × 256 + pixel (20 bits)
// and code is the 12-bit table code.
class THashTable {
 public:
  static constexpr uint32_t Slots = 8009;
  static constexpr uint32_t Empty = 0xFFFFFFFF;
  // A slot whose upper 20 bits are all ones is empty; keys never reach that
  // value, since codes stop at 4094.
  static bool isEmpty(uint32_t entry) { return (entry >> 12) == (Empty >> 12); }

  THashTable();
  void clear();
  void store(uint32_t key, int32_t code);
  // The code stored for `key`, or −1.
  int32_t find(uint32_t key) const;
  void storeAt(uint32_t slot, uint32_t key, int32_t code) { slots[slot] = (key << 12) | (uint32_t(code) & 4095); }
  const uint32_t* data() const { return slots.get(); }

  // The slot that holds `key`, or else the empty slot where it belongs, so
  // that a miss followed by an insert probes once.
  static uint32_t probe(const uint32_t* slots, uint32_t key) {
    uint32_t h = primarySlot(key);
    for (int32_t step = 0; (slots[h] >> 12) != key && !isEmpty(slots[h]); ++step) h = nextSlot(h, step);
    return h;
  }

  // ((key >> 4) XOR key) mod 8009. The operand stays below 2^20, where the
  // quotient is exactly (x × 1072536) >> 33; cheaper than a general division.
  static uint32_t primarySlot(uint32_t key) {
    const uint32_t x = (key >> 4) ^ key;
    return x - uint32_t((uint64_t(x) * 1072536u) >> 33) * Slots;
  }
  // The probe step doubles the slot number modulo 8009 (from slot 0 it goes
  // to 8008). 2 has order 4004 modulo the prime 8009, so these steps only ever
  // visit half of the slots, and a table whose keys crowd into one half could
  // be searched forever; after one whole cycle the search therefore goes on
  // one slot at a time, which reaches every slot.
  static constexpr int32_t CycleLength = 4004;
  static uint32_t nextSlot(uint32_t h, int32_t step) {
    if (step >= CycleLength) return h + 1 == Slots ? 0 : h + 1;
    if (h == 0) return Slots - 1;
    return h >= Slots - h ? h - (Slots - h) : h + h;
  }

 private:
  std::unique_ptr<uint32_t[]> slots;
};

// The common part of the GIF image-data coders: arguments, the bit packer,
// the pixel order and the frame's framing.
class TGIFEncoder {
 public:
  virtual ~TGIFEncoder() = default;
  TGIFEncoder() = default;
  TGIFEncoder(const TGIFEncoder&) = delete;
  TGIFEncoder& operator=(const TGIFEncoder&) = delete;

  // Writes the frame's image data to `stream`: the minimum code size byte, the
  // sub-blocks and the terminator. A pixel outside the colour table raises
  // "Color not in color table" and leaves the bytes produced so far in the
  // stream, without the terminator.
  void encodeFrame(Stream& stream, const GIFFrameData& frame);

  TGIFWarning warning;  // handed to the block writer

 protected:
  virtual void emitCode(int32_t code);  // the base packer
  virtual void emitClear() = 0;
  virtual void codePixels() = 0;

  // Fewer than 8 bits are held between codes, so a code of at most 12 bits
  // completes one or two bytes.
  void packCode(int32_t code) {
    bitBuffer |= uint32_t(code) << bitCount;
    bitCount += codeWidth;
    if (bitCount >= 8) {
      const int32_t bytes = bitCount >> 3;
      writer->writeBytes(bitBuffer, bytes);
      bitBuffer >>= 8 * bytes;
      bitCount &= 7;
    }
  }
  // The next pixel's colour index; moves on to the pixel after it.
  uint8_t takePixel() {
    uint8_t value = *pixel++;
    if (value >= validLimit) throw GIFException(msg::GifColorNotInTable);
    return value;
  }
  // Whether another pixel follows in coding order (rows top to bottom, or the
  // four interlace passes of GIF89a appendix E).
  bool advancePixel() {
    if (--pixelsLeft >= 1) return true;
    return interlaced && nextInterlacedRow();
  }

  int32_t colourCount = 0;
  uint8_t bitsPerPixel = 0;
  Stream* target = nullptr;
  int32_t width = 0, height = 0;
  bool interlaced = false;
  const uint8_t* pixels = nullptr;
  TGIFWriter* writer = nullptr;
  uint32_t bitBuffer = 0;
  int32_t bitCount = 0;
  bool clearPending = false;
  int32_t codeWidth = 0;
  int32_t startWidth = 0;
  int16_t widthLimit = 0;
  int16_t clearCode = 0;
  int16_t endCode = 0;
  int16_t firstCode = 0;
  const uint8_t* pixel = nullptr;  // the next pixel to read
  int64_t pixelsLeft = 0;          // in the current row (interlaced) or in the frame
  int32_t row = 0, pass = 0;
  // Pixels at or above this value are not in the colour table: colourCount, or
  // the clear code when the table claims more colours than the code size can
  // name (such a pixel would be written as a control code).
  int32_t validLimit = 0;

  // Moves to the first pixel of the next interlaced row; false after the last.
  bool nextInterlacedRow();
};

// LZW with a hashed string table; codes are assigned up to 4094, and the
// table is cleared when it is full.
class TLZWEncoder final : public TGIFEncoder {
 protected:
  void emitCode(int32_t code) override;
  void emitClear() override;
  void codePixels() override;

 private:
  // Packs a code other than the end code at the current width; then the
  // codes widen when the next one to be assigned would not fit, or go back to
  // the starting width after a clear code.
  void emitTableCode(int32_t code) {
    packCode(code);
    if (nextCode > widthLimit || clearPending) nextWidth();
  }
  void nextWidth();

  int16_t matchCode = 0;
  int16_t nextCode = 0;
  THashTable* table = nullptr;
  // For each code, the pixel and code of the string last found or entered as
  // its continuation (pixel × 4096 + code; all ones when none): a hit skips
  // the hashed table, which gives the same answer. Emptied with the table.
  std::unique_ptr<uint32_t[]> lastChild;
};

// A coder without a string table that writes long runs of one colour as few
// codes: after a clear, the codes p, firstCode, firstCode + 1, … make any LZW
// decoder's table hold runs of p of length 2, 3, …
class TRLEEncoder final : public TGIFEncoder {
 protected:
  void emitCode(int32_t code) override;
  void emitClear() override;
  void codePixels() override;

 private:
  void emitPlain(int32_t code);
  void flushRun(int64_t n);
  void runFromClear(int64_t n);
  void runClearOrRepeat(int64_t n);
  void runWithTable(int64_t n);

  int32_t tableCodeLimit = 0;
  int32_t bumpStart = 0;
  int32_t clearStart = 0;
  int32_t codesSinceClear = 0;
  int32_t nextBump = 0;
  int32_t clearAt = 0;
  int32_t runPixel = -1;
  int32_t runCodeMax = 0;
  int32_t runCodePixel = -1;
};

// The number of codes `n` pixels of one colour take when run codes of length
// 1..m are available in turn.
int64_t triangleCost(int64_t n, int64_t m);

// The coder a picture's codingMethod selects: 1 the run-length coder, any
// other value LZW.
std::unique_ptr<TGIFEncoder> createGIFEncoder(int codingMethod);

}  // namespace pixkeep
