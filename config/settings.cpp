#include "config/settings.h"

#include "config/autostart.h"
#include "platform/fsutil.h"

namespace pixkeep {

ProgramPlaces programPlaces() {
  const std::string config = configDirectory();
  ProgramPlaces places{config + SettingsFile::FileName, config + "english.ini", defaultOutputDirectory()};
  places.autostartFile = autostartFile();
  if (keepsFilesBesideItself()) {
    places.dataDirectory = config;
  } else if (const std::string data = installedDataDirectory(); !data.empty()) {
    places.defaultLanguageFile = data + "lang/english.ini";
    places.dataDirectory = data;
  }
  return places;
}

namespace {

// Each type of row: its default, how its key's text becomes the field's value
// (`readInto`, with the field at its default already) and back (`storedText`).

template <class Value>
void setDefault(const Value& v, StoredSettings& s, const ProgramPlaces&) {
  s.*v.field = v.defaultValue;
}
void setDefault(const setting::TextValue& v, StoredSettings& s, const ProgramPlaces& places) {
  s.*v.field = v.defaultPlace ? places.*v.defaultPlace : std::string();
}

void readInto(const setting::TextValue& v, const IniText& ini, const setting::Row& row, StoredSettings& s) {
  s.*v.field = ini.readString(row.section, row.key, s.*v.field);
}
void readInto(const setting::IntegerValue& v, const IniText& ini, const setting::Row& row, StoredSettings& s) {
  s.*v.field = ini.readInteger(row.section, row.key, s.*v.field);
}
void readInto(const setting::SwitchValue& v, const IniText& ini, const setting::Row& row, StoredSettings& s) {
  s.*v.field = ini.readInteger(row.section, row.key, s.*v.field ? 1 : 0) == 1;
}
void readInto(const setting::CornerValue& v, const IniText& ini, const setting::Row& row, StoredSettings& s) {
  switch (ini.readInteger(row.section, row.key, static_cast<int32_t>(s.*v.field))) {
    case 1: s.*v.field = StampCorner::UpRight; break;
    case 2: s.*v.field = StampCorner::UpLeft; break;
    default: s.*v.field = StampCorner::UpCenter; break;
  }
}

std::string storedText(const setting::TextValue& v, const StoredSettings& s) { return s.*v.field; }
std::string storedText(const setting::IntegerValue& v, const StoredSettings& s) { return std::to_string(s.*v.field); }
std::string storedText(const setting::SwitchValue& v, const StoredSettings& s) { return s.*v.field ? "1" : "0"; }
std::string storedText(const setting::CornerValue& v, const StoredSettings& s) {
  return std::to_string(static_cast<int32_t>(s.*v.field));
}

// The checks on the table that the compiler makes.

// Stands for any field in a brace initializer, to count the fields.
struct AnyField {
  template <class T>
  operator T() const;  // never defined: only asked whether it would do
};
template <class Aggregate, class... Fields>
constexpr size_t fieldCount() {
  if constexpr (requires { Aggregate{Fields{}..., AnyField{}}; })
    return fieldCount<Aggregate, Fields..., AnyField>();
  else
    return sizeof...(Fields);
}

// A row with its section, key and field.
constexpr bool whole(const setting::Row& row) {
  return row.section && row.key && std::visit([](const auto& value) { return value.field != nullptr; }, row.value);
}

// Whether two rows fill the same field.
constexpr bool sameField(const setting::Row& a, const setting::Row& b) {
  return std::visit(
      [](const auto& x, const auto& y) {
        if constexpr (std::is_same_v<decltype(x.field), decltype(y.field)>)
          return x.field == y.field;
        else
          return false;
      },
      a.value, b.value);
}

// Each row is whole, each field has one row, and each row a key of its own
// (names match without regard to case, so the second of two rows with one
// key would read and write the first one's).
constexpr bool oneRowPerFieldAndKey() {
  if (settingRows.size() != fieldCount<StoredSettings>()) return false;
  for (size_t i = 0; i < settingRows.size(); ++i) {
    if (!whole(settingRows[i])) return false;
    for (size_t j = 0; j < i; ++j) {
      if (sameField(settingRows[i], settingRows[j])) return false;
      if (equalProfileNames(settingRows[i].section, settingRows[j].section) &&
          equalProfileNames(settingRows[i].key, settingRows[j].key))
        return false;
    }
  }
  return true;
}
static_assert(oneRowPerFieldAndKey(), "settingRows and StoredSettings are out of step, or a key stands twice");

}  // namespace

StoredSettings settingDefaults(const ProgramPlaces& places) {
  StoredSettings s;
  for (const setting::Row& row : settingRows)
    std::visit([&](const auto& value) { setDefault(value, s, places); }, row.value);
  return s;
}

StoredSettings SettingsFile::read() const {
  const IniText ini = ini_.load();
  StoredSettings s = settingDefaults(places_);
  for (const setting::Row& row : settingRows)
    std::visit([&](const auto& value) { readInto(value, ini, row, s); }, row.value);
  return s;
}

void SettingsFile::writeOnClose(const StoredSettings& shown) {
  for (const setting::Row& row : settingRows)
    if (row.written == setting::Written::OnClose) writeRow(row, shown);
}

void SettingsFile::writeRow(const setting::Row& row, const StoredSettings& values) {
  ini_.writeString(row.section, row.key, std::visit([&](const auto& value) { return storedText(value, values); }, row.value));
}

std::string normaliseOutputDirectory(std::string directory, const std::string& fallback) {
  // An empty value would name the root directory, where pictures do not belong.
  if (directory.empty()) return fallback;
  if (directory.back() != '/') directory += '/';
  return isDirectory(directory) ? directory : fallback;
}

}  // namespace pixkeep
