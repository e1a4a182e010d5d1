// INI profile files, read and written like the Windows profile functions:
// "[Section]" lines followed by "key=value" lines; section and key names are
// matched without regard to case; blanks around names and values are ignored;
// a value in matching quotes ('...' or "...") loses them; at most
// MaxValueLength characters of a value are seen. A missing file, section or
// key gives the caller's default; a key present with an empty value gives "".
// Where a name occurs more than once, the first key of that name in the
// sections of that name (taken in file order) counts.
//
// Text is UTF-8; a file that is not valid UTF-8 is read as Windows-1252, and a
// byte-order mark (UTF-8, or UTF-16 in either byte order) is honoured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pixkeep {

// The characters of a value the reader sees (the Windows buffer of 2048).
inline constexpr size_t MaxValueLength = 2047;
// Larger files are not profile files: reading them gives the defaults, and
// writing to them fails instead of dropping what could not be read.
inline constexpr uint64_t MaxProfileFileSize = 8u << 20;

// Section and key names as the profile matches them: ASCII letters without
// regard to case, every other byte as it is.
constexpr bool equalProfileNames(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// An integer as the profile reads it: decimal, optionally negative; "$" or
// "0x"/"0X" and hexadecimal digits (up to 32 bits, taken as a 32-bit
// pattern, so "$FFFFFFFF" is -1). Anything else, the empty text included,
// and a decimal outside the 32-bit range, is not a number.
std::optional<int32_t> parseProfileInteger(std::string_view text);

// The contents of one profile file, held as its lines with their own line ends.
class IniText {
 public:
  IniText() = default;
  // Decodes the bytes of a file (see the encodings above).
  static IniText fromBytes(std::string_view bytes);

  std::string readString(std::string_view section, std::string_view key, const std::string& defaultValue) const;
  int32_t readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;

  // Changes the value of the key, or adds the key at the end of its section,
  // or adds the section at the end of the text; every other line stays as it
  // was. New lines take the text's own line end. The stored form reads back
  // as `value` (up to MaxValueLength characters): a value with blanks at
  // either end or in matching quotes is written in double quotes; line breaks
  // and NUL become blanks; bytes that are not UTF-8 become U+FFFD. Returns
  // false, changing nothing, for a name that cannot be written: empty, not
  // UTF-8, with blanks at either end, a line break or NUL, a section name
  // with "]", a key name with "=" or beginning with "[" or ";".
  bool setValue(std::string_view section, std::string_view key, std::string_view value);

  // The file's bytes: UTF-8, with a byte-order mark when the file had one.
  std::string toBytes() const;

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\n", "\r\n", "\r" or "" (the last line)
  };
  struct Found {
    size_t line;
    size_t valueStart;  // where the value begins in that line (after "=" and blanks)
  };
  std::optional<Found> find(std::string_view section, std::string_view key) const;
  std::string lineEnd() const;

  std::vector<Line> lines_;
  bool byteOrderMark_ = false;
};

// One profile file on disk, opened anew for each operation.
class IniFile {
 public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // A missing, unreadable or oversized file, or anything that is not a
  // regular file (a directory, a pipe, a device), reads as empty.
  IniText load() const;

  std::string readString(std::string_view section, std::string_view key, const std::string& defaultValue) const;
  int32_t readInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
  // Each write reaches the disk before it returns; the file is replaced
  // atomically (a symbolic link is followed, not replaced). Any failure,
  // including a file that exists but cannot be read whole, raises
  // EIniFileException "Unable to write to <path>" and leaves the file as it was.
  void writeString(std::string_view section, std::string_view key, std::string_view value);
  void writeInteger(std::string_view section, std::string_view key, int32_t value);

 private:
  std::string path_;
};

}  // namespace pixkeep
