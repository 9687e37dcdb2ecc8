// The jars an application needs beyond those given: what the Class-Path attribute of each jar's
// manifest names, followed through the named jars' own manifests. java reads that attribute for
// every jar on the class path; a bundle that is to start on another machine must carry what it
// names and must not lead java back to this machine's files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace bundler {

class Jar;

// One entry of a manifest's Class-Path, as java resolves it against the jar's folder.
struct ClassPathReference {
  std::string written;              // as the manifest has it
  std::optional<std::string> path;  // the file it names; absent for a URL of another scheme
};

// The entries of the Class-Path attribute of `jar`'s manifest, in order (none without one).
std::vector<ClassPathReference> manifestClassPath(const Jar& jar);

// What Contents/Java holds: a jar or a folder, where it comes from and its name in the bundle.
struct JavaEntry {
  std::string source;  // absolute path on this machine
  std::string name;    // its name in Contents/Java (no '/', ':' or '$')
  bool folder = false;
  // The Class-Path the copy's manifest gets instead of its own, naming the copies; absent when
  // the jar is copied byte for byte.
  std::optional<std::string> classPath;
};

// The jars given and, when `followManifests`, every jar and folder their manifests name,
// transitively: each right after the jar that names it, in manifest order, each once, each
// under a name of its own. An entry that names nothing gets a warning under `command`.
std::vector<JavaEntry> bundledClassPath(const std::vector<std::string>& jars, bool followManifests,
                                        const std::string& command);

// Writes `entry` under its name into `javaFolder`, the Contents/Java of the bundle being built
// (a folder entry that holds that bundle is copied without it).
void copyJavaEntry(const JavaEntry& entry, const std::string& javaFolder);

// `manifest` with its main section's Class-Path replaced by `classPath` (removed when it is
// empty), lines folded at 72 bytes as manifests require; everything else as it was.
std::string replaceClassPath(const std::string& manifest, const std::string& classPath);

}  // namespace bundler
