// Feeds arbitrary files to the INI reader and writes one key into each. The
// reader must see every value as UTF-8 of at most 2047 characters; a write
// must read back as what was written and leave every other value as it was.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <utility>
#include <vector>

#include "config/profile.h"
#include "config/texts.h"

namespace {

using pixkeep::IniText;

void require(bool condition) {
  if (!condition) std::abort();
}

// Decodes UTF-8 one code point at a time; -1 for anything ill-formed.
long nextCodePoint(const std::string& s, size_t& i) {
  const auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  unsigned c = byte(i);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return -1;
  long cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  static const long least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  i += n;
  return cp;
}

bool utf8(const std::string& s, size_t* characters = nullptr) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++count)
    if (nextCodePoint(s, i) < 0) return false;
  if (characters) *characters = count;
  return true;
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string section = in.ConsumeRandomLengthString(24);
  const std::string key = in.ConsumeRandomLengthString(24);
  const std::string value = in.ConsumeRandomLengthString(256);
  const std::string file = in.ConsumeRemainingBytesAsString();

  std::vector<std::pair<std::string, std::string>> names = {
      {"Settings", "OutputDir"}, {"settings", "TEXTCOLOR"}, {"Language", "LangFile"}, {section, key}, {section, "x"}};
  for (const pixkeep::TextEntry& e : pixkeep::textEntries()) names.emplace_back(e.section, e.key);

  const IniText ini = IniText::fromBytes(file);
  const std::string missing = "\x01missing";
  for (const auto& [s, k] : names) {
    std::string v = ini.readString(s, k, missing);
    size_t characters = 0;
    require(utf8(v, &characters));
    require(characters <= pixkeep::MaxValueLength);
    (void)ini.readInteger(s, k, 0);
  }

  // What is written comes back as the same text, and reading it again changes nothing.
  const IniText again = IniText::fromBytes(ini.toBytes());
  require(again.toBytes() == ini.toBytes());

  IniText written = ini;
  if (!written.setValue(section, key, value)) {
    require(written.toBytes() == ini.toBytes());
    return 0;
  }
  const IniText reread = IniText::fromBytes(written.toBytes());
  if (utf8(value)) {
    std::string expected = value;
    for (char& c : expected)
      if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    require(reread.readString(section, key, missing) == expected);
  } else {
    require(utf8(reread.readString(section, key, missing)));
  }
  for (const auto& [s, k] : names) {
    if (sameName(s, section) && sameName(k, key)) continue;
    require(reread.readString(s, k, missing) == ini.readString(s, k, missing));
  }
  return 0;
}
