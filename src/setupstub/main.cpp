// setupstub: the executable of an installer bundle. With the re-entry marker it launches the
// runtime named in an argument file; otherwise it runs the installer shell.
#include <cstring>

#include "launcher/global.h"
#include "launcher/jli.h"
#include "platform/process.h"
#include "setupstub/application.h"

static constexpr const char* kInvokeOther = "__qmk_invoke_other";

int main(int argc, char** argv) {
  platform::openMissingStandardDescriptors();
  // A runtime library that enters again finds the launch under way: hand it straight back,
  // so that a stray re-entry can never open an installer window.
  if (JLI_LaunchFxnPtr != nullptr) return launcher_main(argc, argv);
  // The runtime library re-executed this process to run with its own library path: the vector
  // is the launch vector of a re-entry launch (no marker in it) and must go straight back to the
  // library, never to the installer shell.
  if (auto resumed = resumeAfterReexec(argc, argv)) return *resumed;

  DLOG("%s [Line %d] app started %d", argc);
  for (int i = 0; i < argc; i++) DLOG("%s [Line %d] arg %s", argv[i]);
  if (argc >= 3 && std::strcmp(argv[1], kInvokeOther) == 0) {
    DLOG("%s [Line %d] invoke other %s %p", argv[2], &launcher_main);
    return launcher_main(argc, argv);
  }
  runApplication(argc, argv);
}
