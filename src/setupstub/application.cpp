#include "setupstub/application.h"

#include <cstdio>
#include <cstdlib>

// Replaced by the installer shell.
void runApplication(int, char**) {
  std::fputs("setupstub: the installer shell is not available in this build\n", stderr);
  std::exit(1);
}
