#include "platform/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"

namespace pixkeep {

void Stream::readBuffer(void* buffer, size_t count) {
  if (count != 0 && read(buffer, count) != count) throw EReadError(msg::StreamReadError, errorText());
}

void Stream::writeBuffer(const void* buffer, size_t count) {
  if (count != 0 && write(buffer, count) != count) throw EWriteError(msg::StreamWriteError, errorText());
}

size_t MemoryStream::read(void* buffer, size_t count) {
  if (pos_ >= data_.size()) return 0;
  size_t n = std::min<uint64_t>(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

size_t MemoryStream::write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  if (pos_ > data_.size()) data_.resize(pos_);
  // Overwrite what is already there, append the rest (without zero-filling first).
  size_t overlap = size_t(std::min<uint64_t>(count, data_.size() - pos_));
  if (overlap > 0) std::memcpy(data_.data() + pos_, p, overlap);
  if (overlap < count) {
    if (data_.size() + (count - overlap) > data_.capacity())
      data_.reserve(std::max<size_t>(data_.size() + (count - overlap), data_.capacity() * 2));
    data_.insert(data_.end(), p + overlap, p + count);
  }
  pos_ += count;
  return count;
}

size_t FdStream::read(void* buffer, size_t count) {
  size_t done = 0;
  auto* p = static_cast<uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::read(fd_, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = errno;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

size_t FdStream::write(const void* buffer, size_t count) {
  size_t done = 0;
  auto* p = static_cast<const uint8_t*>(buffer);
  while (done < count) {
    ssize_t n = ::write(fd_, p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error_ = errno;
    if (n == 0) error_ = ENOSPC;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

std::string FdStream::errorText() const { return error_ ? std::strerror(error_) : std::string(); }

uint64_t FdStream::position() const {
  off_t p = ::lseek(fd_, 0, SEEK_CUR);
  return p < 0 ? 0 : uint64_t(p);
}

uint64_t FdStream::size() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return 0;
  return uint64_t(st.st_size);
}

}  // namespace pixkeep
