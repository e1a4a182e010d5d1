#include "config/profile.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "config/errors.h"
#include "platform/savefile.h"

namespace pixkeep {

namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view trim(std::string_view s) {
  s = trimLeft(s);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

constexpr char32_t Replacement = 0xFFFD;

// The length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const size_t left = s.size() - i;
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  const auto cont = [&](size_t k) { return k < left && (b(k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;  // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

bool isUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Keeps well-formed UTF-8 and puts U+FFFD for each byte that is not.
std::string validUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8SequenceLength(s, i);
    if (n == 0) {
      appendUtf8(out, Replacement);
      ++i;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

// Windows-1252; the five bytes it leaves undefined map to the C1 controls of
// the same number, as Windows itself converts them.
std::string fromWindows1252(std::string_view s) {
  static constexpr std::array<char16_t, 32> high = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(s.size() + s.size() / 2);
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    appendUtf8(out, c >= 0x80 && c < 0xA0 ? char32_t(high[c - 0x80]) : char32_t(c));
  }
  return out;
}

std::string fromUtf16(std::string_view s, bool bigEndian) {
  std::string out;
  out.reserve(s.size());
  const auto unit = [&](size_t i) {
    const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]);
    return char32_t(bigEndian ? (a << 8) | b : (b << 8) | a);
  };
  size_t i = 0;
  for (; i + 1 < s.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < s.size()) {
      char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    appendUtf8(out, c >= 0xD800 && c <= 0xDFFF ? Replacement : c);
  }
  if (i < s.size()) appendUtf8(out, Replacement);  // an odd last byte
  return out;
}

// At most `count` characters (code points) of well-formed UTF-8.
std::string_view firstCharacters(std::string_view s, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == count) return s.substr(0, i);
  }
  return s;
}

bool lineBreakOrNul(char c) { return c == '\n' || c == '\r' || c == '\0'; }

bool writableName(std::string_view name, std::string_view forbidden) {
  if (name.empty() || isBlank(name.front()) || isBlank(name.back()) || !isUtf8(name)) return false;
  for (char c : name)
    if (lineBreakOrNul(c) || forbidden.find(c) != std::string_view::npos) return false;
  return true;
}

bool isHeader(std::string_view trimmed) { return !trimmed.empty() && trimmed.front() == '[' && trimmed.find(']') != std::string_view::npos; }

// The value as it is stored so that reading it back gives it unchanged.
std::string storedForm(std::string_view value) {
  std::string v = validUtf8(value);
  for (char& c : v)
    if (lineBreakOrNul(c)) c = ' ';
  const bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  if (!v.empty() && (isBlank(v.front()) || isBlank(v.back()) || quoted)) v = '"' + v + '"';
  return v;
}

std::optional<int32_t> parseHex(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) return std::nullopt;
    value = value * 16 + uint64_t(d);
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

enum class FileState { Missing, Read, Unusable };

struct FileBytes {
  FileState state = FileState::Missing;
  std::string bytes;
  mode_t mode = 0;
};

// Opens without blocking, so that a pipe or a device named as the file
// cannot hang the program, and reads only regular files of a sane size.
FileBytes readProfileFile(const std::string& path) {
  FileBytes result;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result.state = errno == ENOENT || errno == ENOTDIR ? FileState::Missing : FileState::Unusable;
    return result;
  }
  result.state = FileState::Unusable;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) <= MaxProfileFileSize) {
    result.mode = st.st_mode & 07777;
    std::string bytes(size_t(st.st_size), '\0');
    size_t done = 0;
    bool failed = false;
    char extra;
    while (done < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = n < 0;
        break;
      }
      done += size_t(n);
    }
    bytes.resize(done);
    // A file that grew while it was read is read again next time, not half.
    ssize_t more;
    do more = ::read(fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (!failed && more == 0) {
      result.state = FileState::Read;
      result.bytes = std::move(bytes);
    }
  }
  ::close(fd);
  return result;
}

}  // namespace

std::optional<int32_t> parseProfileInteger(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.front() == '$') return parseHex(text.substr(1));
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parseHex(text.substr(2));
  const bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t(INT32_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return int32_t(value);
}

IniText IniText::fromBytes(std::string_view bytes) {
  IniText ini;
  std::string text;
  if (bytes.starts_with(ByteOrderMark)) {
    ini.byteOrderMark_ = true;
    bytes.remove_prefix(ByteOrderMark.size());
    text = isUtf8(bytes) ? std::string(bytes) : fromWindows1252(bytes);
  } else if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    // Saved as UTF-16 (Notepad's "Unicode"); it is written back as UTF-8.
    ini.byteOrderMark_ = true;
    const bool bigEndian = bytes[0] == '\xFE';
    text = fromUtf16(bytes.substr(2), bigEndian);
  } else {
    text = isUtf8(bytes) ? std::string(bytes) : fromWindows1252(bytes);
  }

  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) {
      ini.lines_.push_back({text.substr(start), ""});
      break;
    }
    size_t endLength = text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
    ini.lines_.push_back({text.substr(start, end - start), text.substr(end, endLength)});
    start = end + endLength;
  }
  return ini;
}

std::optional<IniText::Found> IniText::find(std::string_view section, std::string_view key) const {
  bool inSection = false;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view line = lines_[i].text;
    const std::string_view s = trimLeft(line);
    if (isHeader(s)) {
      inSection = equalProfileNames(trim(s.substr(1, s.rfind(']') - 1)), section);
      continue;
    }
    if (!inSection || s.empty() || s.front() == ';') continue;
    const size_t eq = s.find('=');
    if (eq == std::string_view::npos || !equalProfileNames(trim(s.substr(0, eq)), key)) continue;
    const size_t afterEquals = (line.size() - s.size()) + eq + 1;
    const size_t blanks = line.substr(afterEquals).size() - trimLeft(line.substr(afterEquals)).size();
    return Found{i, afterEquals + blanks};
  }
  return std::nullopt;
}

std::string IniText::readString(std::string_view section, std::string_view key, const std::string& defaultValue) const {
  const auto found = find(section, key);
  if (!found) return defaultValue;
  std::string_view value = trim(std::string_view(lines_[found->line].text).substr(found->valueStart));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return std::string(firstCharacters(value, MaxValueLength));
}

int32_t IniText::readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const {
  const std::string text = readString(section, key, std::string());
  return parseProfileInteger(text).value_or(defaultValue);
}

std::string IniText::lineEnd() const {
  for (const Line& l : lines_)
    if (!l.end.empty()) return l.end;
  return "\n";
}

bool IniText::setValue(std::string_view section, std::string_view key, std::string_view value) {
  if (!writableName(section, "]") || !writableName(key, "=") || key.front() == '[' || key.front() == ';')
    return false;
  const std::string stored = storedForm(value);
  if (const auto found = find(section, key)) {
    std::string& text = lines_[found->line].text;
    text = text.substr(0, found->valueStart) + stored;
    return true;
  }

  const std::string end = lineEnd();
  Line keyLine{std::string(key) + "=" + stored, end};
  // After the last key of the first section of that name.
  std::optional<size_t> insertAfter;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view s = trimLeft(lines_[i].text);
    if (isHeader(s)) {
      if (insertAfter) break;
      if (equalProfileNames(trim(s.substr(1, s.rfind(']') - 1)), section)) insertAfter = i;
    } else if (insertAfter && !s.empty() && s.front() != ';' && s.find('=') != std::string_view::npos) {
      insertAfter = i;
    }
  }
  if (!insertAfter) {
    if (!lines_.empty() && lines_.back().end.empty()) lines_.back().end = end;
    lines_.push_back({"[" + std::string(section) + "]", end});
    lines_.push_back(std::move(keyLine));
    return true;
  }
  if (lines_[*insertAfter].end.empty()) lines_[*insertAfter].end = end;
  lines_.insert(lines_.begin() + std::ptrdiff_t(*insertAfter + 1), std::move(keyLine));
  return true;
}

std::string IniText::toBytes() const {
  std::string out(byteOrderMark_ ? ByteOrderMark : "");
  for (const Line& l : lines_) out += l.text + l.end;
  return out;
}

IniText IniFile::load() const {
  FileBytes file = readProfileFile(path_);
  return file.state == FileState::Read ? IniText::fromBytes(file.bytes) : IniText();
}

std::string IniFile::readString(std::string_view section, std::string_view key, const std::string& defaultValue) const {
  return load().readString(section, key, defaultValue);
}

int32_t IniFile::readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const {
  return load().readInteger(section, key, defaultValue);
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
  const auto fail = [&] { return EIniFileException(formatMessage(msg::UnableToWrite, path_)); };
  // Write through a symbolic link to the file it names, keeping the link.
  std::string target = path_;
  std::error_code ec;
  if (std::filesystem::is_symlink(path_, ec)) {
    auto resolved = std::filesystem::canonical(path_, ec);
    if (!ec) target = resolved.string();
  }
  FileBytes file = readProfileFile(target);
  if (file.state == FileState::Unusable) throw fail();  // never drop lines that could not be read
  IniText ini = file.state == FileState::Read ? IniText::fromBytes(file.bytes) : IniText();
  if (!ini.setValue(section, key, value)) throw fail();
  const std::string bytes = ini.toBytes();
  try {
    saveToFileAtomically(target, [&](Stream& out) { out.writeBuffer(bytes.data(), bytes.size()); });
  } catch (const Exception&) {
    throw fail();
  }
  if (file.state == FileState::Read) ::chmod(target.c_str(), file.mode);  // as the user left it
}

void IniFile::writeInteger(std::string_view section, std::string_view key, int32_t value) {
  writeString(section, key, std::to_string(value));
}

}  // namespace pixkeep
