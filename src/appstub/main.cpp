// appstub: the executable of an application bundle. Everything happens in launcher_main; main is
// exported so that a runtime library can enter it again.
#include "launcher/global.h"
#include "platform/process.h"

extern "C" QMK_EXPORT int main(int argc, char** argv) {
  platform::openMissingStandardDescriptors();
  return launcher_main(argc, argv);
}
