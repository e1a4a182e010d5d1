#include "config/language.h"

#include <algorithm>
#include <cstdint>

#include "config/profile.h"

namespace pixkeep {

Texts readLanguageFile(const std::string& path) {
  const IniText ini = IniFile(path).load();
  Texts texts;
  for (size_t i = 0; i < TextCount; ++i) {
    if (Text(i) == Text::HelpFile) continue;
    const TextEntry& e = textEntries()[i];
    texts.set(Text(i), ini.readString(e.section, e.key, e.defaultText));
  }
  const TextEntry& help = textEntry(Text::HelpFile);
  texts.set(Text::HelpFile, ini.readString(help.section, help.key, help.defaultText));
  return texts;
}

int textInteger(const Texts& texts, Text id) {
  if (auto value = parseProfileInteger(texts[id])) return *value;
  return *parseProfileInteger(textEntry(id).defaultText);
}

WidthLayout layoutForWidth(int width) {
  // In 64 bits: any 32-bit width is allowed, and none may overflow.
  const auto atLeastZero = [](int64_t v) { return int(std::clamp<int64_t>(v, 0, INT32_MAX)); };
  const int64_t box = int64_t(width) - 16;
  return {width, atLeastZero(box), atLeastZero(box - 104), atLeastZero(box - 128)};
}

}  // namespace pixkeep
