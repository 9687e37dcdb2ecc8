// A stand-in for the table of message texts until the one of qmk-bundle create is merged: the
// keys the launchers show, with their English texts.
#include "bundler/message_texts.h"

namespace bundler {

const std::vector<MessageText>& messageTexts() {
  static const std::vector<MessageText> texts = {
      {"vexel.InternalError", "The application cannot start: %@", "what went wrong"},
      {"AppleJavaMinVersionError", "Java %@ or newer is needed for %@, and none was found.",
       "qmk.minVersion; CFBundleName"},
      {"NonWritablePackDir", "The application's Java runtime cannot be prepared: its folder is "
                             "not writable.", ""},
      {"DownloadJreError", "The Java runtime could not be downloaded.", ""},
      {"WizardCaption", "Installer", ""},
      {"PrepareInstaller", "Preparing the installer of %@", "CFBundleName"},
      {"ButtonCancel", "Cancel", ""},
      {"DownloadingJre", "Downloading Java for %@", "CFBundleName"},
      {"DownloadProgress", "%@ of %@ MiB (%@ %%, %@ KiB/s)", "MiB received; MiB in all; percent; speed"},
  };
  return texts;
}

}  // namespace bundler
