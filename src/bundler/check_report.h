// What qmk-bundle check found out about one bundle: what appstub would do with it, what would
// stop the launch, and what looks wrong. Plain data; check.cpp prints it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "launcher/Launcher.h"

namespace bundler {

struct ChosenRuntime {
  std::string path;
  std::optional<std::string> version;
  std::string library;   // the launcher library appstub would load
  std::string home;      // where bin/java is
};

struct CheckReport {
  std::string bundle;
  std::optional<std::string> launcher;  // Contents/MacOS/<executable>, absent when there is none
  std::string infoPlist;
  std::optional<std::string> infoPlistProblem;  // the reader's reason; absent when it reads
  std::optional<std::string> version;  // CFBundleShortVersionString, else CFBundleVersion
  std::vector<RuntimeCandidate> candidates;
  std::optional<ChosenRuntime> runtime;
  std::vector<std::string> packedArchives;  // what the launch would expand with unpack200
  std::optional<std::vector<std::string>> launchVector;
  std::optional<std::string> workingDirectory;
  std::optional<std::string> lang;  // set only when the launch would set it
  std::string startupCache;         // whether a startup cache would be used, and why
  std::vector<std::string> warnings;
  std::vector<std::string> failures;  // why the launch would not start; empty when it would

  bool wouldStart() const { return failures.empty(); }
};

// Works out the report for the bundle at `bundlePath`, as a start with `arguments` on its
// command line would go. Changes nothing in the bundle or elsewhere.
CheckReport explainLaunch(const std::string& bundlePath, const std::vector<std::string>& arguments);

// The warnings about the configuration and the chosen runtime, added to `report`.
void addConfigurationWarnings(CheckReport& report, const Launcher& launcher);
void addRuntimeOptionWarnings(CheckReport& report);
// A warning when the JavaVM dictionary's SplashFile names no image the runtime can show.
void addSplashWarnings(CheckReport& report, const plist::Value& javaVM, const std::string& bundle);

}  // namespace bundler
