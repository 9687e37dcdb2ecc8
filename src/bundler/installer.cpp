// qmk-bundle installer: an installer bundle around setupstub. Its runtime is shipped inside
// (Contents/Resources/app/jre.tar.gz), downloaded from --runtime-url, or searched on the
// machine; its installer is the given jars' main class.
#include <cstdio>
#include <filesystem>
#include <regex>

#include "bundler/app_bundle.h"
#include "bundler/commands.h"
#include "bundler/failure.h"
#include "bundler/partial_folder.h"
#include "bundler/runtime_image.h"
#include "bundler/staged_output.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kCommand = "installer";
constexpr const char* kShippedArchive = "Contents/Resources/app/jre.tar.gz";
constexpr const char* kIconFile = "app.icns";
constexpr const char* kJreLocationKey = "qmk.jreLocation";
constexpr const char* kJreSha256Key = "qmk.jreSha256";
constexpr const char* kUncompressedSizeKey = "qmk.jreUncompressedSize";

CommandSyntax installerSyntax() {
  CommandSyntax syntax{
      kCommand, "--name NAME --jar JAR [--jar JAR...] [options]",
      "Makes NAME.app around setupstub: its progress window obtains a runtime and runs the\n"
      "jars' main class as the installer. The runtime is shipped in the bundle (--runtime\n"
      "jlink or PATH), downloaded (--runtime-url with the archive made here or given with\n"
      "--runtime-archive), or, with neither, searched on the user's machine.",
      appOptionSyntax()};
  syntax.options.push_back({"runtime", "WHAT",
                          "jlink, jlink=JDK or a runtime home: the runtime to ship (or, with "
                          "--runtime-url, to pack for the download)"});
  syntax.options.push_back({"add-modules", "MODULES", "modules jlink adds (comma-separated)", true});
  syntax.options.push_back({"runtime-url", "URL", "where the installer downloads the runtime"});
  syntax.options.push_back({"runtime-archive", "FILE",
                          "with --runtime-url: the archive served there (measured and hashed "
                          "here); without --runtime, or where the archive made is written"});
  syntax.options.push_back({"runtime-sha256", "HEX",
                          "the archive's SHA-256 (checked against the archive when there is one)"});
  return syntax;
}

// The runtime the installer gets, as written into its Info.plist and its Resources.
struct RuntimeDelivery {
  RuntimeRequest request;
  std::optional<std::string> url;
  std::optional<std::string> archive;  // an existing archive for the download road
  std::optional<std::string> archiveOut;  // where the archive made for the download goes
  std::optional<std::string> sha256;
};

RuntimeDelivery runtimeDelivery(const ParsedOptions& options, const AppDescription& app,
                                const std::string& out) {
  RuntimeDelivery delivery;
  delivery.request.choice = parseRuntimeChoice(options.value("runtime"));
  delivery.request.jars = app.jars;
  delivery.request.addModules = options.values("add-modules");
  delivery.request.minVersion = app.minJava;
  delivery.request.maxVersion = app.maxJava;
  delivery.request.identifier = app.identifier + ".jre";
  delivery.url = options.value("runtime-url");
  delivery.sha256 = options.value("runtime-sha256");
  const bool making = delivery.request.choice.kind != RuntimeChoice::Kind::kNone;
  auto archive = options.value("runtime-archive");
  if (delivery.sha256) {
    if (!std::regex_match(*delivery.sha256, std::regex("[0-9a-fA-F]{64}"))) {
      throw UsageError("--runtime-sha256 must be 64 hexadecimal digits.");
    }
    for (auto& c : *delivery.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (!delivery.url) {
    if (archive || delivery.sha256) {
      throw UsageError("--runtime-archive and --runtime-sha256 go with --runtime-url.");
    }
    return delivery;
  }
  if (making) {
    delivery.archiveOut = platform::absolutePath(
        archive.value_or(platform::deletingLastPathComponent(out) + "/" + app.name + "-jre.tar.gz"));
    if (delivery.sha256) {
      throw UsageError("--runtime-sha256 cannot be given for an archive made here; its digest " +
                       std::string("is computed and written for you."));
    }
  } else if (archive) {
    delivery.archive = platform::absolutePath(*archive);
    if (!platform::FileManager().isRegularFile(*delivery.archive)) {
      throw Failure("the runtime archive " + *archive + " does not exist.");
    }
  } else if (!delivery.sha256) {
    throw UsageError("--runtime-url needs the archive served there: make it with --runtime " +
                     std::string("jlink, give it with --runtime-archive, or at least give ") +
                     "--runtime-sha256.");
  }
  return delivery;
}

// Puts the runtime in place and returns the Info.plist keys that describe it.
plist::Dictionary deliverRuntime(const RuntimeDelivery& delivery, const std::string& bundle,
                                 const std::string& scratch) {
  plist::Dictionary keys;
  std::optional<std::string> archive = delivery.archive;
  if (delivery.request.choice.kind != RuntimeChoice::Kind::kNone) {
    const std::string runtimeBundle = platform::joinPath(scratch, "jre.bundle");
    makeRuntimeBundle(delivery.request, runtimeBundle);
    archive = delivery.url ? platform::joinPath(scratch, "jre.tar.gz")
                           : platform::joinPath(bundle, kShippedArchive);
    fs::create_directories(fs::path(*archive).parent_path());
    archiveRuntimeBundle(runtimeBundle, *archive);
    fs::remove_all(runtimeBundle);
  }
  if (archive) {
    keys[kUncompressedSizeKey] = plist::Value::integer(uncompressedSize(*archive));
  } else {
    warn(kCommand, "without the archive its uncompressed size is unknown: the installer's " +
                       std::string("progress bar will only estimate. Give --runtime-archive."));
  }
  if (delivery.url) {
    keys[kJreLocationKey] = plist::Value::string(*delivery.url);
    std::string digest = delivery.sha256.value_or("");
    if (archive) {
      const std::string measured = sha256OfFile(*archive);
      if (!digest.empty() && digest != measured) {
        throw Failure("the archive " + *archive + " has the SHA-256 " + measured + ", not the " +
                      "--runtime-sha256 given. Give the archive that is served at the URL.");
      }
      digest = measured;
    }
    keys[kJreSha256Key] = plist::Value::string(digest);
  }
  return keys;
}

int makeInstaller(const Arguments& args) {
  const CommandSyntax syntax = installerSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  const AppDescription app = describeApp(options, kCommand);
  const std::string outPath = outputPath(options, app.name);
  const RuntimeDelivery delivery = runtimeDelivery(options, app, outPath);
  const std::string launcher = launcherProgram("setupstub");
  if (delivery.archiveOut && pathExists(*delivery.archiveOut) && !options.has("force")) {
    throw Failure(*delivery.archiveOut + " exists already. Remove it, choose another " +
                  "--runtime-archive, or pass --force to replace it.");
  }

  StagedOutput out(outPath, options.has("force"));
  // The runtime is made beside the bundle, in a partial folder of its own, never inside it.
  PartialFolder scratch(outPath);
  plist::Dictionary info = appInfo(app);
  if (app.iconPath) info["CFBundleIconFile"] = plist::Value::string(kIconFile);
  writeAppContents(app, out.path(), launcher,
                   messageEntries({{"WizardCaption", app.name + " Setup"}}), kIconFile);
  for (auto& [key, value] : deliverRuntime(delivery, out.path(), scratch.path())) {
    info[key] = value;
  }
  writeInfoPlist(out.path(), info);
  out.commit();
  if (delivery.archiveOut) {
    fs::rename(platform::joinPath(scratch.path(), "jre.tar.gz"), *delivery.archiveOut);
    std::printf("%s\n", delivery.archiveOut->c_str());
    std::fprintf(stderr, "qmk-bundle installer: put %s at %s\n", delivery.archiveOut->c_str(),
                 delivery.url->c_str());
  }
  std::printf("%s\n", out.finalPath().c_str());
  return kExitDone;
}

}  // namespace

int runInstaller(const Arguments& args) {
  return runReporting(kCommand, [&] { return makeInstaller(args); });
}

}  // namespace bundler
