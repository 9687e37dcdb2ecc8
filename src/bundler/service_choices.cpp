#include "bundler/service_choices.h"

#include "bundler/failure.h"
#include "launcher/service_keys.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"

namespace bundler {

namespace {

constexpr const char* kApiJarName = "quillmark-launcher.jar";
constexpr int kHighestStatus = 255;

int parseExitCode(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 3 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const int status = digits ? std::stoi(text) : 0;
  if (status < 1 || status > kHighestStatus) {
    throw UsageError("--restart-exit-code '" + text + "' is not an exit status from 1 to 255; " +
                     "give the status the application ends with to be restarted, such as 9.");
  }
  return status;
}

}  // namespace

std::vector<OptionSyntax> serviceOptionSyntax() {
  return {
      {"launcher-api", "",
       "copy the launcher services' Java API (" + std::string(kApiJarName) +
           ") into Contents/Java, put it on the class path and turn its services on"},
      {"single-instance", "",
       "a later start hands its arguments to the running instance (implies --launcher-api)"},
      {"restart-exit-code", "N",
       "when the application ends with status N (1 to 255), start it again"},
      {"user-options", "",
       "also read the user's own ~/.config/<identifier>/<name>.vmoptions at each start"},
  };
}

ServiceChoices readServiceChoices(const ParsedOptions& options) {
  ServiceChoices choices;
  choices.singleInstance = options.has("single-instance");
  choices.launcherApi = options.has("launcher-api") || choices.singleInstance;
  choices.userOptions = options.has("user-options");
  if (auto status = options.value("restart-exit-code")) {
    choices.restartExitCode = parseExitCode(*status);
  }
  return choices;
}

void addServiceKeys(const ServiceChoices& choices, plist::Dictionary& info) {
  using namespace qmk::services;
  if (choices.launcherApi) info[kLauncherServicesKey] = plist::Value::boolean(true);
  if (choices.singleInstance) info[kSingleInstanceKey] = plist::Value::boolean(true);
  if (choices.restartExitCode) {
    info[kRestartExitCodeKey] = plist::Value::integer(*choices.restartExitCode);
  }
  if (choices.userOptions) info[kUserOptionsKey] = plist::Value::boolean(true);
}

std::string launcherApiJar() {
  const std::string bin = platform::deletingLastPathComponent(platform::executablePath());
  const std::string prefix = platform::deletingLastPathComponent(bin);
  const std::vector<std::string> places = {
      platform::joinPath(prefix, std::string("lib/") + kApiJarName),
      platform::joinPath(prefix, std::string("share/quillmark/") + kApiJarName),
  };
  platform::FileManager files;
  for (const auto& place : places) {
    if (files.isRegularFile(place)) return place;
  }
  throw Failure("the launcher services' Java API is not beside qmk-bundle (looked for " +
                places[0] + " and " + places[1] + "). Build it (scripts/build --target " +
                "quillmark_launcher_jar) or install qmk-bundle with it.");
}

}  // namespace bundler
