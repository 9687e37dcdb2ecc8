// qmk-bundle installer (being built).
#include <cstdio>

#include "bundler/commands.h"

namespace bundler {

int runInstaller(const Arguments&) {
  std::fputs("qmk-bundle installer: not built yet\n", stderr);
  return 1;
}

}  // namespace bundler
