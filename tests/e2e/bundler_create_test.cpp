// qmk-bundle create and installer from end to end: bundles made by the real program for a real
// Debian jar, started through appstub and setupstub, with and without a jlinked runtime, and
// the bad inputs a new user gives, each with its message and nothing left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <regex>

#include "bundler/message_texts.h"
#include "platform/bundle.h"
#include "platform/plist.h"
#include "support/http_server.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::HttpServer;
using testing_support::readFile;
using testing_support::run;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using Env = std::map<std::string, std::optional<std::string>>;

// Debian's Maven version comparer (libmaven3-core-java): a small jar whose manifest names its
// main class and whose output shows the arguments it got.
constexpr const char* kDebianJar = "/usr/share/java/maven3-artifact.jar";

// The names in `dir`, hidden ones included: what a failed command must not have added to.
std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

plist::Value infoOf(const std::string& app) {
  auto info = plist::readFile(app + "/Contents/Info.plist");
  return info.value_or(plist::Value());
}

class BundlerTest : public ::testing::Test {
 protected:
  // One jlinked bundle for every test that needs one: jlink takes its time.
  static inline TempDir* shared = nullptr;
  static std::string jlinked() { return *shared / "Jlinked.app"; }

  static void SetUpTestSuite() {
    shared = new TempDir();
    if (!fs::exists(kDebianJar)) return;
    RunResult r = run({QMK_BUNDLE, "create", "--name", "Jlinked", "--jar", kDebianJar,
                       "--runtime", std::string("jlink=") + QMK_JAVA_HOME, "--out", jlinked()});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }

  void SetUp() override {
    if (!fs::exists(kDebianJar)) GTEST_SKIP() << kDebianJar << " is missing: run scripts/setup";
    fs::create_directories(home);
    fs::create_directories(tmp);
  }

  TempDir dir;
  std::string home = dir / "home";
  std::string tmp = dir / "tmp";

  Env environment() const {
    return {{"HOME", home},        {"TMPDIR", tmp},          {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt}, {"QUILLMARK_LOG", std::nullopt},
            {"JAVA_HOME", std::nullopt},       {"LANG", "C.UTF-8"}, {"no_proxy", "127.0.0.1"}};
  }

  RunResult bundle(std::vector<std::string> args, Env extra = {}) {
    args.insert(args.begin(), QMK_BUNDLE);
    Env env = environment();
    for (auto& [k, v] : extra) env[k] = v;
    return run(args, "", env, dir.path());
  }

  RunResult start(const std::string& program, std::vector<std::string> args = {}, Env extra = {}) {
    args.insert(args.begin(), program);
    Env env = environment();
    for (auto& [k, v] : extra) env[k] = v;
    return run(args, "", env);
  }

  // A jar of the test probe without any manifest.
  std::string jarWithoutManifest() {
    const std::string jar = dir / "probe.jar";
    RunResult r = run({QMK_JAVA_HOME "/bin/jar", "--create", "--no-manifest", "--file", jar, "-C",
                       QMK_JAVA_CLASSES, "Probe.class"});
    EXPECT_EQ(r.status, 0) << r.err;
    return jar;
  }
};

// --- create ---------------------------------------------------------------------------------

TEST_F(BundlerTest, CreatedBundleStartsTheJarUnderANameWithBlanksAndUmlauts) {
  RunResult made = bundle({"create", "--name", "Mäven Vergleich", "--jar", kDebianJar,
                           "--argument", "1.0", "--vm-option", "-Xmx64m"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string app = dir / "Mäven Vergleich.app";
  EXPECT_EQ(made.out, app + "\n");

  RunResult r = start(app + "/Contents/MacOS/Mäven Vergleich", {"2.0-SNAPSHOT"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1.0 < 2.0-SNAPSHOT"), std::string::npos) << r.out;

  const plist::Value info = infoOf(app);
  EXPECT_EQ(info["CFBundleExecutable"].stringValue(), "Mäven Vergleich");
  EXPECT_EQ(info["JavaVM"]["MainClass"].stringValue(),
            "org.apache.maven.artifact.versioning.ComparableVersion");
  EXPECT_EQ(info["JavaVM"]["ClassPath"].stringValue(),
            "$APP_PACKAGE/Contents/Java/maven3-artifact.jar");
  EXPECT_EQ(info["JavaVM"]["VMOptionArray"][0].stringValue(), "-Xmx64m");
  EXPECT_TRUE(info["qmk.startupCache"].boolValue());
  // The main class is Java 7 class-file code: that is the bundle's lower bound.
  EXPECT_EQ(info["qmk.minVersion"].stringValue(), "1.7");
  EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"Mäven Vergleich.app", "home", "tmp"}));
}

TEST_F(BundlerTest, EveryMessageKeyHasAnEnglishTextInTheBundle) {
  ASSERT_EQ(bundle({"create", "--name", "Texts", "--jar", kDebianJar}).status, 0);
  auto app = platform::Bundle::create(dir / "Texts.app");
  ASSERT_TRUE(app);
  for (const auto& message : bundler::messageTexts()) {
    EXPECT_EQ(app->localizedString(message.key), message.text) << message.key;
  }
}

TEST_F(BundlerTest, NoRuntimeShowsTheTextNotTheKey) {
  ASSERT_EQ(bundle({"create", "--name", "Lonely", "--jar", kDebianJar, "--min-java", "99"}).status,
            0);
  RunResult r = start(dir / "Lonely.app/Contents/MacOS/Lonely");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Java 99 or newer is needed to run Lonely"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("AppleJavaMinVersionError"), std::string::npos) << r.err;
}

TEST_F(BundlerTest, StartupCacheCanBeLeftOffAndMainClassGiven) {
  const std::string jar = jarWithoutManifest();
  ASSERT_EQ(bundle({"create", "--name", "Probe", "--jar", jar, "--main-class", "Probe",
                    "--no-startup-cache"})
                .status,
            0);
  EXPECT_TRUE(infoOf(dir / "Probe.app")["qmk.startupCache"].isNull());
  RunResult r = start(dir / "Probe.app/Contents/MacOS/Probe", {"exit=3"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("arg[0]=exit=3"), std::string::npos) << r.out;
}

// A jar of the test probe whose manifest holds `attributes` ("Name: value" lines).
std::string jarWithManifest(const std::string& dir, const std::string& attributes) {
  const std::string manifest = dir + "/manifest.txt";
  const std::string jar = dir + "/probe-manifest.jar";
  writeFile(manifest, "Main-Class: Probe\n" + attributes + "\n");
  RunResult r = run({QMK_JAVA_HOME "/bin/jar", "--create", "--file", jar, "--manifest", manifest,
                     "-C", QMK_JAVA_CLASSES, "Probe.class"});
  EXPECT_EQ(r.status, 0) << r.err;
  return jar;
}

TEST_F(BundlerTest, VersionComesFromTheOptionTheManifestOrIsOnePointZero) {
  const std::string unusable = jarWithManifest(dir.path(), "Implementation-Version: release one");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* version;
    const char* warning;  // a part of the warning on standard error; "" for none
  };
  const std::vector<Case> cases = {
      {"manifest", {"create", "--name", "Manifest", "--jar", kDebianJar}, "3.8.7", ""},
      {"option over manifest",
       {"create", "--name", "Given", "--jar", kDebianJar, "--version", "2.5.1-beta+7"},
       "2.5.1-beta+7", ""},
      {"no manifest version",
       {"create", "--name", "Plain", "--jar", jarWithoutManifest(), "--main-class", "Probe"},
       "1.0", ""},
      {"unusable manifest version", {"create", "--name", "Odd", "--jar", unusable}, "1.0",
       "warning: the Implementation-Version 'release one' in the manifest of " },
      {"installer", {"installer", "--name", "Setup", "--jar", kDebianJar, "--version", "4~rc_1"},
       "4~rc_1", ""},
  };
  for (const auto& c : cases) {
    RunResult made = bundle(c.args);
    ASSERT_EQ(made.status, 0) << c.what << ": " << made.err;
    const std::string app = dir / (c.args[2] + ".app");
    EXPECT_EQ(infoOf(app)["CFBundleShortVersionString"].stringValue(), c.version) << c.what;
    EXPECT_EQ(infoOf(app)["CFBundleVersion"].stringValue(), c.version) << c.what;
    if (*c.warning) {
      EXPECT_NE(made.err.find(c.warning), std::string::npos) << c.what << ": " << made.err;
      EXPECT_NE(made.err.find("only letters, digits"), std::string::npos) << made.err;
    } else if (c.args[0] == "create") {
      EXPECT_EQ(made.err, "") << c.what;
    }
  }
  RunResult text = bundle({"check", dir / "Given.app"});
  EXPECT_NE(text.out.find("\nversion: 2.5.1-beta+7\n"), std::string::npos) << text.out;
  RunResult json = bundle({"check", "--json", dir / "Manifest.app"});
  EXPECT_NE(json.out.find("\"version\":\"3.8.7\""), std::string::npos) << json.out;
}

// A real PNG of 2 by 2 orange pixels, and the first bytes of the other kinds a splash may be.
const std::string kPng(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x02\x00\x00"
    "\x00\x02\x08\x02\x00\x00\x00\xfd\xd4\x9a\x73\x00\x00\x00\x10\x49\x44\x41\x54\x78\x9c\x63"
    "\xf8\xdf\xc0\x00\x44\x0c\x10\x0a\x00\x2d\xee\x05\xfd\x8b\x3f\x6e\x84\x00\x00\x00\x00\x49"
    "\x45\x4e\x44\xae\x42\x60\x82",
    73);
const std::string kGif = "GIF89a\x01\x00\x01\x00";
const std::string kJpeg = "\xff\xd8\xff\xe0\x00\x10JFIF";

TEST_F(BundlerTest, SplashIsCopiedUnderANameThatTellsItsKindAndReachesTheRuntime) {
  struct Case {
    const char* given;
    std::string bytes;
    const char* stored;
  };
  const std::vector<Case> cases = {
      {"splash.gif", kPng, "splash.png"},    // a name that lies gets the right extension
      {"photo.JPEG", kJpeg, "photo.JPEG"},   // a name that tells the truth is kept
      {"anim", kGif, "anim.gif"},            // a name without one gets one
      {"logo.v2", kGif, "logo.v2.gif"},      // another extension is kept in the name
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string name = "Splash " + std::to_string(++n);
    writeFile(dir / c.given, c.bytes);
    RunResult made = bundle({"create", "--name", name, "--jar", kDebianJar, "--splash", c.given});
    ASSERT_EQ(made.status, 0) << c.given << ": " << made.err;
    const std::string app = dir / (name + ".app");
    EXPECT_EQ(readFile(app + "/Contents/Resources/" + c.stored), c.bytes) << c.given;
    EXPECT_EQ(infoOf(app)["JavaVM"]["SplashFile"].stringValue(),
              std::string("$APP_PACKAGE/Contents/Resources/") + c.stored);
  }
  const std::string app = dir / "Splash 1.app";
  RunResult r = start(app + "/Contents/MacOS/Splash 1", {"1", "2"}, {{"QUILLMARK_LOG", "yes"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 < 2"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("-splash:" + app + "/Contents/Resources/splash.png"), std::string::npos)
      << r.err;

  EXPECT_EQ(bundle({"check", app}).out.find("SplashFile"), std::string::npos);
  writeFile(app + "/Contents/Resources/splash.png", "no image");
  EXPECT_NE(bundle({"check", app}).out.find("warning: SplashFile names " + app +
                                            "/Contents/Resources/splash.png, which is not a PNG"),
            std::string::npos);
  fs::remove(app + "/Contents/Resources/splash.png");
  RunResult missing = bundle({"check", "--json", app});
  EXPECT_NE(missing.out.find("splash.png, which does not exist"), std::string::npos) << missing.out;
}

TEST_F(BundlerTest, JlinkedBundleUsesItsOwnRuntime) {
  const std::string runtime = jlinked() + "/Contents/PlugIns/jre.bundle";
  const plist::Value info = infoOf(runtime);
  EXPECT_TRUE(info["JavaVM"]["JVMVersion"].isString());
  EXPECT_TRUE(fs::exists(runtime + "/Contents/Home/lib/libjli.so"));
  // Only the modules the jar needs: no desktop toolkit in a comparer of version strings.
  EXPECT_FALSE(fs::exists(runtime + "/Contents/Home/lib/libawt.so"));
  RunResult r = start(jlinked() + "/Contents/MacOS/Jlinked", {"1", "2"}, {{"QUILLMARK_LOG", "yes"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 < 2"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("-Dqmk.jreBundle=" + runtime), std::string::npos) << r.err;
}

// The machine's runtimes hidden by an empty file system over /usr/lib/jvm, in a mount namespace
// of its own (root only).
RunResult withRuntimesHidden(const std::vector<std::string>& program, const Env& env) {
  std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh",
                                   "-c", "mount -t tmpfs none /usr/lib/jvm || exit 97; exec \"$@\"",
                                   "sh"};
  argv.insert(argv.end(), program.begin(), program.end());
  return run(argv, "", env);
}

TEST_F(BundlerTest, JlinkedBundleStartsWithTheMachinesRuntimesHidden) {
  ASSERT_EQ(bundle({"create", "--name", "Plain", "--jar", kDebianJar}).status, 0);
  RunResult plain = withRuntimesHidden({dir / "Plain.app/Contents/MacOS/Plain", "1"}, environment());
  if (plain.status == 97 || plain.err.find("unshare") != std::string::npos) {
    GTEST_SKIP() << "no mount namespace here (needs root): " << plain.err;
  }
  // Proof that the runtimes are hidden: the bundle without its own runtime finds none.
  EXPECT_EQ(plain.status, 1) << plain.err;
  EXPECT_NE(plain.err.find("none was found on this computer"), std::string::npos) << plain.err;

  RunResult r = withRuntimesHidden({jlinked() + "/Contents/MacOS/Jlinked", "1", "2"}, environment());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 < 2"), std::string::npos) << r.out;
}

TEST_F(BundlerTest, CopiedRuntimeIsARuntimeBundle) {
  const std::string runtime = jlinked() + "/Contents/PlugIns/jre.bundle";
  ASSERT_EQ(bundle({"create", "--name", "Copied", "--jar", kDebianJar, "--runtime", runtime}).status,
            0);
  const std::string copied = dir / "Copied.app/Contents/PlugIns/jre.bundle";
  EXPECT_EQ(infoOf(copied)["JavaVM"]["JVMVersion"], infoOf(runtime)["JavaVM"]["JVMVersion"]);
  RunResult r = start(dir / "Copied.app/Contents/MacOS/Copied", {"3", "4"}, {{"QUILLMARK_LOG", "yes"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("-Dqmk.jreBundle=" + copied), std::string::npos) << r.err;
}

// --- Bad input: a clear message, the right status, nothing left behind ------------------------

struct BadInput {
  const char* what;
  std::vector<std::string> args;  // after "qmk-bundle"; "@JAR" and "@NOMANIFEST" are replaced
  int status;
  const char* message;  // a part of the message on standard error
};

TEST_F(BundlerTest, BadInputIsRefusedClearlyAndLeavesNothing) {
  const std::string noManifest = jarWithoutManifest();
  writeFile(dir / "notes.jar", "not a zip file");
  writeFile(dir / "file.app", "a file");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  const std::vector<BadInput> cases = {
      {"jar without manifest", {"create", "--name", "A", "--jar", "@NOMANIFEST"}, 1,
       "names no Main-Class in its manifest (META-INF/MANIFEST.MF). Give the class with "
       "--main-class"},
      {"missing JDK", {"create", "--name", "A", "--jar", "@JAR", "--runtime", "jlink=/no/jdk"}, 1,
       "the JDK /no/jdk given to --runtime jlink= does not exist"},
      {"runtime that is no JDK",
       {"create", "--name", "A", "--jar", "@JAR", "--runtime", "jlink=@JLINKED"}, 1,
       "has no bin/jlink: it is not a JDK"},
      {"runtime that is no runtime", {"create", "--name", "A", "--jar", "@JAR", "--runtime", "/tmp"},
       1, "is not a Java runtime home"},
      {"no jar", {"create", "--name", "A"}, 2, "give at least one --jar"},
      {"missing jar", {"create", "--name", "A", "--jar", "gone.jar"}, 1, "cannot read the jar"},
      {"text as jar", {"create", "--name", "A", "--jar", "notes.jar"}, 1, "is not a jar"},
      {"slash in name", {"create", "--name", "a/b", "--jar", "@JAR"}, 2, "cannot be a file name"},
      {"empty name", {"create", "--name", "", "--jar", "@JAR"}, 2, "--name is empty"},
      {"no name", {"create", "--jar", "@JAR"}, 2, "--name is required"},
      {"bad identifier", {"create", "--name", "A", "--jar", "@JAR", "--identifier", "a b"}, 2,
       "is not a bundle identifier"},
      {"unknown option", {"create", "--nmae", "A"}, 2, "unknown option '--nmae'"},
      {"icon neither PNG nor ICNS", {"create", "--name", "A", "--jar", "@JAR", "--icon", "notes.jar"},
       1, "is neither a PNG nor an ICNS"},
      {"out below a file", {"create", "--name", "A", "--jar", "@JAR", "--out", "notes.jar/A.app"},
       1, "notes.jar is a file, not a folder"},
      {"out that is a file", {"create", "--name", "A", "--jar", "@JAR", "--out", "notes.jar"}, 1,
       "notes.jar is a file, not a folder. Give a folder to put A.app in"},
      {"out that is a file ending in .app", {"installer", "--name", "A", "--jar", "@JAR", "--out",
       "@FILEAPP", "--force"}, 1, "is a file, not a folder"},
      {"out that is a link to nothing", {"create", "--name", "A", "--jar", "@JAR", "--out",
       "dangling"}, 1, "--out dangling is a link to nothing, not a folder"},
      {"folders made for out, failure after",
       {"create", "--name", "A", "--jar", "@JAR", "--out", "made/for/it", "--runtime", "/tmp"}, 1,
       "is not a Java runtime home"},
      {"download without archive", {"installer", "--name", "A", "--jar", "@JAR", "--runtime-url",
       "http://127.0.0.1/x.tar.gz"}, 2, "--runtime-url needs the archive"},
      {"malformed digest", {"installer", "--name", "A", "--jar", "@JAR", "--runtime-url",
       "http://127.0.0.1/x.tar.gz", "--runtime-sha256", "abc"}, 2, "64 hexadecimal digits"},
      {"splash that is no image", {"create", "--name", "A", "--jar", "@JAR", "--splash",
       "notes.jar"}, 1, "notes.jar is not a PNG, GIF or JPEG image (going by its content"},
      {"missing splash", {"installer", "--name", "A", "--jar", "@JAR", "--splash", "gone.png"}, 1,
       "cannot read the splash image gone.png"},
      {"version not beginning with a digit",
       {"create", "--name", "A", "--jar", "@JAR", "--version", "v1.0"}, 2,
       "--version 'v1.0' cannot be used: it must begin with a digit"},
      {"version with a blank", {"installer", "--name", "A", "--jar", "@JAR", "--version", "1 0"},
       2, "it holds a blank; only letters, digits and . + ~ - _ may appear"},
      {"version with a slash", {"create", "--name", "A", "--jar", "@JAR", "--version=1/0"}, 2,
       "it holds '/'"},
      {"version with a letter beyond ASCII",
       {"create", "--name", "A", "--jar", "@JAR", "--version", "1.0ä"}, 2,
       "it holds a character other than printable ASCII"},
      {"empty version", {"create", "--name", "A", "--jar", "@JAR", "--version="}, 2,
       "it is empty"},
      {"version too long",
       {"create", "--name", "A", "--jar", "@JAR", "--version", "1" + std::string(64, '0')}, 2,
       "it has 65 characters, more than 64"},
      {"desktop without bundle", {"desktop", "nothing.app"}, 1, "is not an application bundle"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    for (std::string arg : c.args) {
      arg = std::regex_replace(arg, std::regex("@NOMANIFEST"), noManifest);
      arg = std::regex_replace(arg, std::regex("@JLINKED"), jlinked());
      arg = std::regex_replace(arg, std::regex("@FILEAPP"), dir / "file.app");
      if (arg == "@JAR") arg = kDebianJar;
      args.push_back(arg);
    }
    const auto before = listing(dir.path());
    RunResult r = bundle(args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.what << ": one line: " << r.err;
    EXPECT_EQ(listing(dir.path()), before) << c.what;
    EXPECT_TRUE(fs::is_empty(tmp)) << c.what;
  }
}

TEST_F(BundlerTest, ExistingOutputIsReplacedOnlyWithForce) {
  const std::string app = dir / "Twice.app";
  writeFile(app + "/keep", "mine");
  RunResult refused = bundle({"create", "--name", "Twice", "--jar", kDebianJar});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(app + " exists already"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
  EXPECT_EQ(readFile(app + "/keep"), "mine");

  RunResult forced = bundle({"create", "--name", "Twice", "--jar", kDebianJar, "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_FALSE(fs::exists(app + "/keep"));
  EXPECT_TRUE(fs::exists(app + "/Contents/MacOS/Twice"));
  EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"Twice.app", "home", "tmp"}));
}

TEST_F(BundlerTest, OutIsTheFolderTheBundleGoesIntoOrTheBundleItself) {
  fs::create_directories(dir / "dist");
  fs::create_directories(dir / "Taken.app");
  fs::create_directory_symlink(dir / "dist", dir / "linked");
  struct Case {
    const char* what;
    std::vector<std::string> out;  // --out and what follows it
    int status;
    const char* made;     // the bundle made, relative to the test's folder; "" for none
    const char* message;  // a part of standard error when refused
  };
  const std::vector<Case> cases = {
      {"existing folder", {"dist"}, 0, "dist/Out.app", ""},
      {"existing folder with a slash", {"dist/", "--force"}, 0, "dist/Out.app", ""},
      {"missing folders", {"build/new dist"}, 0, "build/new dist/Out.app", ""},
      {"the bundle itself, parents missing", {"deep/er/Mine.app"}, 0, "deep/er/Mine.app", ""},
      {"a link to a folder", {"linked", "--force"}, 0, "linked/Out.app", ""},
      {"an existing bundle", {"Taken.app"}, 1, "", "Taken.app exists already"},
      {"an existing bundle with force", {"Taken.app", "--force"}, 0, "Taken.app", ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"create", "--name", "Out", "--jar", kDebianJar, "--out"};
    args.insert(args.end(), c.out.begin(), c.out.end());
    RunResult r = bundle(args);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    if (*c.made) {
      const std::string app = dir / c.made;
      EXPECT_EQ(r.out, app + "\n") << c.what;
      EXPECT_TRUE(fs::is_regular_file(app + "/Contents/MacOS/Out")) << c.what;
      const std::string folder = fs::path(app).parent_path();
      for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos)
            << c.what << ": " << entry.path();
      }
    } else {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    }
  }
  RunResult started = start(dir / "deep/er/Mine.app/Contents/MacOS/Out", {"1", "2"});
  EXPECT_EQ(started.status, 0) << started.err;
  EXPECT_NE(started.out.find("1 < 2"), std::string::npos) << started.out;
}

// --- A killed run ---------------------------------------------------------------------------

// qmk-bundle with `args` started in the background, its output thrown away.
pid_t startInBackground(std::vector<std::string> args) {
  args.insert(args.begin(), QMK_BUNDLE);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(result, 0);
  return pid;
}

bool lockIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);  // gives a lock taken here back at once
  return free;
}

// The partial folders (".<bundle>.partial-XXXXXX", real folders) in `folder`.
std::set<std::string> partialFolders(const std::string& folder, const std::string& bundle) {
  std::set<std::string> found;
  const std::regex pattern("\\." + bundle + "\\.partial-[A-Za-z0-9]{6}");
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (std::regex_match(name, pattern) && fs::is_directory(fs::symlink_status(entry.path()))) {
      found.insert(name);
    }
  }
  return found;
}

// Waits until the run `pid` has made and locked a partial folder not among `known` in `folder`
// and is done with the lock of the folder itself; returns the partial folder's name.
std::string waitForBuilding(pid_t pid, const std::string& folder, const std::string& bundle,
                            const std::set<std::string>& known) {
  for (int i = 0; i < 600000; i++) {
    for (const auto& name : partialFolders(folder, bundle)) {
      if (!known.contains(name) && !lockIsFree(folder + "/" + name) && lockIsFree(folder)) {
        return name;
      }
    }
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      ADD_FAILURE() << "the run ended before it could be caught building";
      return "";
    }
    ::usleep(100);
  }
  ADD_FAILURE() << "no partial folder appeared";
  return "";
}

void killAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status;
  ::waitpid(pid, &status, 0);
}

TEST_F(BundlerTest, AKilledRunLeavesAPartialFolderTheNextRunRemovesButNotALiveOnes) {
  const std::string out = dir / "dist";
  fs::create_directories(out);
  // What looks like a partial folder but is not one of ours, or not one of this bundle's.
  fs::create_directories(dir / "elsewhere/inside");
  fs::create_directory_symlink(dir / "elsewhere", out + "/.Slow.app.partial-Linked");
  writeFile(out + "/.Slow.app.partial-AFile1", "a file");
  fs::create_directories(out + "/.Slow.app.partial-long1234");
  fs::create_directories(out + "/.Other.app.partial-ABCDEF");
  const std::set<std::string> decoys = listing(out);

  // Copying a whole runtime into the bundle takes long enough to be caught in the middle.
  const std::vector<std::string> slow = {"create", "--name", "Slow", "--jar", kDebianJar,
                                         "--runtime", jlinked() + "/Contents/PlugIns/jre.bundle",
                                         "--out", out};
  const pid_t killed = startInBackground(slow);
  const std::string abandoned = waitForBuilding(killed, out, "Slow.app", {});
  killAndReap(killed);
  ASSERT_FALSE(abandoned.empty());
  EXPECT_TRUE(fs::exists(out + "/" + abandoned)) << "a killed run cannot clean up";
  EXPECT_FALSE(fs::exists(out + "/Slow.app"));

  const pid_t stopped = startInBackground(slow);
  const std::string live = waitForBuilding(stopped, out, "Slow.app", {abandoned});
  ::kill(stopped, SIGSTOP);
  RunResult second = bundle({"create", "--name", "Slow", "--jar", kDebianJar, "--out", out});
  EXPECT_EQ(second.status, 0) << second.err;
  std::set<std::string> expected = decoys;
  expected.insert({"Slow.app", live});
  EXPECT_EQ(listing(out), expected) << "the abandoned folder went, the live one stayed";
  killAndReap(stopped);

  // The installer cleans up after create as create does after the installer.
  RunResult third = bundle({"installer", "--name", "Slow", "--jar", kDebianJar, "--out", out,
                            "--force"});
  EXPECT_EQ(third.status, 0) << third.err;
  expected.erase(live);
  EXPECT_EQ(listing(out), expected);
  EXPECT_TRUE(fs::exists(dir / "elsewhere/inside"));
}

TEST_F(BundlerTest, EverySubcommandHasHelp) {
  for (const std::string command : {"create", "installer", "desktop"}) {
    RunResult r = bundle({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(r.out.starts_with("usage: qmk-bundle " + command)) << r.out;
    EXPECT_NE(r.out.find("--help"), std::string::npos) << command;
  }
}

// --- installer ------------------------------------------------------------------------------

TEST_F(BundlerTest, InstallerShipsItsRuntimeAndRunsTheJar) {
  const std::string runtime = jlinked() + "/Contents/PlugIns/jre.bundle";
  RunResult made = bundle({"installer", "--name", "Setup Ö", "--jar", kDebianJar, "--argument",
                           "5", "--runtime", runtime});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string app = dir / "Setup Ö.app";
  const std::string archive = app + "/Contents/Resources/app/jre.tar.gz";
  ASSERT_TRUE(fs::exists(archive));
  RunResult listed = run({"/usr/bin/tar", "-tzf", archive});
  EXPECT_NE(listed.out.find("Contents/Home/bin/java\n"), std::string::npos);
  EXPECT_NE(listed.out.find("Contents/Info.plist\n"), std::string::npos);
  EXPECT_GT(infoOf(app)["qmk.jreUncompressedSize"].intValue(), 1000000);

  auto bundleHandle = platform::Bundle::create(app);
  EXPECT_EQ(bundleHandle->localizedString("WizardCaption"), "Setup Ö Setup");

  RunResult r = start(app + "/Contents/MacOS/Setup Ö", {"6"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("5 < 6"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Preparing to install Setup Ö..."), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_empty(tmp)) << "the installer removed what it extracted";
}

TEST_F(BundlerTest, InstallerDownloadsTheRuntimePackedForItsUrl) {
  const std::string runtime = jlinked() + "/Contents/PlugIns/jre.bundle";
  fs::create_directories(dir / "www");
  HttpServer server(dir / "www");
  const std::string archive = dir / "www/jre.tar.gz";
  RunResult made = bundle({"installer", "--name", "Fetch", "--jar", kDebianJar, "--runtime",
                           runtime, "--runtime-url", server.url("/files/jre.tar.gz"),
                           "--runtime-archive", archive});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string app = dir / "Fetch.app";
  EXPECT_FALSE(fs::exists(app + "/Contents/Resources/app/jre.tar.gz"));
  plist::Value info = infoOf(app);
  EXPECT_EQ(info["qmk.jreLocation"].stringValue(), server.url("/files/jre.tar.gz"));
  const std::string digest = run({"/usr/bin/sha256sum", archive}).out.substr(0, 64);
  EXPECT_EQ(info["qmk.jreSha256"].stringValue(), digest);
  EXPECT_GT(info["qmk.jreUncompressedSize"].intValue(), 1000000);

  // The machine's runtimes would win over the download: this installer searches nowhere.
  plist::Dictionary edited = *info.asDictionary();
  plist::Dictionary javaVM = *info["JavaVM"].asDictionary();
  javaVM["SearchSequence"] = plist::Value::array({plist::Value::string("Rnone")});
  edited["JavaVM"] = plist::Value::dictionary(javaVM);
  writeFile(app + "/Contents/Info.plist", plist::toXml(plist::Value::dictionary(edited)));

  RunResult r = start(app + "/Contents/MacOS/Fetch", {"1", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 < 2"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("Downloading Java for Fetch..."), std::string::npos) << r.err;
}

TEST_F(BundlerTest, InstallerRefusesAnArchiveWhoseDigestDiffers) {
  const std::string runtime = jlinked() + "/Contents/PlugIns/jre.bundle";
  writeFile(dir / "other.tar.gz", "");
  RunResult gz = run({"/usr/bin/gzip", "-f", dir / "other.tar.gz"});
  ASSERT_EQ(gz.status, 0) << gz.err;
  RunResult r = bundle({"installer", "--name", "Pinned", "--jar", kDebianJar, "--runtime-url",
                        "http://127.0.0.1/x", "--runtime-archive", dir / "other.tar.gz.gz",
                        "--runtime-sha256", std::string(64, 'a')});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not the --runtime-sha256 given"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "Pinned.app"));
}

}  // namespace
