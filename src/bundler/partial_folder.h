// The hidden folders output is built in beside its final place, ".NAME.partial-XXXXXX". Each is
// locked (flock) by the process that made it for as long as that process runs, so that a run
// that was killed, which could not remove its folder, leaves one the next run for the same place
// can tell from a folder still being built: only the abandoned one's lock can be taken.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace bundler {

class PartialFolder {
 public:
  // Removes the abandoned partial folders of `finalPath`, then creates and locks a new one in
  // the folder of `finalPath` (which must exist). Failure when it cannot be created.
  explicit PartialFolder(const std::string& finalPath);
  // Takes the folder `existing` out of the way as a partial folder of `finalPath`, locked like
  // a new one, so that a run killed while it is being removed leaves nothing for good.
  static PartialFolder setAside(const std::string& existing, const std::string& finalPath);
  ~PartialFolder();  // removes the folder unless it was moved into place
  PartialFolder(PartialFolder&& other) noexcept;
  PartialFolder(const PartialFolder&) = delete;
  PartialFolder& operator=(const PartialFolder&) = delete;

  const std::string& path() const { return path_; }
  // Renames the folder to `target`; false (errno set) when that fails. Once moved it is no
  // longer removed; its lock lasts until the object goes away.
  bool moveTo(const std::string& target);

 private:
  PartialFolder() = default;
  std::string path_;
  platform::UniqueFd lock_;  // none for a symbolic link set aside, which holds nothing
  bool owned_ = false;       // this object removes the folder when it goes away
};

}  // namespace bundler
