// qmk-bundle import (being built).
#include <cstdio>

#include "bundler/commands.h"

namespace bundler {

int runImport(const Arguments&) {
  std::fputs("qmk-bundle import: not built yet\n", stderr);
  return 1;
}

}  // namespace bundler
