// Localised strings of a bundle: the languages tried, best first, and the string tables in the
// bundle's language folders.
#include <cstdlib>
#include <map>

#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace platform {

namespace {

constexpr const char* kDefaultTable = "Localizable";
constexpr const char* kDevelopmentRegionKey = "CFBundleDevelopmentRegion";
constexpr const char* kLanguageVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// The locale variables as the process received them: the kernel's copy of the environment it
// was started with, so that variables the launcher itself sets later (LANG) do not count.
const std::map<std::string, std::string>& startEnvironment() {
  static const std::map<std::string, std::string> variables = [] {
    std::map<std::string, std::string> found;
    auto block = FileManager().readFile("/proc/self/environ");
    if (!block) {
      for (const char* name : kLanguageVariables) {
        if (const char* value = std::getenv(name)) found.emplace(name, value);
      }
      return found;
    }
    size_t start = 0;
    while (start < block->size()) {
      size_t end = block->find('\0', start);
      if (end == std::string::npos) end = block->size();
      std::string entry = block->substr(start, end - start);
      size_t equals = entry.find('=');
      if (equals != std::string::npos)
        found.emplace(entry.substr(0, equals), entry.substr(equals + 1));
      start = end + 1;
    }
    return found;
  }();
  return variables;
}

std::optional<std::string> startValue(const std::string& name) {
  const auto& variables = startEnvironment();
  auto it = variables.find(name);
  if (it == variables.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

void addOnce(std::vector<std::string>& list, const std::string& item) {
  if (item.empty()) return;
  for (const auto& existing : list) {
    if (existing == item) return;
  }
  list.push_back(item);
}

// The folder names a locale name may have: "de_DE.UTF-8@euro" gives de_DE, de-DE, de, and the
// old English name some bundles still use (German).
void addLocale(std::vector<std::string>& list, std::string locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return;
  addOnce(list, locale);
  size_t separator = locale.find_first_of("_-");
  if (separator != std::string::npos) {
    std::string dashed = locale;
    dashed[separator] = locale[separator] == '_' ? '-' : '_';
    addOnce(list, dashed);
  }
  std::string language = locale.substr(0, separator);
  addOnce(list, language);
  static const std::map<std::string, std::string> kOldNames = {
      {"en", "English"}, {"de", "German"},   {"fr", "French"}, {"es", "Spanish"},
      {"it", "Italian"}, {"ja", "Japanese"}, {"nl", "Dutch"},
  };
  if (auto it = kOldNames.find(language); it != kOldNames.end()) addOnce(list, it->second);
}

// The user's languages: LANGUAGE's list first, then the locale that governs messages (LC_ALL,
// else LC_MESSAGES, else LANG).
std::vector<std::string> userLanguages() {
  std::vector<std::string> languages;
  if (auto list = startValue("LANGUAGE")) {
    size_t start = 0;
    while (start <= list->size()) {
      size_t end = list->find(':', start);
      if (end == std::string::npos) end = list->size();
      addLocale(languages, list->substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto locale = startValue(name)) {
      addLocale(languages, *locale);
      break;
    }
  }
  return languages;
}

std::optional<plist::Dictionary> readTable(const std::string& path) {
  auto bytes = FileManager().readFile(path);
  if (!bytes) return std::nullopt;
  return parseStringsTable(*bytes);
}

}  // namespace

std::vector<std::string> Bundle::languages() const {
  std::vector<std::string> languages = userLanguages();
  if (auto region = info_[kDevelopmentRegionKey].stringValue()) addLocale(languages, *region);
  addOnce(languages, "en");
  addOnce(languages, "English");
  addOnce(languages, "Base");
  return languages;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
  std::string file = (table.empty() ? std::string(kDefaultTable) : table) + ".strings";
  std::string resources = resourcePath();
  std::vector<std::string> tables;
  for (const auto& language : languages())
    tables.push_back(joinPath(resources, language + ".lproj/" + file));
  tables.push_back(joinPath(resources, file));
  // A key missing from a better language's table is taken from the next one that has it, so a
  // partly translated table still shows the development text rather than the bare key.
  for (const auto& path : tables) {
    auto entries = readTable(path);
    if (!entries) continue;
    auto it = entries->find(key);
    if (it != entries->end()) {
      if (auto text = it->second.stringValue()) return *text;
    }
  }
  return value.empty() ? key : value;
}

}  // namespace platform
