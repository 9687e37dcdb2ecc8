// What `qmk-bundle package` makes: the bundle's facts, the package's names and version in the
// chosen format's rules, and what the desktop integration declares. Read and checked once by
// package.cpp; the staging core and the two formats only read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bundler {

enum class PackageFormat { kDeb, kRpm };

// One --file-type EXT:MIME[:DESCRIPTION].
struct FileType {
  std::string extension;  // without the leading dot
  std::string mimeType;
  std::optional<std::string> description;
  bool knownToMachine = false;  // the machine's shared-mime-info defines it already
};

// What the package needs to know about the bundle it carries.
struct PackagedBundle {
  std::string path;         // absolute, canonical
  std::string folderName;   // "Versions.app"
  std::string displayName;  // CFBundleName
  std::string desktopId;    // the desktop-file id made from CFBundleIdentifier
  std::string executable;   // CFBundleExecutable
  std::string version;      // CFBundleShortVersionString as written
  std::optional<std::string> mainClass;
  std::optional<std::string> iconFile;  // absolute path inside the bundle
  std::optional<std::string> minJava;   // qmk.minVersion
  bool embedsRuntime = false;           // Contents/PlugIns/jre.bundle
  bool isInstaller = false;             // fetches or unpacks its runtime through setupstub
  bool downloadsRuntime = false;        // ... from a URL
};

struct PackageRequest {
  PackageFormat format = PackageFormat::kDeb;
  PackagedBundle bundle;
  std::string name;     // the package name
  std::string version;  // mapped into the format's rules
  std::string release;
  std::string command;     // /usr/bin/<command>
  std::string category;    // a freedesktop main category
  std::string installDir;  // where <Name>.app goes: "/opt/<name>" or --prefix
  std::optional<std::string> maintainer;
  std::optional<std::string> description;
  std::optional<std::string> license;
  std::optional<std::string> copyrightFile;
  std::optional<std::string> homepage;
  std::vector<FileType> fileTypes;
  std::vector<std::string> urlSchemes;  // lower case
  std::string outDir;                   // absolute
  int64_t sourceDateEpoch = 0;          // the time every file and the package carry

  std::string installedBundle() const { return installDir + "/" + bundle.folderName; }
  std::string launcherPath() const { return installedBundle() + "/Contents/MacOS/" + bundle.executable; }
  std::string summary() const;  // one line: --description's first line or a made-up one
};

}  // namespace bundler
