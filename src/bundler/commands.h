// The subcommands of qmk-bundle. Each takes the arguments that follow its name and returns the
// exit status: 0 done, 1 failed, 2 a usage error.
#pragma once

#include <string>
#include <vector>

namespace bundler {

using Arguments = std::vector<std::string>;

int runCreate(const Arguments& args);     // create.cpp
int runInstaller(const Arguments& args);  // installer.cpp
int runImport(const Arguments& args);     // import.cpp
int runCheck(const Arguments& args);      // check.cpp
int runDesktop(const Arguments& args);    // desktop.cpp
int runKeygen(const Arguments& args);     // keygen.cpp
int runPublish(const Arguments& args);    // publish.cpp
int runPackage(const Arguments& args);    // package.cpp

}  // namespace bundler
