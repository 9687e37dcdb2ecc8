// The launcher object of one start: chooses a runtime, reads the launch configuration, builds
// the launch vector and hands it to the runtime's launcher library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launcher/export.h"
#include "launcher/text.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/notice.h"
#include "platform/plist.h"
#include "platform/system_layout.h"
#include "platform/user_defaults.h"

using OptionalString = std::optional<std::string>;

// Everything a launcher reads from its surroundings. Launcher::launcher() builds it from the
// running process; tests build their own around a bundle in a temporary directory.
struct LaunchContext {
  std::shared_ptr<platform::Bundle> mainBundle;  // never null
  std::vector<std::string> arguments;            // the process arguments, element 0 the program
  platform::SystemLayout layout = platform::SystemLayout::host();
  std::string homeDirectory;  // "~" and the user preferences live here
  platform::NoticeFunction showNotice = platform::showStopNotice;
  // When false, the working directory and LANG of the launch parameters are recorded in
  // Launcher::processSettings() instead of being applied to this process (the installer gives
  // them to its child, because other threads of its own are running).
  bool applyProcessSettings = true;
  // When true, the launcher only works out what a launch would do (qmk-bundle check), changing
  // nothing: a shipped runtime's packed archives are left as they are, the search never ends the
  // process over them, and no startup cache is prepared or built.
  bool explainOnly = false;

  static LaunchContext fromProcess(int count, char** vector);
  platform::UserDefaults standardUserDefaults() const;
};

// The working directory and locale a launch asks for.
struct ProcessSettings {
  OptionalString workingDirectory;
  OptionalString lang;  // set only when LANG was absent and a locale default exists
};

// The user's own options file of a bundle that allows one ("qmk.userOptions"), as the last
// launch preparation read it.
struct UserOptionsReading {
  OptionalString path;     // absent when the bundle's identifier or name cannot name a file
  OptionalString problem;  // why there is no path
  bool present = false;    // whether a file was there to read
  std::vector<std::string> added;  // the VM options it added, in order
  bool classPathChanged = false;
};

// One runtime the search looked at, in the order it looked, and what became of it. The search
// keeps this for whoever asks (qmk-bundle check), not only for the debug log.
struct RuntimeCandidate {
  std::string path;        // as tried; "$NAME" for an environment variable that is not set
  OptionalString version;  // the version it states, when one could be read
  OptionalString refusal;  // why it was refused; absent when it was accepted
};

class QMK_EXPORT Launcher {
 public:
  explicit Launcher(LaunchContext context);
  // A launcher for the running process.
  static std::unique_ptr<Launcher> launcher();

  const LaunchContext& context() const { return context_; }
  const std::string& bundlePath() const { return context_.mainBundle->path(); }
  const plist::Value& info() const { return context_.mainBundle->info(); }

  // --- Fields -------------------------------------------------------------------------------
  std::shared_ptr<platform::Bundle> javaBundle;  // the chosen runtime as a bundle
  OptionalString javaBundlePath;                 // absent: no runtime
  OptionalString javaVersion;
  int32_t javaMajorVersion = -1;
  bool pluginUsed = false;
  std::string startupCacheReason;  // what the startup cache decision was, and why
  std::optional<UserOptionsReading> userOptions;  // absent when the bundle allows none

  // --- Entry and launch ---------------------------------------------------------------------
  // Plain launch preparation: search, launch parameters, launch vector.
  Launcher& load(const char* programPath);
  // Re-entry launch preparation from an argument file (read, then deleted).
  Launcher& load(const char* programPath, const char* argumentFile);
  // Binds the runtime library and calls JLI_Launch; returns the status.
  int32_t launch();

  // The plain launch vector: program path, VM options, "-Dqmk.jreBundle=", main class,
  // arguments.
  static std::vector<std::string> buildLaunchVector(const std::string& programPath,
                                                    std::vector<std::string> options,
                                                    const std::string& javaBundlePath,
                                                    const std::string& mainClass,
                                                    const std::vector<std::string>& args);
  // Makes `vector` the process-wide launch vector (heap copies, never freed).
  static void installLaunchVector(const std::vector<std::string>& vector);
  // The launcher library chosen for the current runtime (plug-in path or the first existing
  // location of the layout, else the last location).
  std::string libraryPath() const;

  // --- Notices ------------------------------------------------------------------------------
  static void displayError(const LaunchContext& context, const std::string& key);
  static void displayError(const LaunchContext& context, const std::string& key,
                           const OptionalString& info);
  static void displayError(const LaunchContext& context, const std::string& key,
                           const OptionalString& info1, const OptionalString& info2);
  // Fills "%@" placeholders with the inserts in order and "%%" with "%"; everything else,
  // placeholders without an insert included, stays as it stands.
  static std::string fillMessage(const std::string& text, const std::vector<std::string>& inserts);

  // --- Version strings (pure) ---------------------------------------------------------------
  static int64_t typeOfCharacter(std::u16string_view s);
  static std::vector<std::string> splitVersionString(const std::string& s);
  static int compareVersion(const std::string& a, const std::string& b);
  static std::string removeJrePrefix(const std::string& name);
  static bool isBetaVersion(const OptionalString& s);
  static bool compareVersion(const OptionalString& limit, const std::vector<std::string>& candidate,
                             bool max);
  static OptionalString getJavaMinVersion(const LaunchContext& context);
  // Splits at every ".", "_", "-" and "+" (the bound test's components).
  static std::vector<std::string> versionComponents(const std::string& s);

  // --- Acceptance ---------------------------------------------------------------------------
  // Returns a heap copy of the accepted version (cut at "_" or "+"), never freed; null when
  // refused.
  char* checkJavaVersion(const OptionalString& min, const OptionalString& max, bool allowBeta,
                         bool plugin, const OptionalString& requiredVmPrefix);
  char* checkBundleVersion(const OptionalString& min, const OptionalString& max, bool allowBeta,
                           bool plugin, const OptionalString& bundleVersion,
                           const OptionalString& evarVersion, const OptionalString& infoString);

  // --- Runtime search -----------------------------------------------------------------------
  OptionalString findJavaBundle(bool registry);
  void findDirectoryJavaBundle(const OptionalString& path, platform::FileManager& fileManager,
                               const OptionalString& minVersion, const OptionalString& maxVersion,
                               const OptionalString& requiredVmIdPrefix, bool allowBeta);
  void findPublicJavaBundle(platform::FileManager& fileManager, const OptionalString& minVersion,
                            const OptionalString& maxVersion,
                            const OptionalString& requiredVmIdPrefix, bool allowBeta);
  // The runtime home of a runtime path: Contents/Home/jre or Contents/Home of a bundle, or the
  // directory itself for a plain runtime home.
  static std::string runtimeHome(const std::string& runtimePath);
  // Every candidate of the last search, in the order tried.
  const std::vector<RuntimeCandidate>& candidates() const { return candidates_; }
  void noteCandidate(std::string path, OptionalString version, OptionalString refusal);

  // --- Launch configuration -----------------------------------------------------------------
  void readJavaParameters(platform::FileManager& fileManager, std::vector<std::string>& options,
                          OptionalString& mainClass, std::vector<std::string>& args,
                          bool* firstThread);
  OptionalString addPredefinedOptions(const plist::Value& array, std::vector<std::string>& options,
                                      const std::string& bundlePath,
                                      const OptionalString& classPath);
  OptionalString readOptionsFile(const OptionalString& path, std::vector<std::string>& options,
                                 const OptionalString& classPath, const std::string& bundlePath);
  // Reads the user's own options file when the bundle allows one, after the bundle's files.
  OptionalString readUserOptions(std::vector<std::string>& options,
                                 const OptionalString& classPath);
  OptionalString replaceVariables(const OptionalString& s) const;
  // The same substitution, remembering which text the bundle path brought in.
  qmk::MarkedText substituteVariables(std::string_view s) const;
  OptionalString resolveArtifactPath(const OptionalString& s) const;
  const ProcessSettings& processSettings() const { return processSettings_; }

 private:
  // Reads the options file at `path`, which needs no more replacing: its configured part has
  // been expanded already, and what the path was joined to is never touched.
  OptionalString readResolvedOptionsFile(const std::string& path, std::vector<std::string>& options,
                                         const OptionalString& classPath,
                                         const std::string& bundlePath);

  LaunchContext context_;
  ProcessSettings processSettings_;
  std::vector<RuntimeCandidate> candidates_;
  // The options files being read, outermost first: an include of one of them is a cycle.
  std::vector<std::string> includeChain_;
  // What the options file being read, with its includes, has read so far.
  struct ReadingSpent {
    size_t files = 0;
    size_t bytes = 0;
    bool reported = false;
  } readingSpent_;
};

// Resets the process-wide launch state (tests only).
void resetLaunchStateForTesting();
