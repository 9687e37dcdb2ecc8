// The folders above an output that had to be created for it: created when the object is made,
// removed again (when still empty) unless kept, so that a command that fails adds no folders.
#pragma once

#include <string>
#include <vector>

namespace bundler {

class CreatedFolders {
 public:
  // Creates `folder` and every missing folder above it. Failure naming the first that cannot
  // be created (a file in the way, no permission).
  explicit CreatedFolders(const std::string& folder);
  ~CreatedFolders();  // removes what it created, deepest first, unless kept
  CreatedFolders(const CreatedFolders&) = delete;
  CreatedFolders& operator=(const CreatedFolders&) = delete;

  void keep() { created_.clear(); }

 private:
  void removeCreated();
  std::vector<std::string> created_;  // outermost first
};

}  // namespace bundler
