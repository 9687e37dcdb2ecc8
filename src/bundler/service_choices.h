// The launcher services create can turn on: the Java API, one instance per user, restart on an
// exit status, and the user's own VM options file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundler/command_line.h"
#include "platform/plist.h"

namespace bundler {

struct ServiceChoices {
  bool launcherApi = false;  // implied by singleInstance
  bool singleInstance = false;
  bool userOptions = false;
  std::optional<int> restartExitCode;
};

std::vector<OptionSyntax> serviceOptionSyntax();
// UsageError for a restart status that is not a whole number from 1 to 255.
ServiceChoices readServiceChoices(const ParsedOptions& options);
// Writes the keys the choices need into the bundle's Info.plist.
void addServiceKeys(const ServiceChoices& choices, plist::Dictionary& info);

// The Java API's jar beside qmk-bundle: lib/ of the build tree, ../share/quillmark/ of an
// install. Failure when neither holds it.
std::string launcherApiJar();

}  // namespace bundler
