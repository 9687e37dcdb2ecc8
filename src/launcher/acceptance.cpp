// Whether one candidate runtime suits the application: its identifier, its pre-release markers
// and its version against the configured bounds. On acceptance the candidate's version is
// recorded; a refusal is a null result and leaves everything as it was.

#include <cstdlib>
#include <cstring>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/version.h"

namespace {

// A browser plug-in states its version in four parts (1.8.311.11 for 1.8.0_311); read it as the
// runtime version it stands for.
std::vector<std::string> pluginComponents(std::vector<std::string> components) {
  if (components.size() == 4 && components[0] == "1" && components[2] != "0") {
    return {components[0], components[1], "0", components[2]};
  }
  return components;
}

// 1.8 and older count their major version in the second place.
int32_t majorVersion(const std::vector<std::string>& components) {
  int32_t first = components.empty() ? 0 : qmk::numericValue32(components[0]);
  if (first != 1) return first;
  return components.size() > 1 ? qmk::numericValue32(components[1]) : 1;
}

// The version handed to the runtime library stops before the update or build number.
std::string launchVersionOf(const std::string& version) {
  return version.substr(0, version.find_first_of("_+"));
}

}  // namespace

char* Launcher::checkJavaVersion(const OptionalString& min, const OptionalString& max,
                                 bool allowBeta, bool plugin,
                                 const OptionalString& requiredVmPrefix) {
  OptionalString bundleVersion, evarVersion, infoString;
  if (javaBundle) {
    DLOG("%s [Line %d] identifier1 %@", requiredVmPrefix);
    OptionalString identifier = javaBundle->identifier();
    if (requiredVmPrefix && !requiredVmPrefix->empty() && identifier) {
      DLOG("%s [Line %d] identifier %@ %@", identifier, requiredVmPrefix);
      if (!identifier->starts_with(*requiredVmPrefix)) {
        noteCandidate(javaBundlePath.value_or(""), std::nullopt,
                      platform::format("identifier %@ does not begin with qmk.vmIdPrefix %@",
                                       *identifier, *requiredVmPrefix));
        return nullptr;
      }
    }
    bundleVersion = javaBundle->infoValue("JavaVM")["JVMVersion"].stringValue();
    if (plugin && !bundleVersion)
      bundleVersion = javaBundle->infoValue("CFBundleVersion").stringValue();
    evarVersion = javaBundle->infoValue("EvarVersion").stringValue();
    infoString = javaBundle->infoValue("CFBundleGetInfoString").stringValue();
  }
  return checkBundleVersion(min, max, allowBeta, plugin, bundleVersion, evarVersion, infoString);
}

char* Launcher::checkBundleVersion(const OptionalString& min, const OptionalString& max,
                                   bool allowBeta, bool plugin, const OptionalString& bundleVersion,
                                   const OptionalString& evarVersion,
                                   const OptionalString& infoString) {
  char* result = nullptr;
  OptionalString refusal;
  if (!bundleVersion) {
    refusal = "states no version";
  } else if (!allowBeta && (isBetaVersion(bundleVersion) || isBetaVersion(evarVersion) ||
                            isBetaVersion(infoString))) {
    DLOG("%s [Line %d] beta not allowed %@", bundleVersion);
    refusal = "a pre-release, and qmk.allowBeta is off";
  } else {
    std::vector<std::string> components = versionComponents(*bundleVersion);
    if (plugin) components = pluginComponents(std::move(components));
    DLOG("%s [Line %d] comparing3 %@ %@ %@ %@", bundleVersion, components, min, max);
    bool withinMin = compareVersion(min, components, false);
    bool withinMax = compareVersion(max, components, true);
    DLOG("%s [Line %d] comparing4 %d %d", withinMin, withinMax);
    if (withinMin && withinMax) {
      // Allocation failure refuses the candidate rather than recording half an acceptance.
      result = ::strdup(launchVersionOf(*bundleVersion).c_str());
      if (result) {
        javaVersion = bundleVersion;
        javaMajorVersion = majorVersion(components);
      } else {
        refusal = "out of memory";
      }
    } else {
      refusal = !withinMin && !withinMax ? platform::format("outside %@ to %@", min, max)
                : !withinMin             ? platform::format("below qmk.minVersion %@", min)
                                         : platform::format("above qmk.maxVersion %@", max);
    }
  }
  noteCandidate(javaBundlePath.value_or(""), bundleVersion, refusal);
  DLOG("%s [Line %d] check returned %s", result);
  return result;
}

void Launcher::noteCandidate(std::string path, OptionalString version, OptionalString refusal) {
  candidates_.push_back({std::move(path), std::move(version), std::move(refusal)});
}
