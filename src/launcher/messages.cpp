// Stop-level notices: a message key looked up in the messages bundle the application ships,
// filled with up to two inserts, shown under the application's name.
#include <string>
#include <vector>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/text.h"
#include "platform/file_manager.h"

namespace {

constexpr const char* kBaseDirKey = "qmk.baseDir";
constexpr const char* kBundleNameKey = "CFBundleName";
constexpr const char* kMessagesBundle = ".quillmark/Messages.bundle";

// The bundle whose string table holds the message texts: the messages bundle below the base
// directory when one is configured, otherwise the application's own bundle.
std::shared_ptr<platform::Bundle> tableBundle(const std::shared_ptr<platform::Bundle>& mainBundle) {
  const plist::Value& baseDir = mainBundle->infoValue(kBaseDirKey);
  if (baseDir.isNull()) return mainBundle;
  if (!baseDir.isString()) {
    DLOG("%s [Line %d] ignoring %@: not a string", kBaseDirKey);
    return mainBundle;
  }
  std::string dir = qmk::replaceAppPackage(*baseDir.asString(), mainBundle->path());
  return platform::Bundle::create(platform::joinPath(dir, kMessagesBundle));
}

}  // namespace

std::string Launcher::fillMessage(const std::string& text,
                                  const std::vector<std::string>& inserts) {
  // The text comes from a file the application ships: it is never handed to a printf-style
  // formatter. Only "%@" (in order) and "%%" are recognised; any other "%" is literal, and a
  // placeholder without an insert stays as it stands.
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 1 < text.size()) {
      if (text[i + 1] == '@' && next < inserts.size()) {
        out += inserts[next++];
        i++;
        continue;
      }
      if (text[i + 1] == '%') {
        out += '%';
        i++;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

void Launcher::displayError(const LaunchContext& context, const std::string& key) {
  displayError(context, key, std::nullopt, std::nullopt);
}

void Launcher::displayError(const LaunchContext& context, const std::string& key,
                            const OptionalString& info) {
  displayError(context, key, info, std::nullopt);
}

void Launcher::displayError(const LaunchContext& context, const std::string& key,
                            const OptionalString& info1, const OptionalString& info2) {
  const platform::Bundle& mainBundle = *context.mainBundle;
  OptionalString header = mainBundle.infoValue(kBundleNameKey).stringValue();
  auto table = tableBundle(context.mainBundle);
  if (!table) {
    ALOG("%s [Line %d] message %@ not found", key);
    return;
  }
  std::string text = table->localizedString(key, "", "");
  if (info1 && info2) {
    text = fillMessage(text, {*info1, *info2});
  } else if (info1) {
    text = fillMessage(text, {*info1});
  }
  // Without a first insert the text is shown as it stands, even when a second one is given.
  context.showNotice(header, text);
}
