// Output that appears whole or not at all: it is built in a hidden sibling of its final place
// and renamed into place when complete. A failure, an exception or an early return leaves
// nothing behind, a killed run leaves only its partial folder (which the next run removes), and
// an existing output is replaced only when asked to.
#pragma once

#include <optional>
#include <string>

#include "bundler/created_folders.h"
#include "bundler/partial_folder.h"

namespace bundler {

class StagedOutput {
 public:
  // Refuses (Failure) when `finalPath` exists and `force` is false; creates the folders above
  // it that are missing (removed again unless committed) and a locked partial folder beside it,
  // after removing the partial folders that killed runs left there.
  StagedOutput(std::string finalPath, bool force);
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // Where to build: an empty directory on the same file system as the final place.
  const std::string& path() const { return staging_->path(); }
  const std::string& finalPath() const { return final_; }
  // Renames the staging directory into place; an existing output (with force) is replaced.
  void commit();

 private:
  std::string final_;
  bool force_;
  std::optional<CreatedFolders> parents_;  // declared before staging_: removed after it
  std::optional<PartialFolder> staging_;
};

// Writes `content` to `path` through a temporary sibling and a rename, so that a reader never
// sees half a file; mode applied before the rename.
void writeFileAtomically(const std::string& path, const std::string& content, int mode = 0644);

// Whether `path` exists, not following a final symbolic link.
bool pathExists(const std::string& path);

}  // namespace bundler
