// qmk-bundle create: an application bundle around appstub from one or more jars, ready to start.
#include <cstdio>

#include "bundler/app_bundle.h"
#include "bundler/commands.h"
#include "bundler/failure.h"
#include "bundler/module_directives.h"
#include "bundler/runtime_image.h"
#include "bundler/service_choices.h"
#include "bundler/staged_output.h"
#include "bundler/update_options.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr const char* kCommand = "create";
constexpr const char* kEmbeddedRuntime = "Contents/PlugIns/jre.bundle";
constexpr const char* kStartupCacheKey = "qmk.startupCache";

CommandSyntax createSyntax() {
  CommandSyntax syntax{
      kCommand, "--name NAME --jar JAR [--jar JAR...] [options]",
      "Makes NAME.app: Contents/MacOS/NAME (a copy of appstub), Contents/Info.plist,\n"
      "Contents/Java/*.jar, the notice texts in Contents/Resources/en.lproj/Localizable.strings\n"
      "and, with --runtime, an embedded runtime in Contents/PlugIns/jre.bundle. The bundle is\n"
      "built beside --out and moved into place only when complete.",
      appOptionSyntax()};
  syntax.options.push_back({"runtime", "WHAT",
                          "none (default: the machine's runtime is searched at each start), "
                          "jlink or jlink=JDK (a runtime made by jlink with the modules the jars "
                          "need), or the path of a runtime home to copy"});
  syntax.options.push_back({"add-modules", "MODULES",
                          "modules jlink adds to those jdeps finds (comma-separated)", true});
  syntax.options.push_back({"no-startup-cache", "", "do not turn the startup cache on"});
  syntax.options.push_back({"no-manifest-vm-options", "",
                          "do not turn the main jar's Add-Opens, Add-Exports and "
                          "Enable-Native-Access into VM options"});
  for (auto& service : serviceOptionSyntax()) syntax.options.push_back(std::move(service));
  for (auto& option : updateOptionSyntax()) syntax.options.push_back(std::move(option));
  return syntax;
}

RuntimeRequest runtimeRequest(const ParsedOptions& options, const AppDescription& app) {
  RuntimeRequest request;
  request.choice = parseRuntimeChoice(options.value("runtime"));
  request.jars = javaSources(app);
  request.addModules = options.values("add-modules");
  if (!request.addModules.empty() && request.choice.kind != RuntimeChoice::Kind::kJlink) {
    throw UsageError("--add-modules needs --runtime jlink.");
  }
  request.minVersion = app.minJava;
  request.maxVersion = app.maxJava;
  request.identifier = app.identifier + ".jre";
  return request;
}

// The API's jar goes with the application's own, on its class path; an application that ships
// a jar of that name itself keeps its own.
void addLauncherApi(AppDescription& app) {
  const std::string jar = launcherApiJar();
  const std::string name = platform::lastPathComponent(jar);
  for (const auto& own : app.javaEntries) {
    if (own.name == name) return;
  }
  app.jars.push_back(jar);
  app.javaEntries.push_back({.source = jar, .name = name});
}

int create(const Arguments& args) {
  const CommandSyntax syntax = createSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  AppDescription app = describeApp(options, kCommand);
  const ServiceChoices services = readServiceChoices(options);
  if (services.launcherApi) addLauncherApi(app);
  const RuntimeRequest runtime = runtimeRequest(options, app);
  const std::string launcher = launcherProgram("appstub");

  // The update keys are checked before anything is written.
  plist::Dictionary updateKeys;
  addUpdateKeys(options, updateKeys);

  StagedOutput out(outputPath(options, app.name), options.has("force"));
  writeAppContents(app, out.path(), launcher, messageEntries(), app.name + ".icns");
  std::optional<std::string> embeddedHome;
  if (runtime.choice.kind != RuntimeChoice::Kind::kNone) {
    makeRuntimeBundle(runtime, platform::joinPath(out.path(), kEmbeddedRuntime));
    embeddedHome = platform::joinPath(out.path(), std::string(kEmbeddedRuntime) + "/Contents/Home");
  }
  if (!options.has("no-manifest-vm-options")) {
    // Ahead of the --vm-option ones, so that what the user gives has the last word.
    const auto manifestOptions = manifestVmOptions(app.jars.front(), embeddedHome, runtime, kCommand);
    app.vmOptions.insert(app.vmOptions.begin(), manifestOptions.begin(), manifestOptions.end());
  }
  plist::Dictionary info = appInfo(app);
  if (!options.has("no-startup-cache")) info[kStartupCacheKey] = plist::Value::boolean(true);
  addServiceKeys(services, info);
  info.merge(updateKeys);
  writeInfoPlist(out.path(), info);
  out.commit();
  std::printf("%s\n", out.finalPath().c_str());
  return kExitDone;
}

}  // namespace

int runCreate(const Arguments& args) {
  return runReporting(kCommand, [&] { return create(args); });
}

}  // namespace bundler
