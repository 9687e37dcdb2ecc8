#include "bundler/app_bundle.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "bundler/app_version.h"
#include "bundler/failure.h"
#include "bundler/icon.h"
#include "bundler/jar.h"
#include "bundler/output_place.h"
#include "bundler/staged_output.h"
#include "platform/file_manager.h"
#include "platform/process_info.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr const char* kJavaFolder = "$APP_PACKAGE/Contents/Java/";

plist::Value stringArray(const std::vector<std::string>& items) {
  plist::Array array;
  for (const auto& item : items) array.push_back(plist::Value::string(item));
  return plist::Value::array(std::move(array));
}

bool isIdentifierCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.';
}

void checkIdentifier(const std::string& identifier) {
  const bool valid = !identifier.empty() && !identifier.starts_with(".") &&
                     !identifier.ends_with(".") && identifier.find("..") == std::string::npos &&
                     std::all_of(identifier.begin(), identifier.end(), isIdentifierCharacter);
  if (!valid) {
    throw UsageError("--identifier '" + identifier + "' is not a bundle identifier: use letters, " +
                     "digits, '-' and '.', in reverse-domain form such as com.example.myapp.");
  }
}

// A VM option that holds a blank followed by a dash was most likely meant as several.
bool looksLikeSeveralOptions(const std::string& option) {
  return option.find(" -") != std::string::npos;
}

std::string findMainClass(const std::vector<Jar>& jars, const ParsedOptions& options) {
  if (auto given = options.value("main-class")) {
    if (given->empty()) throw UsageError("--main-class is empty; give the class name.");
    return *given;
  }
  if (auto fromManifest = jars.front().mainClass()) return *fromManifest;
  throw Failure("the jar " + jars.front().path() + " names no Main-Class in its manifest " +
                "(META-INF/MANIFEST.MF). Give the class with --main-class, for example " +
                "--main-class com.example.Main.");
}

}  // namespace

std::vector<OptionSyntax> appOptionSyntax() {
  return {
      {"name", "NAME", "the application's name: the bundle NAME.app, its executable and header"},
      {"jar", "JAR", "a jar of the application, copied into Contents/Java; the first one's "
                     "manifest names the main class", true},
      {"main-class", "CLASS", "the main class, when the first jar's manifest names none"},
      {"class-path", "ENTRY", "a further class-path entry, as written (may use $APP_PACKAGE)",
       true},
      {"vm-option", "OPTION", "one VM option, such as -Xmx1g", true},
      {"argument", "ARG", "an argument the application always gets first", true},
      {"min-java", "VERSION", "the oldest Java the application runs on (default: what the main "
                              "class's class file needs)"},
      {"max-java", "VERSION", "the newest Java the application runs on"},
      {"working-directory", "DIR", "the working directory (default: the bundle's directory)"},
      {"icon", "FILE", "the icon, PNG or ICNS"},
      {"splash", "IMAGE", "a splash image shown while Java starts, PNG, GIF or JPEG"},
      {"identifier", "ID", "the bundle identifier (default: local.<name>)"},
      {"version", "VERSION", "the application's version (default: the first jar's "
                             "Implementation-Version, else 1.0)"},
      {"options-file", "FILE", "a VM options file read at each start"},
      {"out", "PATH", "the folder NAME.app goes into (created when missing), or the bundle's "
                      "own path when it ends in .app (default: ./NAME.app)"},
      {"force", "", "replace an existing --out"},
  };
}

void checkBundleName(const std::string& name) {
  if (name.empty()) throw UsageError("--name is empty; give the application's name.");
  if (!platform::isValidUtf8(name)) throw UsageError("--name is not valid UTF-8 text.");
  const bool control = std::any_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  if (name.find('/') != std::string::npos || control || name.starts_with(".") ||
      name.starts_with("-") || name.size() > 200) {
    throw UsageError("--name '" + name + "' cannot be a file name: leave out '/' and control " +
                     "characters, do not begin it with '.' or '-', keep it under 200 bytes. " +
                     "Blanks and non-ASCII letters are fine.");
  }
}

std::string identifierFromName(const std::string& name) {
  std::string id;
  for (char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      id += c;
    } else if (c >= 'A' && c <= 'Z') {
      id += static_cast<char>(c - 'A' + 'a');
    } else if (!id.empty() && id.back() != '-') {
      id += '-';
    }
  }
  while (!id.empty() && id.back() == '-') id.pop_back();
  return "local." + (id.empty() ? std::string("app") : id);
}

AppDescription describeApp(const ParsedOptions& options, const std::string& command) {
  AppDescription app;
  app.name = options.required("name");
  checkBundleName(app.name);
  app.identifier = options.value("identifier").value_or(identifierFromName(app.name));
  checkIdentifier(app.identifier);

  const std::vector<std::string> jarPaths = options.values("jar");
  if (jarPaths.empty()) throw UsageError("give at least one --jar.");
  std::vector<Jar> jars;
  std::set<std::string> names;
  for (const auto& path : jarPaths) {
    jars.emplace_back(platform::absolutePath(path));
    const std::string name = platform::lastPathComponent(path);
    if (!names.insert(name).second) {
      throw UsageError("two jars are named " + name + "; they would overwrite each other in " +
                       "Contents/Java. Rename one.");
    }
    if (name.find(':') != std::string::npos) {
      throw UsageError("the jar name " + name + " holds ':', the class-path separator. Rename it.");
    }
    app.jars.push_back(platform::absolutePath(path));
  }
  app.version = appVersion(options, jars.front(), command);
  app.mainClass = findMainClass(jars, options);

  app.minJava = options.value("min-java");
  if (!app.minJava) {
    for (const auto& jar : jars) {
      if (auto version = jar.classFileVersion(app.mainClass)) {
        app.minJava = javaReleaseOfClassFile(*version);
        break;
      }
    }
    if (!app.minJava) {
      warn(command, "no jar given holds the main class " + app.mainClass +
                        "; the bundle starts only if a --class-path entry provides it.");
    }
  }
  app.maxJava = options.value("max-java");
  app.classPathExtras = options.values("class-path");
  app.vmOptions = options.values("vm-option");
  for (const auto& option : app.vmOptions) {
    if (looksLikeSeveralOptions(option)) {
      warn(command, "--vm-option '" + option + "' is passed as one option; give each option " +
                        "with its own --vm-option if it was meant as several.");
    }
  }
  app.arguments = options.values("argument");
  app.workingDirectory = options.value("working-directory");
  app.optionsFile = options.value("options-file");
  if (auto icon = options.value("icon")) {
    readIcon(*icon);  // refuses what is neither PNG nor ICNS before anything is written
    app.iconPath = platform::absolutePath(*icon);
  }
  if (auto splash = options.value("splash")) app.splash = readSplash(*splash);
  return app;
}

plist::Dictionary appInfo(const AppDescription& app) {
  std::string classPath;
  for (const auto& jar : app.jars) {
    if (!classPath.empty()) classPath += ":";
    classPath += kJavaFolder + platform::lastPathComponent(jar);
  }
  for (const auto& extra : app.classPathExtras) classPath += ":" + extra;

  plist::Dictionary javaVM = {
      {"MainClass", plist::Value::string(app.mainClass)},
      {"ClassPath", plist::Value::string(classPath)},
  };
  if (!app.vmOptions.empty()) javaVM["VMOptionArray"] = stringArray(app.vmOptions);
  if (!app.arguments.empty()) javaVM["ArgumentArray"] = stringArray(app.arguments);
  if (app.workingDirectory) javaVM["WorkingDirectory"] = plist::Value::string(*app.workingDirectory);
  if (app.optionsFile) javaVM["OptionsFile"] = plist::Value::string(*app.optionsFile);
  if (app.splash) javaVM["SplashFile"] = plist::Value::string(splashFileValue(*app.splash));

  plist::Dictionary info = {
      {"CFBundleName", plist::Value::string(app.name)},
      {"CFBundleIdentifier", plist::Value::string(app.identifier)},
      {"CFBundleExecutable", plist::Value::string(app.name)},
      {"CFBundleShortVersionString", plist::Value::string(app.version)},
      {"CFBundleVersion", plist::Value::string(app.version)},
      {"CFBundlePackageType", plist::Value::string("APPL")},
      {"CFBundleInfoDictionaryVersion", plist::Value::string("6.0")},
      {"CFBundleDevelopmentRegion", plist::Value::string("en")},
      {"JavaVM", plist::Value::dictionary(std::move(javaVM))},
  };
  if (app.iconPath) info["CFBundleIconFile"] = plist::Value::string(app.name + ".icns");
  if (app.minJava) info["qmk.minVersion"] = plist::Value::string(*app.minJava);
  if (app.maxJava) info["qmk.maxVersion"] = plist::Value::string(*app.maxJava);
  return info;
}

void writeInfoPlist(const std::string& bundle, const plist::Dictionary& info) {
  writeFileAtomically(platform::joinPath(bundle, "Contents/Info.plist"),
                      plist::toXml(plist::Value::dictionary(info)));
}

void writeAppContents(const AppDescription& app, const std::string& bundle,
                      const std::string& launcher, const StringEntries& strings,
                      const std::string& iconFile) {
  const fs::path contents = fs::path(bundle) / "Contents";
  for (const char* folder : {"MacOS", "Java", "Resources/en.lproj"}) {
    fs::create_directories(contents / folder);
  }
  const fs::path executable = contents / "MacOS" / app.name;
  fs::copy_file(launcher, executable);
  fs::permissions(executable, fs::perms::owner_all | fs::perms::group_read |
                                  fs::perms::group_exec | fs::perms::others_read |
                                  fs::perms::others_exec);
  for (const auto& jar : app.jars) {
    std::error_code error;
    fs::copy_file(jar, contents / "Java" / platform::lastPathComponent(jar), error);
    if (error) throw Failure("cannot copy " + jar + " into the bundle: " + error.message() + ".");
  }
  writeFileAtomically((contents / "Resources/en.lproj/Localizable.strings").string(),
                      stringsTableText(strings));
  if (app.iconPath) {
    writeFileAtomically((contents / "Resources" / iconFile).string(),
                        asIcns(readIcon(*app.iconPath)));
  }
  if (app.splash) copySplash(*app.splash, (contents / "Resources").string());
}

std::string launcherProgram(const std::string& name) {
  const std::string bin = platform::deletingLastPathComponent(platform::executablePath());
  const std::string path = platform::joinPath(bin, name);
  if (!platform::FileManager().isRegularFile(path)) {
    throw Failure("the launcher " + name + " is not beside qmk-bundle (looked for " + path +
                  "). Build it (scripts/build --target " + name + ") or install both together.");
  }
  return path;
}

std::string outputPath(const ParsedOptions& options, const std::string& name) {
  return bundlePlace(options.value("out"), name);
}

}  // namespace bundler
