// What create and installer share: the application described by the command line (name, jars,
// main class, options), checked before anything is written, and the bundle contents made from
// it (Info.plist, launcher, jars, string table, icon).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bundler/command_line.h"
#include "bundler/splash.h"
#include "bundler/strings_file.h"
#include "platform/plist.h"

namespace bundler {

struct AppDescription {
  std::string name;
  std::string identifier;
  std::vector<std::string> jars;  // absolute paths of the jars to copy, in order
  std::string mainClass;
  std::vector<std::string> classPathExtras;
  std::vector<std::string> vmOptions;
  std::vector<std::string> arguments;
  std::optional<std::string> minJava, maxJava;
  std::optional<std::string> workingDirectory;
  std::optional<std::string> optionsFile;
  std::optional<std::string> iconPath;
  std::string version;  // CFBundleShortVersionString and CFBundleVersion
  std::optional<Splash> splash;
};

// The options both commands take.
std::vector<OptionSyntax> appOptionSyntax();
// Reads and checks them; UsageError or Failure naming what is wrong and how to mend it.
// Warnings go to standard error under `command`.
AppDescription describeApp(const ParsedOptions& options, const std::string& command);

// Refuses a name that cannot be a file name or would surprise (UsageError).
void checkBundleName(const std::string& name);
// A bundle identifier made from the name ("local.my-app" for "My App").
std::string identifierFromName(const std::string& name);

// The Info.plist of the application (CFBundle keys, the JavaVM dictionary, version bounds).
plist::Dictionary appInfo(const AppDescription& app);

// Writes Contents/MacOS/<name> (a copy of `launcher`), Contents/Java/*.jar, the string table,
// the icon (as `iconFile` in Contents/Resources) and the splash image into `bundle`.
void writeAppContents(const AppDescription& app, const std::string& bundle,
                      const std::string& launcher, const StringEntries& strings,
                      const std::string& iconFile);
void writeInfoPlist(const std::string& bundle, const plist::Dictionary& info);

// The launcher program `name` (appstub, setupstub) from the directory qmk-bundle itself runs
// from (the build's bin/ and an install's bin/ alike); Failure when it is not there.
std::string launcherProgram(const std::string& name);

// The bundle's path: "--out" when it ends in ".app", else "<name>.app" in the folder "--out"
// names, or in the current directory.
std::string outputPath(const ParsedOptions& options, const std::string& name);

}  // namespace bundler
