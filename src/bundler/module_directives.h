// What `java -jar` takes from the main jar's manifest besides the main class: Add-Opens,
// Add-Exports and Enable-Native-Access. A bundle starts its main class on a class path, where
// java reads none of them, so they become VM options; java -jar passes over packages the runtime
// lacks without a word, so options for those are left out.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bundler {

class Jar;
struct RuntimeRequest;

struct ModuleDirectives {
  std::vector<std::string> addOpens;    // "module/package", in manifest order
  std::vector<std::string> addExports;  // likewise
  std::optional<std::string> nativeAccess;  // the Enable-Native-Access value, as written
  std::optional<std::string> launcherAgent;  // Launcher-Agent-Class, which no option maps

  bool empty() const { return addOpens.empty() && addExports.empty() && !nativeAccess; }
};

ModuleDirectives moduleDirectives(const Jar& mainJar);

// The VM options for `directives` on the runtime at `home` ("--add-opens=M/P=ALL-UNNAMED",
// "--add-exports=M/P=ALL-UNNAMED", "--enable-native-access=ALL-UNNAMED"). Packages the runtime
// lacks are left out and named in `leftOut`; when its packages cannot be read, all are kept.
std::vector<std::string> directiveOptions(const ModuleDirectives& directives,
                                          const std::string& home,
                                          std::vector<std::string>& leftOut);

// The options the main jar's manifest asks for, checked against the runtime at `home`; one line
// on standard error under `command` says which runtime that was and what was left out.
// The runtime is the one the bundle carries (`embeddedHome`), else the JDK create would jlink
// from for `request`; without either the options are kept as written.
std::vector<std::string> manifestVmOptions(const std::string& mainJar,
                                           const std::optional<std::string>& embeddedHome,
                                           const RuntimeRequest& request,
                                           const std::string& command);

// "module/package" of an --add-opens or --add-exports value ("M/P=TARGETS"); absent otherwise.
std::optional<std::string> modulePackageOf(const std::string& value);

}  // namespace bundler
