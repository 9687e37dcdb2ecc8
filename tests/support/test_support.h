// Helpers shared by the tests: temporary directories, files, bundles, environment changes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "launcher/Launcher.h"
#include "platform/plist.h"
#include "test_paths.h"

namespace testing_support {

// A fresh directory removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating parent directories; `mode` applied when given.
void writeFile(const std::string& path, const std::string& content, int mode = -1);
std::string readFile(const std::string& path);
void makeDirectories(const std::string& path);
bool exists(const std::string& path);

// Sets (or with nullopt unsets) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Changes the current directory for the life of the object.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path);
  ~ScopedCurrentDirectory();

 private:
  std::string old_;
};

// Shorthands for building property lists.
plist::Value str(const std::string& s);
plist::Value arr(const std::vector<std::string>& items);
plist::Value dict(std::map<std::string, plist::Value> entries);

// Makes an application bundle `<dir>/<name>` with Contents/Info.plist holding `info`, and
// Contents/MacOS, Contents/Resources. Returns the bundle path.
std::string makeAppBundle(const std::string& dir, const std::string& name,
                          const plist::Value& info);

// Makes a runtime bundle at `path` (Contents/Info.plist with JavaVM/JVMVersion = version and the
// extra top-level keys given, Contents/Home/bin, Contents/Home/lib).
void makeRuntimeBundle(const std::string& path, const std::optional<std::string>& version,
                       std::map<std::string, plist::Value> extraInfo = {});
// Makes a plain runtime home at `path` (bin/java, lib/, a release file with JAVA_VERSION).
void makePlainRuntimeHome(const std::string& path, const std::string& version);

// A notice as a test recorded it.
struct Notice {
  std::optional<std::string> header;
  std::string message;
};

// A launch context around the bundle at `bundlePath`, with the given layout and arguments,
// home in `home`, and notices recorded into `notices` when it is given.
LaunchContext makeContext(const std::string& bundlePath, const platform::SystemLayout& layout,
                          std::vector<std::string> arguments, const std::string& home,
                          std::vector<Notice>* notices = nullptr);

// A layout whose fixed places all lie below `root` (public runtimes in root/jvm, the plug-in in
// root/plugin when `withPlugin`), otherwise like `base`.
platform::SystemLayout layoutUnder(const std::string& root, platform::SystemLayout base,
                                   bool withPlugin = false);

// Runs a program, feeding `input` on standard input; returns exit status (or 128+signal),
// standard output and standard error.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
RunResult run(const std::vector<std::string>& args, const std::string& input = "",
              const std::map<std::string, std::optional<std::string>>& env = {},
              const std::optional<std::string>& workingDirectory = std::nullopt);

}  // namespace testing_support
