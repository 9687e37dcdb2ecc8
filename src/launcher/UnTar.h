// A small extractor of gzip-compressed tar archives, streamed once through zlib's gzip file
// interface, with progress reported against the archive's expected uncompressed length.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>

#include "launcher/Unpacker.h"

class UnTar {
 public:
  struct Result {
    // The first component of the last entry name with at least two components.
    std::optional<std::string> topLevelDirectory;
    // True when the walk reached the end of the archive without an error. Entries skipped on
    // purpose (unsafe names, companion files, files that could not be created) do not count.
    bool complete = false;
    // Why the walk ended early, in words for the user; empty when complete.
    std::string failure;
    // Entries passed over because they would have been written outside the destination (an
    // absolute name, "..", a path through a link leading out, a hard link to outside). The
    // installer extracts the rest; an update refuses an archive that has any.
    int unsafeEntries = 0;
  };

  // Extracts `archive` into the existing directory `destination`. `progress` (may be empty)
  // receives the destination and 0 once the archive is open, none and the current percentage
  // before and during each regular file, and "" and 100 at the end; it may throw to cancel, and
  // the exception passes through with every handle closed.
  static Result untar(const std::string& archive, const std::string& destination,
                      int32_t uncompressedLength, const ProgressBlock& progress);

  // Copies `length` bytes of `in` into a new file at `path` with `permissions` (owner read and
  // write added, set-id and sticky bits dropped), replacing a file or symbolic link there. A
  // file that cannot be created is skipped; true when the file was written whole or skipped
  // cleanly.
  static bool extractFile(gzFile in, const std::string& path, int64_t length, uint32_t permissions,
                          int32_t uncompressedLength, const ProgressBlock& progress);

  // Moves `length` bytes forward in `in`; false when the stream ends first or cannot be read.
  static bool skip(gzFile in, int64_t length);

  // The progress percentage at the current position of `in`.
  static double percentage(gzFile in, int32_t uncompressedLength);
};
