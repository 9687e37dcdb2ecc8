// Expands a runtime's packed class libraries (lib/*.jar.pack, then lib/ext/*.jar.pack) with the
// runtime's own bin/unpack200, one file at a time.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "launcher/export.h"
#include "platform/file_manager.h"

// Called with a message (or none) and a percentage; may throw to cancel.
using ProgressBlock =
    std::function<void(const std::optional<std::string>& message, double percent)>;

class QMK_EXPORT Unpacker {
 public:
  // True when every packed file under `jreDir` was expanded or there was none; false when the
  // tool reported a failure. A tool that cannot be started raises platform::Exception.
  static bool unpack(const std::string& jreDir, const ProgressBlock& progress);
  static void addPackedFiles(std::vector<std::string>& list, const std::string& subDir,
                             const std::string& jreDir, platform::FileManager& fileManager);
};
