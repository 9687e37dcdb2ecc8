#include "bundler/message_texts.h"

namespace bundler {

const std::vector<MessageText>& messageTexts() {
  // The notice's header is the application's name, so the texts need not repeat it. A text
  // shown without inserts is shown as it stands: those texts hold no "%".
  static const std::vector<MessageText> texts = {
      {"vexel.InternalError",
       "The program stopped because of an internal error: %@\n\nStart it from a terminal with "
       "QUILLMARK_LOG=yes to see what it did.",
       "the description of the failure"},
      {"AppleJavaMinVersionError",
       "Java %@ or newer is needed to run %@, and none was found on this computer. Install a "
       "Java runtime and start the program again.",
       "the minimum Java version (\"qmk.minVersion\"); the application's name (\"CFBundleName\")"},
      {"DownloadJreError",
       "The Java runtime needed for the installation could not be downloaded. Check the "
       "network connection and start the installer again.",
       ""},
      {"NonWritablePackDir",
       "The Java runtime inside the application must be prepared once, and its folder cannot "
       "be written. Start the program once as a user who may write to the application's folder.",
       ""},
      // The installer window's own texts.
      {"WizardCaption", "Setup", ""},
      {"PrepareInstaller", "Preparing to install %@...", "the application's name"},
      {"ButtonCancel", "Cancel", ""},
      {"DownloadingJre", "Downloading Java for %@...", "the application's name"},
      {"DownloadProgress", "%@ of %@ MiB (%@%%), %@ KiB/s",
       "MiB received; MiB in all; percent done; speed in KiB/s"},
  };
  return texts;
}

}  // namespace bundler
