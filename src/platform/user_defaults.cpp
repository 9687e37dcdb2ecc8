#include "platform/user_defaults.h"

#include "platform/file_manager.h"

namespace platform {

namespace {

constexpr const char* kGlobalDomain = ".GlobalPreferences";

// A domain names a file in the preferences folder and nothing outside it.
bool isUsableDomain(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

UserDefaults::UserDefaults(std::string preferencesFolder, std::string applicationDomain)
    : folder_(std::move(preferencesFolder)), applicationDomain_(std::move(applicationDomain)) {}

void UserDefaults::addSuite(const std::string& name) {
  if (!isUsableDomain(name) || name == applicationDomain_ || name == kGlobalDomain) return;
  for (const auto& suite : suites_) {
    if (suite == name) return;
  }
  suites_.push_back(name);
}

std::vector<std::string> UserDefaults::domains() const {
  std::vector<std::string> domains;
  if (isUsableDomain(applicationDomain_)) domains.push_back(applicationDomain_);
  domains.insert(domains.end(), suites_.begin(), suites_.end());
  domains.push_back(kGlobalDomain);
  return domains;
}

plist::Value UserDefaults::objectForKey(const std::string& key) const {
  for (const auto& domain : domains()) {
    auto values = plist::readFile(joinPath(folder_, domain + ".plist"));
    if (!values) continue;
    const plist::Value& value = (*values)[key];
    if (!value.isNull()) return value;
  }
  return plist::Value();
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  plist::Value value = objectForKey(key);
  switch (value.type()) {
    case plist::Value::Type::String:
      return value.stringValue();
    // Numbers read as their text, as the platform does.
    case plist::Value::Type::Boolean:
    case plist::Value::Type::Integer:
    case plist::Value::Type::Real:
      return value.description();
    default:
      return std::nullopt;
  }
}

std::optional<plist::Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
  plist::Value value = objectForKey(key);
  if (const plist::Dictionary* dict = value.asDictionary()) return *dict;
  return std::nullopt;
}

}  // namespace platform
