// Where a runtime keeps bin/ and lib/.
#include "launcher/Launcher.h"
#include "platform/file_manager.h"

std::string Launcher::runtimeHome(const std::string& runtimePath) {
  platform::FileManager files;
  // A plain runtime directory (a Linux runtime home, a base directory's jre) has no bundle
  // structure: it is its own home.
  if (!files.fileExists(platform::joinPath(runtimePath, "Contents"))) return runtimePath;
  std::string home = platform::joinPath(runtimePath, "Contents/Home");
  std::string jre = platform::joinPath(home, "jre");
  return files.fileExists(jre) ? jre : home;
}
