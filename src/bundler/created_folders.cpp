#include "bundler/created_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace bundler {

CreatedFolders::CreatedFolders(const std::string& folder) {
  std::vector<std::string> missing;  // innermost first
  for (std::string at = folder; !at.empty() && at != "/"; at = platform::deletingLastPathComponent(at)) {
    struct stat info;
    if (::stat(at.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) {
        throw Failure(at + " is a file, not a folder, so " + folder + " cannot be created. " +
                      "Choose another --out.");
      }
      break;
    }
    missing.push_back(at);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0755) == 0) {
      created_.push_back(*it);
    } else if (errno != EEXIST) {
      const std::string reason = std::strerror(errno);
      removeCreated();  // no destructor runs for a constructor that throws
      throw Failure("cannot create the folder " + *it + ": " + reason +
                    ". Choose an --out where you may write.");
    }
  }
}

CreatedFolders::~CreatedFolders() { removeCreated(); }

void CreatedFolders::removeCreated() {
  for (auto it = created_.rbegin(); it != created_.rend(); ++it) ::rmdir(it->c_str());
  created_.clear();
}

}  // namespace bundler
