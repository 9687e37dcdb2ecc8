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
#include <string_view>
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

// A class-path archive the dump reads under another name (see cache_stand_ins.cpp).
struct StandIn {
  std::string path;    // in the cache folder, a name the runtime's class loader leaves as it is
  std::string target;  // the class-path archive's real path
};

struct StandIns {
  std::string folder;  // holds every stand-in of one archive and nothing else
  std::vector<StandIn> entries;
  std::string dumpClassPath;  // the class path with the stand-ins in place of their targets
};

// What the builder needs once the creating start has ended.
struct CacheBuild {
  std::vector<std::string> dumpCommand;  // the runtime's own archive dump, complete
  std::string directory;                 // the application's cache folder
  std::string classList;                 // what the start records
  std::string temporaryArchive;          // where the dump writes
  std::string runtimeTag;                // file-name prefix shared by this runtime's caches
  std::string key;                       // digest of everything that makes an archive valid
  std::optional<StandIns> standIns;      // present when the dump reads the class path through them
  std::string standInBase;               // where this application's stand-ins live
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
// Where the stand-ins of the archive for `runtimeTag` and `key` live, in `base`.
std::string standInFolder(const std::string& base, const std::string& runtimeTag,
                          const std::string& key);
// Whether the file starts like an archive the runtime's dump writes.
bool hasArchiveHeader(const std::string& path);
// Runtimes before 24 tie an archived class to its class-path entry only when the location their
// class loader writes (percent-encoded) spells the entry's path exactly; for a path with a blank
// or a non-ASCII letter they archive the application's classes in a form no start can use. The
// stand-ins in `folder` are what the dump reads instead, for every entry whose real path the
// class loader would encode; none when no entry needs one or the runtime matches decoded paths.
std::optional<StandIns> planStandIns(const std::string& folder, const std::string& classPath,
                                     int32_t javaMajorVersion);
// Whether a file URL of `path` spells it as it is.
bool spelledAsIsInFileUrl(std::string_view path);
// Whether every stand-in is the link to its target that a complete build leaves.
bool standInsInPlace(const StandIns& standIns);
// Before the dump: each stand-in is the archive itself under its new name (a hard link, else a
// copy with the same size and times), since the runtime resolves links before it encodes.
bool makeStandIns(const StandIns& standIns);
// After the dump: each stand-in becomes a symbolic link to its target, which is what the archive
// checks at every start (same file, size and time) and through which the runtime reports the
// classes' real location.
bool linkStandInsToTargets(const StandIns& standIns);
void removeStandIns(const StandIns& standIns);

// Removes this runtime's archives in `directory` other than `keep`, and their stand-ins in
// `standInBase`.
void removeOtherArchives(const std::string& directory, const std::string& standInBase,
                         const std::string& runtimeTag, const std::string& keep);

}  // namespace qmk::cache
