// qmk-bundle create (being built).
#include <cstdio>

#include "bundler/commands.h"

namespace bundler {

int runCreate(const Arguments&) {
  std::fputs("qmk-bundle create: not built yet\n", stderr);
  return 1;
}

}  // namespace bundler
