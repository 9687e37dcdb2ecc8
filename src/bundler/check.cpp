// qmk-bundle check (being built).
#include <cstdio>

#include "bundler/commands.h"

namespace bundler {

int runCheck(const Arguments&) {
  std::fputs("qmk-bundle check: not built yet\n", stderr);
  return 1;
}

}  // namespace bundler
