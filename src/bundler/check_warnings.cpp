// qmk-bundle check, what users get wrong: class-path entries that name nothing, option elements
// that hold several options, VM options the chosen runtime refuses, keys of other launchers,
// message keys without a text, and a launcher that is a link or cannot be run.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "bundler/check_report.h"
#include "bundler/message_texts.h"
#include "platform/environment.h"
#include "platform/file_manager.h"
#include "platform/process.h"

namespace bundler {

namespace {

constexpr const char* kIncludeElement = "-include-options ";
constexpr const char* kJreBundleOption = "-Dqmk.jreBundle=";
constexpr const char* kClassPathOption = "-Djava.class.path=";
constexpr int kProbeMilliseconds = 20000;

// Top-level keys that other launchers read and ours does not.
const std::vector<std::string> kForeignKeys = {
    "Java",         "JavaX",         "JVMMainClassName", "JVMOptions",       "JVMArguments",
    "JVMClassPath", "JVMVersion",    "JVMRuntime",       "JVMDefaultOptions"};

// The message keys only the installer shows; checked for installer bundles alone.
const std::set<std::string> kInstallerKeys = {"DownloadJreError", "WizardCaption",
                                              "PrepareInstaller", "ButtonCancel",
                                              "DownloadingJre",   "DownloadProgress"};

// Options whose value is the next element of the vector.
const std::set<std::string> kOptionsWithValue = {
    "-p",           "--module-path",  "--upgrade-module-path", "--add-modules",
    "--add-opens",  "--add-exports",  "--add-reads",           "--patch-module",
    "--limit-modules", "-cp",         "-classpath",            "--class-path"};

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
    parts.push_back(text.substr(start, at - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void checkLauncherFile(CheckReport& report) {
  if (!report.launcher) {
    report.failures.push_back("no launcher in " + report.bundle +
                              "/Contents/MacOS (named by CFBundleExecutable)");
    return;
  }
  struct stat link {};
  if (::lstat(report.launcher->c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    report.warnings.push_back("the launcher " + *report.launcher +
                              " is a symbolic link: copy appstub into the bundle instead");
  }
  if (::access(report.launcher->c_str(), X_OK) != 0) {
    report.failures.push_back("the launcher " + *report.launcher +
                              " is missing or not executable (chmod +x)");
  }
}

void checkForeignKeys(CheckReport& report, const plist::Value& info) {
  std::string found;
  for (const auto& key : kForeignKeys) {
    if (!info[key].isNull()) found += (found.empty() ? "" : ", ") + key;
  }
  if (!found.empty()) {
    report.warnings.push_back("Info.plist holds keys of another launcher (" + found +
                              "), which appstub does not read: 'qmk-bundle import' converts them");
  }
}

void checkOptionElements(CheckReport& report, const plist::Value& array, const std::string& where) {
  const plist::Array* elements = array.asArray();
  if (!elements) return;
  for (const plist::Value& element : *elements) {
    const std::string* text = element.asString();
    if (!text || text->starts_with(kIncludeElement)) continue;
    if (text->find(" -") != std::string::npos || text->find("\t-") != std::string::npos) {
      report.warnings.push_back(where + " element \"" + *text +
                                "\" is handed over as one option but looks like several: "
                                "write one element per option");
    }
  }
}

// Entries as written in ClassPath: variables that are not set, and references only the VM
// options files would replace.
void checkWrittenClassPath(CheckReport& report, const plist::Value& javaVM,
                           const std::string& bundle) {
  auto written = javaVM["ClassPath"].stringValue();
  if (!written) return;
  for (const std::string& raw : splitAt(*written, ':')) {
    const std::string entry = replaceAll(raw, "$APP_PACKAGE", bundle);
    if (entry.starts_with("$")) {
      if (!platform::environmentValue(entry.substr(1))) {
        report.warnings.push_back("class-path entry " + raw + " names the variable " +
                                  entry.substr(1) + ", which is not set: the entry is dropped");
      }
    } else if (entry.find('$') != std::string::npos) {
      report.warnings.push_back("class-path entry " + raw +
                                " holds a variable, but ClassPath replaces only $APP_PACKAGE");
    } else if (entry.ends_with("/*") &&
               !platform::FileManager().isDirectory(entry.substr(0, entry.size() - 1))) {
      report.warnings.push_back("class-path entry " + raw + " scans a directory that exists nowhere");
    }
  }
}

// Entries of the class path the launch would hand over: each must name something.
void checkExpandedClassPath(CheckReport& report) {
  if (!report.launchVector) return;
  for (const auto& option : *report.launchVector) {
    if (!option.starts_with(kClassPathOption)) continue;
    for (const std::string& entry : splitAt(option.substr(std::string(kClassPathOption).size()), ':')) {
      std::string path = entry;
      if (!path.empty() && path[0] != '/' && report.workingDirectory) {
        path = platform::joinPath(*report.workingDirectory, path);
      }
      if (entry.empty() || !platform::FileManager().fileExists(path)) {
        report.warnings.push_back("class-path entry \"" + entry + "\" exists nowhere");
      }
    }
  }
}

// The bundle whose string table holds the notices' texts, as the launch core finds it.
std::shared_ptr<platform::Bundle> messageTable(const Launcher& launcher) {
  const plist::Value& base = launcher.info()["qmk.baseDir"];
  if (!base.isString()) return launcher.context().mainBundle;
  const std::string dir = replaceAll(*base.asString(), "$APP_PACKAGE", launcher.bundlePath());
  return platform::Bundle::create(platform::joinPath(dir, ".quillmark/Messages.bundle"));
}

void checkMessageTexts(CheckReport& report, const Launcher& launcher) {
  auto table = messageTable(launcher);
  if (!table) {
    report.warnings.push_back("qmk.baseDir names no .quillmark/Messages.bundle: "
                              "the launcher can show no notice at all");
    return;
  }
  const bool installer = !launcher.info()["qmk.jreLocation"].isNull() ||
                         platform::FileManager().isDirectory(
                             platform::joinPath(table->resourcePath(), "app"));
  std::string missing;
  for (const MessageText& message : messageTexts()) {
    if (!installer && kInstallerKeys.contains(message.key)) continue;
    if (table->localizedString(message.key, "", "") == message.key) {
      missing += (missing.empty() ? "" : ", ") + std::string(message.key);
    }
  }
  if (!missing.empty()) {
    report.warnings.push_back("no text in " + table->resourcePath() +
                              "/<language>.lproj/Localizable.strings for " + missing +
                              ": the user would see the bare key");
  }
}

// The VM options of the launch vector, an option and its value kept together.
std::vector<std::vector<std::string>> vmOptionGroups(const std::vector<std::string>& vector,
                                                     const std::string& runtime) {
  std::vector<std::vector<std::string>> groups;
  const std::string end = kJreBundleOption + runtime;
  for (size_t i = 1; i < vector.size() && vector[i] != end; i++) {
    if (kOptionsWithValue.contains(vector[i]) && i + 1 < vector.size() && vector[i + 1] != end) {
      groups.push_back({vector[i], vector[i + 1]});
      i++;
    } else {
      groups.push_back({vector[i]});
    }
  }
  return groups;
}

struct Probe {
  std::optional<int> status;  // absent: no answer in time
  std::string output;
};

// `bin/java OPTIONS -version`, in a temporary folder of its own, bounded in time. The variable
// the java command reads and the launch does not is emptied.
Probe askRuntime(const std::string& java, const std::vector<std::string>& options) {
  Probe probe;
  auto dir = platform::createUniqueDirectory("qmk-check-");
  if (!dir) return {std::nullopt, "no temporary folder"};
  platform::Process::Options command;
  command.path = java;
  command.arguments = options;
  command.arguments.push_back("-version");
  command.outputFile = platform::joinPath(*dir, "output");
  command.workingDirectory = *dir;
  if (platform::environmentValue("JDK_JAVA_OPTIONS")) {
    command.environmentOverrides = {{"JDK_JAVA_OPTIONS", ""}};
  }
  try {
    platform::Process child = platform::Process::launch(command);
    probe.status = child.waitUntilExit(kProbeMilliseconds);
    if (!probe.status) child.terminate();
  } catch (const std::exception& e) {
    probe.output = e.what();
    probe.status = -1;
  }
  if (auto text = platform::FileManager().readFile(*command.outputFile)) probe.output += *text;
  platform::FileManager().removeItem(*dir);
  return probe;
}

// The line of the runtime's answer that says what is wrong: the first that is not the note
// about picked-up option variables.
std::string firstLine(const std::string& text) {
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && !line.starts_with("NOTE: Picked up")) return line;
    start = end + 1;
  }
  return "no reason given";
}

std::string joined(const std::vector<std::string>& group) {
  std::string text;
  for (const auto& part : group) text += (text.empty() ? "" : " ") + part;
  return text;
}

}  // namespace

void addConfigurationWarnings(CheckReport& report, const Launcher& launcher) {
  const plist::Value& info = launcher.info();
  const plist::Value& javaVM = info["JavaVM"];
  checkLauncherFile(report);
  checkForeignKeys(report, info);
  checkOptionElements(report, javaVM["VMOptionArray"], "VMOptionArray");
  const plist::Value& versionSpecific = javaVM["VersionSpecificVMOptions"];
  for (size_t k = 1; k < versionSpecific.size(); k += 2) {
    checkOptionElements(report, versionSpecific[k], "VersionSpecificVMOptions");
  }
  checkWrittenClassPath(report, javaVM, launcher.bundlePath());
  checkExpandedClassPath(report);
  checkMessageTexts(report, launcher);
  if (!report.workingDirectory) {
    report.warnings.push_back("the working directory does not exist: the application would run "
                              "in the directory it is started from");
  }
}

void addRuntimeOptionWarnings(CheckReport& report) {
  const std::string java = platform::joinPath(report.runtime->home, "bin/java");
  if (::access(java.c_str(), X_OK) != 0) {
    report.warnings.push_back("no " + java + " to ask which VM options it takes");
    return;
  }
  auto groups = vmOptionGroups(*report.launchVector, report.runtime->path);
  std::vector<std::string> all;
  for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
  Probe together = askRuntime(java, all);
  if (together.status == 0) return;
  if (!together.status) {
    report.warnings.push_back(java + " did not answer within 20 s about the VM options");
    return;
  }
  // Something is refused: ask about each option on its own to name it.
  bool named = false;
  for (const auto& group : groups) {
    Probe alone = askRuntime(java, group);
    if (alone.status && *alone.status != 0) {
      report.failures.push_back("the runtime refuses the VM option " + joined(group) + ": " +
                                firstLine(alone.output));
      named = true;
    }
  }
  if (!named) {
    report.failures.push_back("the runtime does not start with these VM options: " +
                              firstLine(together.output));
  }
}

}  // namespace bundler
