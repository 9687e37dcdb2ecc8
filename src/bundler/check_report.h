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

// One launcher service and what it will do for this bundle.
struct ServiceLine {
  std::string name;     // "launcher services", "single instance", "restart", "user options"
  std::string setting;  // how the bundle sets it
  std::string effect;   // what it will do
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
  std::vector<ServiceLine> services;
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
// The warnings about what the class-path jars' manifests ask for (Class-Path entries outside the
// bundle or missing, module options the runtime cannot honour, a Launcher-Agent-Class).
void addManifestWarnings(CheckReport& report, const Launcher& launcher);
// A warning when the JavaVM dictionary's SplashFile names no image the runtime can show.
void addSplashWarnings(CheckReport& report, const plist::Value& javaVM, const std::string& bundle);
// What each launcher service key will do, into `report` (and a warning for an unusable one).
void addServicesReport(CheckReport& report, const Launcher& launcher);

}  // namespace bundler
