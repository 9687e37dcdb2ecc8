// A bundle directory: its information property list, identifier, resources and string tables.
// Application bundles keep Info.plist in Contents/; a flat bundle keeps it at its top. A plain
// runtime home (bin/java and a release file, no Info.plist) opens as a runtime bundle whose
// JavaVM/JVMVersion is the release file's JAVA_VERSION.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace platform {

class Bundle {
 public:
  // A bundle for an existing directory; null when `path` is not one. A directory without a
  // readable property list is still a bundle, with an empty information dictionary.
  static std::shared_ptr<Bundle> create(const std::string& path);
  // The bundle of the running program, by the rule of forProgram() for the path it was started
  // as and its real executable.
  static std::shared_ptr<Bundle> main();
  // The bundle that holds the executable at `executablePath`: for X/Contents/MacOS/prog (real
  // path) that is X, otherwise the executable's directory.
  static std::shared_ptr<Bundle> forExecutable(const std::string& executablePath);
  // The bundle of a program started as `startedPath` whose real executable is `executablePath`.
  // A real executable that stands in X/Contents/MacOS belongs to X. Otherwise the started path
  // and then each link it leads through count, the first that stands in a bundle's
  // Contents/MacOS giving the bundle, so that a bundle may hold just a link to a launcher
  // installed elsewhere. Without one, the real executable's directory.
  static std::shared_ptr<Bundle> forProgram(const std::string& startedPath,
                                            const std::string& executablePath);

  const std::string& path() const { return path_; }
  // The information dictionary; empty when there is none, it is unreadable or not a dictionary.
  const plist::Value& info() const { return info_; }
  // Where the information property list is (or would be), and why the dictionary is empty when
  // that file is missing, unreadable, malformed or not a dictionary (the reader's reason).
  const std::string& infoPath() const { return infoPath_; }
  const std::optional<std::string>& infoProblem() const { return infoProblem_; }
  // A top-level key of the information dictionary (a null value when absent).
  const plist::Value& infoValue(const std::string& key) const { return info_[key]; }
  // CFBundleIdentifier when it is a string.
  std::optional<std::string> identifier() const;
  // Contents/Resources, or the bundle directory itself for a flat bundle.
  std::string resourcePath() const;
  // The path of resource `name`.`extension` in the resources directory, when it exists.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& extension) const;
  // True when the bundle is a plain runtime home read through its release file.
  bool isPlainRuntimeHome() const { return plainRuntimeHome_; }

  // The text of `key` in string table `table` ("Localizable" when empty) in the best language
  // the bundle has (see languages()). A missing key gives `value` when it is not empty,
  // otherwise the key itself.
  std::string localizedString(const std::string& key, const std::string& value = "",
                              const std::string& table = "") const;
  // The languages tried, best first: the user's preferred languages as the process received
  // them at start (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), the bundle's development region, "en",
  // "Base". After them comes the unlocalised table in the resources directory.
  std::vector<std::string> languages() const;

 private:
  // forProgram() for an executable path that is real already.
  static std::shared_ptr<Bundle> forRealExecutable(const std::string& startedPath,
                                                   const std::string& realPath);
  Bundle(std::string path, plist::Value info, bool flat, bool plainRuntimeHome);

  std::string path_;
  plist::Value info_;
  std::string infoPath_;
  std::optional<std::string> infoProblem_;
  bool flat_ = false;
  bool plainRuntimeHome_ = false;
};

// Parses a string table in the text form ("key" = "value"; with comments and escapes, UTF-8 or
// UTF-16 with a byte-order mark) or the property-list form. Absent when malformed.
std::optional<plist::Dictionary> parseStringsTable(const std::string& bytes);

}  // namespace platform
