// The RPM package: a build recipe generated for the staged tree, handed to rpmbuild, whose own
// dependency generator reads the sonames the ELF files need. The libraries the bundle carries
// are neither offered to the system (provides) nor asked of it (requires).
#include <filesystem>
#include <set>

#include "bundler/failure.h"
#include "bundler/package_formats.h"
#include "bundler/package_naming.h"
#include "bundler/staged_output.h"
#include "bundler/tools.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

// `text` as a literal inside a POSIX extended regular expression.
std::string regexLiteral(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(".[]{}()\\*+?^$|").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// A recipe value on one line; '%' would start a macro.
std::string recipeValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') break;
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string recipeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

std::string javaRequires(const PackageRequest& request) {
  if (request.bundle.embedsRuntime || request.bundle.isInstaller) return "";
  const int feature = request.bundle.minJava ? javaFeatureRelease(*request.bundle.minJava).value_or(8)
                                             : 8;
  // Every RPM distribution's runtime packages provide "jre" with their feature release as the
  // version; a requirement without an epoch matches whatever epoch they use.
  return "Requires: jre >= " + std::to_string(feature) + "\n";
}

std::string weakDependencies(const PackageRequest& request) {
  std::string text;
  if (request.bundle.isInstaller) text += "Recommends: libgtk-3.so.0()(64bit)\n";
  if (request.bundle.downloadsRuntime) text += "Recommends: libcurl.so.4()(64bit)\n";
  return text;
}

std::string filesSection(const PackageRequest& request, const StagedTree& tree) {
  std::string text = "%files\n%defattr(-,root,root,-)\n" + recipeValue(request.installDir) + "\n";
  text += "/usr/share/doc/" + request.name + "\n";
  for (const auto& entry : installedEntries(tree.root)) {
    if (entry.starts_with(request.installDir + "/") || entry == request.installDir) continue;
    if (entry.starts_with("/usr/share/doc/")) continue;
    const fs::path path = fs::path(tree.root) / fs::path(entry).relative_path();
    if (fs::is_directory(fs::symlink_status(path))) continue;
    text += recipeValue(entry) + "\n";
  }
  return text;
}

std::string buildRecipe(const PackageRequest& request, const StagedTree& tree) {
  std::string text;
  // No debug packages, no stripping or byte-compiling of the bundle: it is installed as made.
  text += "%global debug_package %{nil}\n%global __os_install_post %{nil}\n";
  text += "%global _build_id_links none\n";
  text += "%global _buildhost reproducible\n%global _binary_payload w1.xzdio\n";
  text += "%global use_source_date_epoch_as_buildtime 1\n";
  text += "%global clamp_mtime_to_source_date_epoch 1\n";
  text += "%global __provides_exclude_from ^" + regexLiteral(request.installDir) + "/.*$\n";
  if (!tree.sharedLibraries.empty()) {
    std::set<std::string> names(tree.sharedLibraries.begin(), tree.sharedLibraries.end());
    std::string alternatives;
    for (const auto& name : names) {
      alternatives += (alternatives.empty() ? "" : "|") + regexLiteral(name);
    }
    text += "%global __requires_exclude ^(" + alternatives + ")\n";
  }
  text += "Name: " + request.name + "\n";
  text += "Version: " + request.version + "\n";
  text += "Release: " + request.release + "\n";
  text += "Summary: " + recipeValue(request.summary()) + "\n";
  text += "License: " + recipeValue(request.license.value_or("LicenseRef-not-stated")) + "\n";
  if (request.homepage) text += "URL: " + recipeValue(*request.homepage) + "\n";
  if (request.maintainer) text += "Packager: " + recipeValue(*request.maintainer) + "\n";
  text += javaRequires(request) + weakDependencies(request);
  text += "\n%description\n";
  text += recipeText(request.description.value_or(
              request.bundle.displayName + " as an application bundle with its own launcher.")) +
          "\n";
  text += "\n%install\ncp -a " + tree.root + "/. %{buildroot}/\n\n";
  text += filesSection(request, tree);
  return text;
}

}  // namespace

std::string buildRpm(const PackageRequest& request, const StagedTree& tree,
                     const std::string& workDir) {
  if (tree.root.find_first_of(" \t\n\"'%$\\") != std::string::npos) {
    throw Failure("the work folder " + tree.root + " holds characters rpmbuild cannot take. " +
                  "Set TMPDIR to a plain folder such as /tmp.");
  }
  const std::string recipePath = platform::joinPath(workDir, request.name + ".rpmbuild");
  writeFileAtomically(recipePath, buildRecipe(request, tree));
  const std::string top = platform::joinPath(workDir, "rpm");
  ToolSetting setting;
  setting.environment = reproducibleEnvironment(request);
  setting.workingDirectory = workDir;
  runToolOrFail("building the RPM package", programInPath("rpmbuild", "rpm"),
                {"-bb", "--quiet", "--target", "x86_64", "--define", "_topdir " + top,
                 "--define", "_rpmdir " + top + "/out", "--define",
                 "_build_name_fmt package.rpm", "--define", "_tmppath " + top + "/tmp",
                 "--buildroot", platform::joinPath(workDir, "buildroot"), recipePath},
                setting);
  return top + "/out/package.rpm";
}

}  // namespace bundler
