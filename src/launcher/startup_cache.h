// The startup cache: an archive of the classes an application loads, kept per application and
// runtime so that later starts map them instead of loading and linking them again.
//
// A start without a valid archive records the classes it loads; once that start has ended, a
// detached builder turns the record into an archive and renames it into place when complete.
// Starts after that map the archive. Nothing here can stop an application from starting: every
// doubt means "no cache" and the launch vector as it would be without one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace qmk::cache {

// The top-level Info.plist key that turns the cache on for an application.
inline constexpr const char* kStartupCacheKey = "qmk.startupCache";

// Everything the decision reads. The environment values are passed in so that a caller that
// only explains (the bundle maker) sees the same decision as a start.
struct CacheInputs {
  const plist::Value* info = nullptr;  // the application's info dictionary
  std::string bundlePath;
  std::string runtimeHome;            // the chosen runtime's home (bin/java, lib/, release)
  int32_t javaMajorVersion = -1;      // -1: unknown
  std::vector<std::string> vmOptions;     // the VM options of the launch vector
  std::vector<std::string> launchVector;  // the complete vector, without cache options
  std::string homeDirectory;
  std::optional<std::string> xdgCacheHome;
  std::optional<std::string> javaToolOptions;  // read by the runtime itself, so part of the key
  // False: decide without creating, removing or recording anything.
  bool prepare = true;
};

// What the builder needs once the creating start has ended.
struct CacheBuild {
  std::vector<std::string> dumpCommand;  // the runtime's own archive dump, complete
  std::string directory;                 // the application's cache folder
  std::string classList;                 // what the start records
  std::string temporaryArchive;          // where the dump writes
  std::string runtimeTag;                // file-name prefix shared by this runtime's caches
  std::string key;                       // digest of everything that makes an archive valid
};

struct CacheDecision {
  std::vector<std::string> options;  // to add after the VM options; empty: none
  std::string reason;                // what was chosen and why, for the debug line
  std::optional<CacheBuild> build;   // present on the start that creates the cache
};

// Whether the application asks for the cache at all ("qmk.startupCache").
bool startupCacheRequested(const plist::Value& info);

CacheDecision decideStartupCache(const CacheInputs& inputs);

// Starts the detached builder, which waits for this process to end. Failure to start it only
// means no cache this time.
void startCacheBuild(const CacheBuild& build);

// --- Shared by the decision and the builder ------------------------------------------------

// The name of a complete archive: it carries the size and modification time the archive had
// when it was renamed into place, so that a changed or cut file no longer matches its name.
std::string archiveName(const std::string& runtimeTag, const std::string& key, uint64_t size,
                        int64_t modifiedNs);
// The complete archive for `runtimeTag` and `key` in `directory`, if there is a valid one.
// With `removeInvalid`, files that claim to be that archive but are not are removed.
std::optional<std::string> findArchive(const std::string& directory,
                                       const std::string& runtimeTag, const std::string& key,
                                       bool removeInvalid);
// Whether the file starts like an archive the runtime's dump writes.
bool hasArchiveHeader(const std::string& path);
// Removes this runtime's archives in `directory` other than `keep`.
void removeOtherArchives(const std::string& directory, const std::string& runtimeTag,
                         const std::string& keep);

}  // namespace qmk::cache
