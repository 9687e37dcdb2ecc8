// The installed tree both package formats carry, laid out once: the bundle whole under its
// install directory, /usr/bin/<command>, the desktop entry, the icons, the MIME description and
// the copyright, owned as the package will install them (modes 0644/0755, one fixed time).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundler/package_request.h"

namespace bundler {

struct StagedTree {
  std::string root;                   // the tree as it will be installed, below a work folder
  std::vector<std::string> elfFiles;  // installed paths ("/opt/x/...") of the ELF files, sorted
  std::vector<std::string> sharedLibraries;  // file names of the ELF shared objects it carries
};

// Lays out the tree at `root` (which must be an empty directory).
StagedTree stageInstalledTree(const PackageRequest& request, const std::string& root);

// Gives every entry below `root` the owner-independent modes (directories 0755, files 0755 when
// anyone may run them, else 0644) and the time `epoch`; symbolic links keep theirs.
void normaliseTree(const std::string& root, int64_t epoch);

// The installed paths below `root` in byte order, directories included ("/usr", "/usr/bin", ...).
std::vector<std::string> installedEntries(const std::string& root);

// The size dpkg records for the tree below `root`: each file's KiB rounded up, 1 per other entry.
uint64_t installedKiB(const std::string& root);

// The newest modification time of anything in the bundle: the time a package of an unchanged
// bundle carries when SOURCE_DATE_EPOCH does not say otherwise.
int64_t newestTimeIn(const std::string& bundle);

}  // namespace bundler
