// The names and places that differ between the operating systems the launchers know: chosen at
// compile time for the host, and injectable so that tests can exercise either layout.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SystemLayout {
  // The runtime launcher library, relative to the chosen runtime's path, in the order tried.
  // Every location but the last is tested for existence; the last is taken untested.
  std::vector<std::string> libraryLocations;
  // The system's browser plug-in runtime and its launcher library; absent where there is none.
  std::optional<std::string> pluginPath;
  std::optional<std::string> pluginLibrary;
  // The directory whose entries are the machine's installed runtimes.
  std::string publicRuntimeDirectory;
  // Order the public runtimes by the version their home states rather than by their names
  // (Linux names carry no version at their start, and several names point at one runtime).
  bool orderPublicRuntimesByRelease = false;
  // Add the dock icon and name options to the VM options (runtimes elsewhere refuse them).
  bool dockOptions = true;
  // The user preferences folder, relative to the home directory.
  std::string preferencesDirectory = "Library/Preferences";

  static SystemLayout forMacOS();
  static SystemLayout forLinux();
  // The layout of the system this program was built for.
  static SystemLayout host();
};

}  // namespace platform
