// Launch parameters: the VM options, main class and application arguments taken from the
// bundle's property list, its VM options files and the command line.
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "launcher/option_paths.h"
#include "launcher/text.h"
#include "platform/environment.h"
#include "platform/file_manager.h"
#include "platform/unicode.h"

namespace {

constexpr std::string_view kAppPackage = "$APP_PACKAGE";
constexpr std::string_view kIncludeElement = "-include-options ";
constexpr std::string_view kBundleSuffix = ".app";

const plist::Value kAbsent;

bool isOfType(const plist::Value& value, plist::Value::Type type, const std::string& key) {
  if (value.isNull()) return false;
  if (value.type() == type) return true;
  // A value of the wrong type is a mistake in the property list, not a reason to fail.
  DLOG("%s [Line %d] %@ has a value of the wrong type and is ignored: %@", key, value);
  return false;
}

OptionalString stringEntry(const plist::Value& dictionary, const std::string& key) {
  const plist::Value& value = dictionary[key];
  if (!isOfType(value, plist::Value::Type::String, key)) return std::nullopt;
  return value.stringValue();
}

const plist::Value& arrayEntry(const plist::Value& dictionary, const std::string& key) {
  const plist::Value& value = dictionary[key];
  return isOfType(value, plist::Value::Type::Array, key) ? value : kAbsent;
}

const plist::Value& dictionaryEntry(const plist::Value& dictionary, const std::string& key) {
  const plist::Value& value = dictionary[key];
  return isOfType(value, plist::Value::Type::Dictionary, key) ? value : kAbsent;
}

// The platform's boolean reading, which knows booleans, numbers and strings; containers and
// other values read as false.
bool booleanEntry(const plist::Value& dictionary, const std::string& key) {
  const plist::Value& value = dictionary[key];
  switch (value.type()) {
    case plist::Value::Type::Boolean:
    case plist::Value::Type::Integer:
    case plist::Value::Type::Real:
    case plist::Value::Type::String:
      return value.boolValue();
    case plist::Value::Type::Null:
      return false;
    default:
      DLOG("%s [Line %d] %@ has a value of the wrong type and reads as false: %@", key, value);
      return false;
  }
}

std::string withBundlePath(std::string_view text, const std::string& bundlePath) {
  return qmk::replaceAll(text, kAppPackage, bundlePath);
}

// The platform's LIKE: "*" any run of characters, "?" exactly one, everything else itself,
// case-sensitive, over the whole text. Backtracks to the last "*" only, so it stays linear in
// practice and never recurses.
bool matchesLike(std::u16string_view text, std::u16string_view pattern) {
  constexpr size_t kNone = std::u16string_view::npos;
  size_t t = 0, p = 0, star = kNone, starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      starText = t;
    } else if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (star != kNone) {
      p = star + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

std::vector<std::string_view> splitAtDashes(std::string_view text) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t dash = text.find('-');
    parts.push_back(text.substr(0, dash));
    if (dash == std::string_view::npos) return parts;
    text.remove_prefix(dash + 1);
  }
}

int32_t intValue(std::string_view text) {
  return plist::Value::string(std::string(text)).intValue();
}

// The option array of the first pair of "VersionSpecificVMOptions" whose pattern matches the
// chosen runtime; null when none does.
const plist::Value* versionSpecificOptions(const Launcher& launcher, const plist::Value& pairs) {
  for (size_t k = 0; k + 1 < pairs.size(); k += 2) {
    const plist::Value& patternValue = pairs[k];
    const plist::Value& optionArray = pairs[k + 1];
    const std::string* pattern = patternValue.asString();
    if (!pattern) {
      DLOG("%s [Line %d] ERROR in version specific options %@", patternValue);
      continue;
    }
    if (pattern->starts_with('*')) {
      // Without a chosen runtime there is no version to match.
      if (!launcher.javaVersion) continue;
      if (!matchesLike(unicode::toUtf16(*launcher.javaVersion),
                       unicode::toUtf16(std::string_view(*pattern).substr(1)))) {
        continue;
      }
      DLOG("%s [Line %d] using version specific options %@ %@ %@", launcher.javaVersion, *pattern,
           optionArray);
      return &optionArray;
    }
    auto bounds = splitAtDashes(*pattern);
    if (bounds.size() != 2) {
      DLOG("%s [Line %d] ERROR in version specific options %@", *pattern);
      continue;
    }
    int32_t low = intValue(bounds[0]);
    int32_t high = intValue(bounds[1]);
    if (low <= launcher.javaMajorVersion && launcher.javaMajorVersion <= high) {
      DLOG("%s [Line %d] using version specific options %@ %@ %@ %d %d %d", launcher.javaVersion,
           *pattern, optionArray, launcher.javaMajorVersion, low, high);
      return &optionArray;
    }
  }
  return nullptr;
}

// The name the dock shows when the property list names none: the bundle directory's name
// without its ".app".
std::string defaultBundleName(const std::string& bundlePath) {
  std::string name = platform::lastPathComponent(bundlePath);
  if (name.size() > kBundleSuffix.size() && name.ends_with(kBundleSuffix)) {
    name.resize(name.size() - kBundleSuffix.size());
  }
  return name;
}

}  // namespace

void Launcher::readJavaParameters(platform::FileManager& fileManager,
                                  std::vector<std::string>& options, OptionalString& mainClass,
                                  std::vector<std::string>& args, bool* firstThread) {
  const std::string bundlePath = this->bundlePath();
  const plist::Value& info = this->info();
  const plist::Value& javaVM = dictionaryEntry(info, "JavaVM");
  processSettings_ = {};

  // 1. Locale: LANG from the user's locale, unless the environment has one.
  if (auto locale = context().standardUserDefaults().stringForKey("AppleLocale")) {
    const std::string lang = *locale + ".UTF-8";
    if (context().applyProcessSettings) {
      ::setenv("LANG", lang.c_str(), 0);
    } else if (!platform::environmentValue("LANG")) {
      processSettings_.lang = lang;
    }
  }

  // 2. Working directory, before anything relative is read.
  const OptionalString configuredDirectory = stringEntry(javaVM, "WorkingDirectory");
  const std::string workingDirectory =
      configuredDirectory ? withBundlePath(*configuredDirectory, bundlePath) : bundlePath;
  if (context().applyProcessSettings) {
    if (!fileManager.changeCurrentDirectory(workingDirectory)) {
      DLOG("%s [Line %d] could not change to working directory %@", workingDirectory);
    }
  } else if (fileManager.isDirectory(workingDirectory)) {
    processSettings_.workingDirectory = workingDirectory;
  } else {
    // As when changing to it fails: the launch runs where it was started.
    DLOG("%s [Line %d] working directory %@ is not a directory", workingDirectory);
  }

  // 3. The option list and the class path as the property list gives it.
  options.clear();
  OptionalString classPath;
  if (auto configured = stringEntry(javaVM, "ClassPath")) {
    classPath = withBundlePath(*configured, bundlePath);
  }

  // 4. VMOptionArray.
  classPath =
      addPredefinedOptions(arrayEntry(javaVM, "VMOptionArray"), options, bundlePath, classPath);

  // 5. The options of the first matching version pattern.
  if (const plist::Value* chosen =
          versionSpecificOptions(*this, arrayEntry(javaVM, "VersionSpecificVMOptions"))) {
    // Options that are not an array add nothing, but their pair has been chosen all the same.
    const bool isArray = isOfType(*chosen, plist::Value::Type::Array, "VersionSpecificVMOptions");
    classPath = addPredefinedOptions(isArray ? *chosen : kAbsent, options, bundlePath, classPath);
  }

  // 6. The bundle's own options file, Foo.vmoptions beside Foo.app. Its path is the bundle
  // path as it stands: nothing in it is replaced.
  if (unicode::length(bundlePath) >= 3) {
    classPath = readResolvedOptionsFile(unicode::dropLast(bundlePath, 3) + "vmoptions", options,
                                        classPath, bundlePath);
  }

  // 7. OptionsFile.
  classPath = readOptionsFile(stringEntry(javaVM, "OptionsFile"), options, classPath, bundlePath);

  // 7a. The user's own options file, when the bundle allows one: it comes last, so that what
  // the user writes there wins over the bundle's own options.
  classPath = readUserOptions(options, classPath);

  // 8. SplashFile.
  if (auto splash = stringEntry(javaVM, "SplashFile")) {
    options.push_back("-splash:" + withBundlePath(*splash, bundlePath));
  }

  // 9. The class path, its entries expanded.
  if (auto expanded = resolveArtifactPath(classPath); expanded && !expanded->empty()) {
    // Sized once: a class path of a few hundred archives would otherwise be copied into a
    // buffer twice its size.
    constexpr std::string_view kOption = "-Djava.class.path=";
    std::string option;
    option.reserve(kOption.size() + expanded->size());
    option.append(kOption).append(*expanded);
    options.push_back(std::move(option));
  }

  // 10. ModulePath.
  if (auto modulePath = resolveArtifactPath(replaceVariables(stringEntry(javaVM, "ModulePath")));
      modulePath && !modulePath->empty()) {
    options.push_back("-p");
    options.push_back(*modulePath);
  }

  // 11, 12. Dock icon and name, only where the runtime understands them.
  if (context().layout.dockOptions) {
    if (auto icon = stringEntry(info, "CFBundleIconFile")) {
      options.push_back(
          platform::format("-Xdock:icon=%@/Contents/Resources/%@", bundlePath, *icon));
    }
    const OptionalString name = stringEntry(info, "CFBundleName");
    options.push_back("-Xdock:name=" + (name ? *name : defaultBundleName(bundlePath)));
  }

  // 13. The bundle's own path for the application.
  options.push_back("-Dqmk.ownBundlePath=" + bundlePath);

  // 14. ArgumentArray.
  args.clear();
  if (const plist::Array* configuredArgs = arrayEntry(javaVM, "ArgumentArray").asArray()) {
    for (const plist::Value& element : *configuredArgs) {
      if (auto argument = element.stringValue()) {
        args.push_back(*replaceVariables(*argument));
      } else {
        DLOG("%s [Line %d] ArgumentArray element of the wrong type ignored: %@", element);
      }
    }
  }

  // 15. The command line: "-psn_" of the desktop skipped, "-J" options passed through on request.
  const bool passthrough = booleanEntry(info, "qmk.allowPassthrough");
  const std::vector<std::string>& commandLine = context().arguments;
  for (size_t i = 1; i < commandLine.size(); ++i) {
    const std::string& argument = commandLine[i];
    if (i == 1 && argument.starts_with("-psn_")) continue;
    DLOG("%s [Line %d] cl arg: %@ ", argument);
    if (passthrough && argument.starts_with("-J")) {
      options.push_back(argument.substr(2));
    } else {
      args.push_back(argument);
    }
  }

  // 16. Main class unchanged, and the first-thread flag when asked for.
  mainClass = stringEntry(javaVM, "MainClass");
  if (firstThread) *firstThread = booleanEntry(javaVM, "StartOnMainThread");
}

OptionalString Launcher::addPredefinedOptions(const plist::Value& array,
                                              std::vector<std::string>& options,
                                              const std::string& bundlePath,
                                              const OptionalString& classPath) {
  const plist::Array* elements = array.asArray();
  if (!elements) return classPath;
  OptionalString current = classPath;
  const std::string& home = context().homeDirectory;
  for (const plist::Value& element : *elements) {
    const std::string* text = element.asString();
    if (!text) {
      DLOG("%s [Line %d] option of the wrong type ignored: %@", element);
      continue;
    }
    if (!text->starts_with(kIncludeElement)) {
      options.push_back(*replaceVariables(*text));
      continue;
    }
    std::string_view written =
        qmk::config::stripIncludeQuotes(std::string_view(*text).substr(kIncludeElement.size()));
    // A path that begins with a variable is substituted first, so "$APP_PACKAGE/..." names a
    // place inside the bundle rather than being joined below the bundle's directory. Its "~"
    // is then the home directory wherever it stands, except inside the bundle path.
    std::string path = written.starts_with('$')
                           ? qmk::config::expandConfiguredPath(substituteVariables(written),
                                                               bundlePath, home)
                           : qmk::config::expandConfiguredPath(written, bundlePath, home);
    // "~" counts as absolute as written, whatever the home directory is.
    if (!written.starts_with('~') && !platform::isAbsolutePath(path)) {
      path = platform::joinPath(platform::deletingLastPathComponent(bundlePath), path);
    }
    current = readResolvedOptionsFile(path, options, current, bundlePath);
  }
  return current;
}
