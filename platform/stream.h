// Byte streams used by the picture writers and the BMP reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pixkeep {

class Stream {
 public:
  virtual ~Stream() = default;
  // Both return the number of bytes actually moved; they never throw.
  virtual size_t read(void* buffer, size_t count) = 0;
  virtual size_t write(const void* buffer, size_t count) = 0;
  virtual uint64_t position() const = 0;
  virtual uint64_t size() const = 0;

  uint64_t remaining() const { return size() > position() ? size() - position() : 0; }
  // Why the last short read or write fell short, as the system says it; empty when unknown.
  virtual std::string errorText() const { return {}; }
  // Whole reads and writes: anything short raises "Stream read error" or
  // "Stream write error".
  void readBuffer(void* buffer, size_t count);
  void writeBuffer(const void* buffer, size_t count);
};

class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}
  size_t read(void* buffer, size_t count) override;
  size_t write(const void* buffer, size_t count) override;
  uint64_t position() const override { return pos_; }
  uint64_t size() const override { return data_.size(); }
  void seek(uint64_t pos) { pos_ = pos; }
  void reserve(size_t n) { data_.reserve(n); }
  void clear() { data_.clear(); pos_ = 0; }
  const std::vector<uint8_t>& bytes() const { return data_; }
  std::vector<uint8_t> take() { pos_ = 0; return std::move(data_); }

 private:
  std::vector<uint8_t> data_;
  uint64_t pos_ = 0;
};

// A stream over an open file descriptor (the descriptor is not owned).
class FdStream : public Stream {
 public:
  explicit FdStream(int fd) : fd_(fd) {}
  size_t read(void* buffer, size_t count) override;
  size_t write(const void* buffer, size_t count) override;
  uint64_t position() const override;
  uint64_t size() const override;
  std::string errorText() const override;

 private:
  int fd_;
  int error_ = 0;  // errno of the last failed call
};

// Little-endian field writer for the BMP header.
class LittleEndianWriter {
 public:
  explicit LittleEndianWriter(std::vector<uint8_t>& out) : out_(out) {}
  void u16(uint16_t v) { out_.push_back(uint8_t(v)); out_.push_back(uint8_t(v >> 8)); }
  void u32(uint32_t v) { for (int i = 0; i < 4; ++i) out_.push_back(uint8_t(v >> (8 * i))); }
  void i32(int32_t v) { u32(uint32_t(v)); }

 private:
  std::vector<uint8_t>& out_;
};

inline uint16_t getU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t getU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace pixkeep
