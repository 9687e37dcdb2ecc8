// qmk-bundle desktop (being built).
#include <cstdio>

#include "bundler/commands.h"

namespace bundler {

int runDesktop(const Arguments&) {
  std::fputs("qmk-bundle desktop: not built yet\n", stderr);
  return 1;
}

}  // namespace bundler
