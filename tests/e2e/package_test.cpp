// qmk-bundle package from end to end, as root on this machine: a bundle of a Debian jar with a
// jlinked runtime becomes a .deb that apt installs offline, that the desktop starts from its menu
// entry and for its file type, that upgrades without losing its entry and purges without a trace;
// and an .rpm with the same files, rpmbuild's own requirements and no scripts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::run;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr const char* kDebianJar = "/usr/share/java/maven3-artifact.jar";
constexpr const char* kPackage = "qmk-pkgtest-versions";
constexpr const char* kDesktopId = "com.example.qmkpkgtest";
constexpr const char* kMime = "application/x-qmk-pkgtest";
const std::string kJdk = QMK_JAVA_HOME;
const std::map<std::string, std::optional<std::string>> kApt = {
    {"DEBIAN_FRONTEND", "noninteractive"}};

// Sets `key` to the string `value` in a bundle's XML Info.plist.
void setInfoString(const std::string& bundle, const std::string& key, const std::string& value) {
  const std::string path = bundle + "/Contents/Info.plist";
  std::string text = readFile(path);
  const std::string keyTag = "<key>" + key + "</key>";
  const size_t at = text.find(keyTag);
  if (at == std::string::npos) {
    text.insert(text.find("<dict>") + 6, "\n\t" + keyTag + "\n\t<string>" + value + "</string>");
  } else {
    const size_t open = text.find("<string>", at) + 8;
    text.replace(open, text.find("</string>", open) - open, value);
  }
  writeFile(path, text);
}

bool installed(const std::string& package) {
  RunResult r = run({"/usr/bin/dpkg-query", "-W", "-f=${Status}", package});
  return r.status == 0 && r.out.find("not-installed") == std::string::npos;
}

void purge(const std::string& package) {
  if (installed(package)) run({"/usr/bin/apt-get", "purge", "-y", "-q", package}, "", kApt);
}

// Removes the package when the scope ends, however the test ended.
struct PurgeAtEnd {
  std::string package;
  ~PurgeAtEnd() { purge(package); }
};

// The paths below the folders a package of ours touches.
std::set<std::string> listing() {
  std::set<std::string> paths;
  for (const char* top : {"/opt", "/usr/share/applications", "/usr/share/icons/hicolor",
                          "/usr/share/mime/packages", "/usr/bin"}) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(top, error), end; !error && it != end;
         it.increment(error)) {
      paths.insert(it->path().string());
    }
  }
  return paths;
}

// Waits up to 60 s for the file the application writes when started; empty when it never came.
std::string awaitRecord(const std::string& path) {
  for (int i = 0; i < 600 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string text = fs::exists(path) ? readFile(path) : "";
  fs::remove(path);
  return text;
}

// The regular files and links of an unpacked package, relative to `root`.
std::set<std::string> filesBelow(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory() || entry.is_symlink()) {
      files.insert("/" + entry.path().lexically_relative(root).string());
    }
  }
  return files;
}

// A 32- and a 256-pixel PNG made by ImageMagick, in one ICNS.
std::string icnsWithTwoSizes(const std::string& dir) {
  std::string icns;
  for (int size : {32, 256}) {
    const std::string png = dir + "/" + std::to_string(size) + ".png";
    run({"/usr/bin/convert", "-size", std::to_string(size) + "x" + std::to_string(size), "xc:teal", png});
    const std::string bytes = readFile(png);
    icns += size == 32 ? "ic11" : "ic08";
    const uint32_t length = static_cast<uint32_t>(bytes.size() + 8);
    for (int shift = 24; shift >= 0; shift -= 8) icns += static_cast<char>((length >> shift) & 0xff);
    icns += bytes;
  }
  std::string header = "icns";
  const uint32_t total = static_cast<uint32_t>(icns.size() + 8);
  for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>((total >> shift) & 0xff);
  writeFile(dir + "/app.icns", header + icns);
  return dir + "/app.icns";
}

class PackageTest : public ::testing::Test {
 protected:
  // One jlinked bundle and its .deb for the whole program: jlink and xz are the slow steps.
  static void SetUpTestSuite() {
    shared = std::make_unique<Shared>();
    if (::geteuid() != 0 || !fs::exists(kDebianJar) || !fs::exists("/usr/bin/rpmbuild")) return;
    purge(kPackage);
    const std::string dir = shared->dir.path();
    fs::create_directories(dir + "/home");
    fs::create_directories(dir + "/v1");
    fs::create_directories(dir + "/classes");
    RunResult javac = run({kJdk + "/bin/javac", "-d", dir + "/classes", "-cp", kDebianJar,
                           std::string(QMK_FIXTURES_DIR) + "/java/Recorder.java"});
    RunResult jar = run({kJdk + "/bin/jar", "--create", "--file", dir + "/recorder.jar",
                         "--main-class", "Recorder", "-C", dir + "/classes", "Recorder.class"});
    if (javac.status != 0 || jar.status != 0) {
      shared->problem = javac.err + jar.err;
      return;
    }
    RunResult made = run({QMK_BUNDLE, "create", "--name", "Versions", "--jar", dir + "/recorder.jar",
                          "--jar", kDebianJar, "--runtime", "jlink=" + kJdk, "--no-startup-cache",
                          "--identifier", kDesktopId, "--icon", icnsWithTwoSizes(dir),
                          "--vm-option", "-Drecord.to=" + dir + "/record", "--out",
                          dir + "/v1/Versions.app"},
                         "", {}, dir);
    if (made.status != 0) {
      shared->problem = made.err;
      return;
    }
    shared->bundle = dir + "/v1/Versions.app";
    setInfoString(shared->bundle, "CFBundleShortVersionString", "1.0");
    writeFile(shared->bundle + "/Contents/Resources/only-in-1.txt", "one\n");
    RunResult deb = packageOf(shared->bundle, {"--type", "deb"}, dir + "/debs");
    if (deb.status != 0) {
      shared->problem = deb.err;
      return;
    }
    shared->deb = deb.out.substr(0, deb.out.size() - 1);
  }

  static void TearDownTestSuite() {
    purge(kPackage);
    shared.reset();
  }

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "installing packages needs root (CI runs as root)";
    if (!fs::exists(kDebianJar) || !fs::exists("/usr/bin/rpmbuild")) {
      GTEST_SKIP() << "maven3-artifact.jar or rpm is missing: run scripts/setup";
    }
    ASSERT_FALSE(shared->deb.empty()) << shared->problem;
  }

  static RunResult packageOf(const std::string& bundle, std::vector<std::string> options,
                             const std::string& out) {
    std::vector<std::string> args = {QMK_BUNDLE, "package", bundle, "--out", out,
                                     "--package-name", kPackage,
                                     "--maintainer", "Test Maker <maker@example.org>",
                                     "--license", "Apache-2.0", "--category", "Development",
                                     "--file-type", std::string("qvers:") + kMime + ":Version list"};
    args.insert(args.end(), options.begin(), options.end());
    return run(args, "", {{"SOURCE_DATE_EPOCH", std::nullopt}}, shared->dir.path());
  }

  std::string dir() const { return shared->dir.path(); }

  std::map<std::string, std::optional<std::string>> desktopEnv() const {
    return {{"HOME", dir() + "/home"}, {"XDG_DATA_HOME", dir() + "/home/data"},
            {"XDG_CONFIG_HOME", dir() + "/home/config"}, {"XDG_DATA_DIRS", std::nullopt},
            {"QUILLMARK_LOG", std::nullopt}};
  }

  struct Shared {
    TempDir dir;
    std::string bundle;
    std::string deb;
    std::string problem;
  };
  static std::unique_ptr<Shared> shared;
};

std::unique_ptr<PackageTest::Shared> PackageTest::shared;

TEST_F(PackageTest, DebInstallsIntoTheMenuOpensItsFilesUpgradesAndPurgesWithoutATrace) {
  const std::set<std::string> before = listing();
  PurgeAtEnd guard{kPackage};
  const std::string entry = std::string("/usr/share/applications/") + kDesktopId + ".desktop";
  const std::string record = dir() + "/record";

  RunResult install = run({"/usr/bin/apt-get", "install", "-y", "-q", shared->deb}, "", kApt);
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  RunResult valid = run({"/usr/bin/desktop-file-validate", entry});
  EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
  const std::string text = readFile(entry);
  EXPECT_NE(text.find(std::string("\nExec=/usr/bin/") + kPackage + " %F\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find(std::string("\nMimeType=") + kMime + ";\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nStartupWMClass=Recorder\n"), std::string::npos) << text;
  for (const char* size : {"32x32", "256x256"}) {
    EXPECT_TRUE(fs::exists(std::string("/usr/share/icons/hicolor/") + size + "/apps/" + kDesktopId + ".png"))
        << size;
  }

  // The menu entry, as the desktop starts it.
  RunResult launched = run({"/usr/bin/xvfb-run", "-a", "gtk-launch", kDesktopId}, "", desktopEnv());
  EXPECT_EQ(launched.status, 0) << launched.err;
  EXPECT_EQ(awaitRecord(record), "version-order=1\n");

  // A file of the package's type opens in it, with its path.
  const std::string document = dir() + "/list.qvers";
  writeFile(document, "1.0 1.0-SNAPSHOT\n");
  RunResult opened = run({"/usr/bin/gio", "open", document}, "", desktopEnv());
  EXPECT_EQ(opened.status, 0) << opened.err;
  EXPECT_EQ(awaitRecord(record), "arg=" + document + "\nversion-order=1\n");
  RunResult handler = run({"/usr/bin/xdg-mime", "query", "default", kMime}, "", desktopEnv());
  EXPECT_EQ(handler.out, std::string(kDesktopId) + ".desktop\n") << handler.err;

  // The command in /usr/bin, a link the launcher follows back to its bundle.
  RunResult command = run({std::string("/usr/bin/") + kPackage, "a b", "c"}, "", desktopEnv());
  EXPECT_EQ(command.status, 0) << command.err;
  EXPECT_EQ(awaitRecord(record), "arg=a b\narg=c\nversion-order=1\n");

  // Version 2 lacks a file of version 1; the entry, icons and type stay.
  const std::string v2 = dir() + "/v2/Versions.app";
  fs::create_directories(dir() + "/v2");
  fs::copy(shared->bundle, v2, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::remove(v2 + "/Contents/Resources/only-in-1.txt");
  setInfoString(v2, "CFBundleShortVersionString", "2.0");
  RunResult deb2 = packageOf(v2, {"--type", "deb"}, dir() + "/debs2");
  ASSERT_EQ(deb2.status, 0) << deb2.err;
  EXPECT_EQ(deb2.out, dir() + "/debs2/" + kPackage + "_2.0-1_amd64.deb\n");
  RunResult upgrade = run({"/usr/bin/apt-get", "install", "-y", "-q",
                           deb2.out.substr(0, deb2.out.size() - 1)}, "", kApt);
  ASSERT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
  EXPECT_EQ(run({"/usr/bin/dpkg-query", "-W", "-f=${Version}", kPackage}).out, "2.0-1");
  EXPECT_TRUE(fs::exists(entry));
  EXPECT_TRUE(fs::exists(std::string("/usr/share/icons/hicolor/256x256/apps/") + kDesktopId + ".png"));
  EXPECT_TRUE(fs::exists(std::string("/usr/share/mime/packages/") + kDesktopId + ".xml"));
  EXPECT_FALSE(fs::exists(std::string("/opt/") + kPackage + "/Versions.app/Contents/Resources/only-in-1.txt"));
  EXPECT_EQ(run({"/usr/bin/xdg-mime", "query", "default", kMime}, "", desktopEnv()).out,
            std::string(kDesktopId) + ".desktop\n");

  RunResult purged = run({"/usr/bin/apt-get", "purge", "-y", "-q", kPackage}, "", kApt);
  EXPECT_EQ(purged.status, 0) << purged.err;
  EXPECT_EQ(listing(), before);
}

// The packages that hold the libraries the package's ELF files load and do not carry themselves.
std::set<std::string> ownersOfNeededLibraries(const std::string& root) {
  std::set<std::string> carried, needed, owners;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    const std::string name = entry.path().filename().string();
    if (name.find(".so") != std::string::npos) carried.insert(name);
    RunResult dynamic = run({"/usr/bin/readelf", "-d", entry.path().string()});
    std::smatch match;
    std::string rest = dynamic.out;
    while (std::regex_search(rest, match, std::regex("Shared library: \\[([^\\]]+)\\]"))) {
      needed.insert(match[1]);
      rest = match.suffix();
    }
  }
  for (const auto& library : needed) {
    if (carried.contains(library)) continue;
    std::istringstream found(run({"/usr/bin/dpkg", "-S", "*/" + library}).out);
    std::string line;
    while (std::getline(found, line)) {
      if (line.find("x86_64-linux-gnu/") == std::string::npos && line.find("/lib64/") == std::string::npos) {
        continue;
      }
      owners.insert(line.substr(0, line.find_first_of(":,")));
    }
  }
  return owners;
}

TEST_F(PackageTest, DebDependsOnlyOnWhatItsFilesLoadAndHasNoMaintainerScripts) {
  RunResult fields = run({"/usr/bin/dpkg-deb", "-f", shared->deb, "Depends", "Recommends", "Version"});
  std::smatch depends;
  ASSERT_TRUE(std::regex_search(fields.out, depends, std::regex("^Depends: ([^\n]*)\nVersion: 1.0-1\n$")))
      << fields.out;
  std::set<std::string> names;
  std::string rest = depends[1].str();
  std::smatch name;
  while (std::regex_search(rest, name, std::regex("(^|, )([a-z0-9.+-]+)"))) {
    names.insert(name[2]);
    rest = name.suffix();
  }
  ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", shared->deb, dir() + "/deps"}).status, 0);
  EXPECT_EQ(names, ownersOfNeededLibraries(dir() + "/deps"));
  EXPECT_TRUE(names.contains("libc6"));

  RunResult control = run({"/usr/bin/dpkg-deb", "--ctrl-tarfile", shared->deb});
  RunResult members = run({"/usr/bin/tar", "-t"}, control.out);
  EXPECT_EQ(members.out, "./\n./control\n");
  std::istringstream contents(run({"/usr/bin/dpkg-deb", "-c", shared->deb}).out);
  std::string line;
  while (std::getline(contents, line)) {
    EXPECT_TRUE(std::regex_search(line, std::regex("^(-rw-r--r--|-rwxr-xr-x|drwxr-xr-x|lrwxrwxrwx) root/root ")))
        << line;
  }
}

TEST_F(PackageTest, LintianFindsOnlyTheOptLayoutsErrorAndNoErrorUnderUsrLib) {
  RunResult optErrors = run({"/usr/bin/lintian", "--no-cfg", shared->deb});
  std::set<std::string> tags;
  std::smatch match;
  std::string rest = optErrors.out;
  while (std::regex_search(rest, match, std::regex("(^|\n)E: [^ ]+ ([a-z0-9-]+)"))) {
    tags.insert(match[2]);
    rest = match.suffix();
  }
  EXPECT_EQ(tags, std::set<std::string>{"dir-or-file-in-opt"}) << optErrors.out;

  RunResult deb = packageOf(shared->bundle, {"--type", "deb", "--prefix", "/usr/lib"}, dir() + "/usrlib");
  ASSERT_EQ(deb.status, 0) << deb.err;
  const std::string path = deb.out.substr(0, deb.out.size() - 1);
  RunResult lintian = run({"/usr/bin/lintian", "--no-cfg", path});
  EXPECT_EQ(lintian.out.find("\nE: "), std::string::npos) << lintian.out;
  EXPECT_FALSE(lintian.out.starts_with("E: ")) << lintian.out;
  RunResult link = run({"/usr/bin/dpkg-deb", "-c", path});
  EXPECT_NE(link.out.find(std::string("./usr/bin/") + kPackage + " -> ../lib/" + kPackage +
                          "/Versions.app/Contents/MacOS/Versions"),
            std::string::npos) << link.out;
}

TEST_F(PackageTest, RpmCarriesTheDebsFilesWithDerivedRequiresAndNoScriptsReproducibly) {
  RunResult rpm = packageOf(shared->bundle, {"--type", "rpm"}, dir() + "/rpms");
  ASSERT_EQ(rpm.status, 0) << rpm.err;
  const std::string path = dir() + "/rpms/" + kPackage + "-1.0-1.x86_64.rpm";
  ASSERT_EQ(rpm.out, path + "\n");

  RunResult scripts = run({"/usr/bin/rpm", "-qp", "--scripts", path});
  EXPECT_EQ(scripts.out, "");
  RunResult requires_ = run({"/usr/bin/rpm", "-qp", "--requires", path});
  EXPECT_NE(requires_.out.find("libc.so.6()(64bit)\n"), std::string::npos) << requires_.out;
  EXPECT_EQ(requires_.out.find("libjvm"), std::string::npos) << requires_.out;
  EXPECT_EQ(requires_.out.find("libjli"), std::string::npos) << requires_.out;
  RunResult provides = run({"/usr/bin/rpm", "-qp", "--provides", path});
  EXPECT_NE(provides.out.find(std::string("mimehandler(") + kMime + ")"), std::string::npos) << provides.out;
  EXPECT_EQ(provides.out.find(".so"), std::string::npos) << provides.out;

  // Every entry root's, with the modes the formats fix.
  RunResult dump = run({"/usr/bin/rpm", "-qp", "--queryformat",
                        "[%{FILEUSERNAME} %{FILEGROUPNAME} %{FILEMODES:perms} %{FILENAMES}\n]", path});
  std::istringstream lines(dump.out);
  std::string line;
  size_t count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(std::regex_match(line, std::regex("root root (-rw-r--r--|-rwxr-xr-x|drwxr-xr-x|lrwxrwxrwx) /.*")))
        << line;
  }
  EXPECT_GT(count, 20u);
  EXPECT_NE(dump.out.find(std::string("-rwxr-xr-x /opt/") + kPackage + "/Versions.app/Contents/MacOS/Versions\n"),
            std::string::npos);

  // Installed into a scratch root, it holds what the .deb holds (but Debian's own changelog
  // and lintian overrides), byte for byte.
  const std::string rpmRoot = dir() + "/rpmroot", debRoot = dir() + "/debroot";
  RunResult unpacked = run({"/usr/bin/rpm", "--root", rpmRoot, "--nodeps", "--force-debian", "-i", path});
  ASSERT_EQ(unpacked.status, 0) << unpacked.err;
  fs::remove_all(rpmRoot + "/var");
  fs::remove_all(rpmRoot + "/root");  // the database Debian's rpm keeps in the home folder
  ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", shared->deb, debRoot}).status, 0);
  std::set<std::string> debFiles = filesBelow(debRoot);
  debFiles.erase(std::string("/usr/share/doc/") + kPackage + "/changelog.Debian.gz");
  debFiles.erase(std::string("/usr/share/lintian/overrides/") + kPackage);
  const std::set<std::string> rpmFiles = filesBelow(rpmRoot);
  for (const auto& file : rpmFiles) EXPECT_TRUE(debFiles.contains(file)) << "only in the rpm: " << file;
  for (const auto& file : debFiles) EXPECT_TRUE(rpmFiles.contains(file)) << "only in the deb: " << file;
  for (const auto& file : debFiles) {
    if (!rpmFiles.contains(file)) continue;
    if (fs::is_symlink(debRoot + file)) {
      EXPECT_EQ(fs::read_symlink(rpmRoot + file), fs::read_symlink(debRoot + file)) << file;
    } else {
      EXPECT_TRUE(readFile(rpmRoot + file) == readFile(debRoot + file)) << file;
    }
  }

  // The same bundle gives the same bytes, in both formats.
  RunResult again = packageOf(shared->bundle, {"--type", "rpm"}, dir() + "/rpms-again");
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(readFile(path) == readFile(again.out.substr(0, again.out.size() - 1)));
  RunResult debAgain = packageOf(shared->bundle, {"--type", "deb"}, dir() + "/debs-again");
  ASSERT_EQ(debAgain.status, 0) << debAgain.err;
  EXPECT_TRUE(readFile(shared->deb) == readFile(debAgain.out.substr(0, debAgain.out.size() - 1)));
}

// Bundles without a runtime of their own: quick to package, so the refusals are tried on them.
class PackageInputTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string bundle = dir / "Plain.app";

  void SetUp() override {
    if (!fs::exists(kDebianJar)) GTEST_SKIP() << kDebianJar << " is missing: run scripts/setup";
    RunResult made = run({QMK_BUNDLE, "create", "--name", "Plain", "--jar", kDebianJar,
                          "--min-java", "11", "--identifier", "com.example.plain", "--icon",
                          icnsWithTwoSizes(dir.path())}, "", {}, dir.path());
    ASSERT_EQ(made.status, 0) << made.err;
    setInfoString(bundle, "CFBundleShortVersionString", "3.1-SNAPSHOT");
    fs::create_directories(dir / "out");
  }

  RunResult package(std::vector<std::string> args) {
    args.insert(args.begin(), {QMK_BUNDLE, "package"});
    return run(args, "", {}, dir.path());
  }

  // What --out holds besides the packages the test expects.
  std::vector<std::string> outputFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
};

TEST_F(PackageInputTest, WithoutARuntimeTheDebAsksForJavaAndUrlSchemesGetUrls) {
  RunResult deb = package({bundle, "--type", "deb", "--out", dir / "out", "--maintainer",
                           "M <m@example.org>", "--url-scheme", "Plain-Link", "--file-type",
                           "txt:text/plain", "--command", "plain-tool"});
  ASSERT_EQ(deb.status, 0) << deb.err;
  EXPECT_EQ(deb.err, "");
  const std::string path = dir / "out/plain_3.1~SNAPSHOT-1_amd64.deb";
  ASSERT_EQ(deb.out, path + "\n");
  RunResult depends = run({"/usr/bin/dpkg-deb", "-f", path, "Depends"});
  EXPECT_TRUE(std::regex_match(depends.out, std::regex("libc6 \\(>= 2\\.[0-9]+\\), java11-runtime\n")))
      << depends.out;

  ASSERT_EQ(run({"/usr/bin/dpkg-deb", "-x", path, dir / "root"}).status, 0);
  const std::string entry = readFile(dir / "root/usr/share/applications/com.example.plain.desktop");
  EXPECT_NE(entry.find("\nExec=/usr/bin/plain-tool %U\n"), std::string::npos) << entry;
  EXPECT_NE(entry.find("\nMimeType=text/plain;x-scheme-handler/plain-link;\n"), std::string::npos)
      << entry;
  // text/plain is the machine's own type: claimed, never redefined.
  EXPECT_FALSE(fs::exists(dir / "root/usr/share/mime/packages/com.example.plain.xml"));
  EXPECT_EQ(fs::read_symlink(dir / "root/usr/bin/plain-tool"),
            "/opt/plain/Plain.app/Contents/MacOS/Plain");

  RunResult rpm = package({bundle, "--type", "rpm", "--out", dir / "out"});
  ASSERT_EQ(rpm.status, 0) << rpm.err;
  EXPECT_EQ(rpm.out, dir / "out/plain-3.1~SNAPSHOT-1.x86_64.rpm\n");
  RunResult requires_ = run({"/usr/bin/rpm", "-qp", "--requires", dir / "out/plain-3.1~SNAPSHOT-1.x86_64.rpm"});
  EXPECT_NE(requires_.out.find("jre >= 11\n"), std::string::npos) << requires_.out;
}

TEST_F(PackageInputTest, BadInputIsRefusedInOneLineAndLeavesNoPackage) {
  writeFile(dir / "a-file", "");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"no maintainer for deb", {bundle, "--type", "deb", "--out", dir / "out"}, 2,
       "needs --maintainer"},
      {"a format that is none", {bundle, "--type", "tgz", "--out", dir / "out"}, 2, "deb or rpm"},
      {"a file type without MIME", {bundle, "--type", "rpm", "--out", dir / "out", "--file-type",
       "vers"}, 2, "EXT:MIME"},
      {"--out is a file", {bundle, "--type", "rpm", "--out", dir / "a-file"}, 1, "is a file"},
      {"a category that is none", {bundle, "--type", "rpm", "--out", dir / "out", "--category",
       "Toys"}, 2, "main menu category"},
  };
  for (const auto& c : cases) {
    RunResult r = package(c.args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.what << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.what;
  }

  // A version no format holds, and a bundle check finds unstartable.
  setInfoString(bundle, "CFBundleShortVersionString", "v1 beta");
  RunResult version = package({bundle, "--type", "rpm", "--out", dir / "out"});
  EXPECT_EQ(version.status, 1);
  EXPECT_NE(version.err.find("'v1 beta' (CFBundleShortVersionString) cannot be a package version"),
            std::string::npos) << version.err;
  setInfoString(bundle, "CFBundleShortVersionString", "1.0");
  setInfoString(bundle, "qmk.minVersion", "99");
  RunResult refused = package({bundle, "--type", "rpm", "--out", dir / "out"});
  EXPECT_EQ(refused.status, 1);
  RunResult check = run({QMK_BUNDLE, "check", bundle});
  std::smatch reason;
  ASSERT_TRUE(std::regex_search(check.out, reason, std::regex("failure: ([^\n]*)"))) << check.out;
  EXPECT_NE(refused.err.find("would not start: " + reason[1].str()), std::string::npos) << refused.err;
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
  EXPECT_EQ(outputFiles(), std::vector<std::string>{});
}

}  // namespace
