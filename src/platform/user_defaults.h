// Read-only user defaults: the application's domain, added suites and the global domain, each a
// property list in the user's preferences folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace platform {

class UserDefaults {
 public:
  // `preferencesFolder` holds "<domain>.plist" files; the global domain is
  // ".GlobalPreferences.plist". `applicationDomain` may be empty (no application domain).
  UserDefaults(std::string preferencesFolder, std::string applicationDomain);

  // Adds a suite searched after the application domain and before the global domain.
  void addSuite(const std::string& name);

  // The first value for `key` in search order; null when no domain has it. Files are read on
  // each lookup (they are small, and nothing is cached between launches either).
  plist::Value objectForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  // The value when it is a dictionary, else absent.
  std::optional<plist::Dictionary> dictionaryForKey(const std::string& key) const;

 private:
  std::vector<std::string> domains() const;

  std::string folder_;
  std::string applicationDomain_;
  std::vector<std::string> suites_;
};

}  // namespace platform
