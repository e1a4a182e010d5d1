#include <gtest/gtest.h>

#include <set>
#include <string>

#include "config/texts.h"

namespace pixkeep {
namespace {

TEST(Substitute, EveryOccurrenceWithoutRegardToCaseAndNoRescanning) {
  struct Case { const char* templ; const char* placeholder; const char* value; const char* result; };
  const Case cases[] = {
      {"%p pictures", "%p", "17/99999", "17/99999 pictures"},
      {"%Q/%q", "%q", "5", "5/5"},
      {"Qualit\xc3\xa4t %q", "%q", "90", "Qualit\xc3\xa4t 90"},
      {"no placeholder", "%q", "90", "no placeholder"},
      {"%p", "%p", "%p%p", "%p%p"},  // inserted text is not scanned again
      {"%%pp", "%p", "1", "%1p"},
      {"ends with %", "%p", "1", "ends with %"},
      {"", "%p", "1", ""},
      {"text", "", "1", "text"},
  };
  for (const Case& c : cases) EXPECT_EQ(substitute(c.templ, c.placeholder, c.value), c.result) << c.templ;
}

TEST(Texts, TableHasUniqueKeysPerSectionAndDefaultsInForce) {
  std::set<std::string> seen;
  for (const TextEntry& e : textEntries()) {
    std::string id = std::string(e.section) + "/" + e.key;
    for (char& ch : id) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_TRUE(seen.insert(id).second) << "duplicate key " << id;
  }
  EXPECT_EQ(seen.size(), TextCount);

  Texts texts;
  EXPECT_EQ(texts[Text::Pictures], "%p pictures");
  EXPECT_EQ(texts[Text::Quality], "Quality %q (recommended %r)");
  EXPECT_EQ(texts[Text::Width], "233");
  EXPECT_EQ(texts[Text::TypeLeft], "64");
  EXPECT_STREQ(textEntry(Text::MenuHelpFile).key, "HelpFileMnu");
  EXPECT_STREQ(textEntry(Text::HidingText).section, "Status");
  texts.set(Text::Pictures, "%p Bilder");
  EXPECT_EQ(texts[Text::Pictures], "%p Bilder");
  texts.resetToDefaults();
  EXPECT_EQ(texts[Text::Pictures], "%p pictures");
}

}  // namespace
}  // namespace pixkeep
