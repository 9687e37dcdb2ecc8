// What qmk-bundle create does with the jars' manifests, from end to end: the Class-Path a jar
// names is carried into the bundle, which then starts with the originals gone; the main jar's
// module directives reach the start as java -jar would apply them, without a warning for
// packages the runtime lacks; and check says where a bundle still leans on this machine.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/plist.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

using Env = std::map<std::string, std::optional<std::string>>;

constexpr const char* kTemurin = "/usr/lib/jvm/temurin-25-jdk-amd64";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) n++;
  return n;
}

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home);
    fs::create_directories(tmp);
  }

  Env environment() const {
    return {{"HOME", home},           {"TMPDIR", tmp},           {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt}, {"QUILLMARK_LOG", std::nullopt},
            {"JAVA_HOME", std::nullopt},       {"JDK_JAVA_OPTIONS", std::nullopt},
            {"LANG", "C.UTF-8"}};
  }

  RunResult bundle(std::vector<std::string> args) {
    args.insert(args.begin(), QMK_BUNDLE);
    return run(args, "", environment(), dir.path());
  }

  RunResult start(const std::string& app, const std::string& name) {
    return run({app + "/Contents/MacOS/" + name}, "", environment());
  }

  // A jar at `path` holding the fixture classes `classes`, with `manifest` as its manifest.
  void makeJar(const std::string& path, const std::vector<std::string>& classes,
               const std::string& manifest) {
    fs::create_directories(fs::path(path).parent_path());
    const std::string manifestFile = tmp + "/manifest.txt";
    writeFile(manifestFile, manifest);
    std::vector<std::string> argv = {QMK_JAVA_HOME "/bin/jar", "--create", "--file", path,
                                     "--manifest", manifestFile};
    for (const auto& name : classes) {
      argv.insert(argv.end(), {"-C", QMK_JAVA_CLASSES, name + ".class"});
    }
    RunResult r = run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::string classPathOf(const std::string& app) {
    auto info = plist::readFile(app + "/Contents/Info.plist");
    return info ? (*info)["JavaVM"]["ClassPath"].stringValue().value_or("") : "";
  }

  // The application of the Class-Path tests: main.jar names a relative jar (whose own manifest
  // names a further one), an absolute path, a file: URL with an escaped blank, a jar that does
  // not exist, two jars both called util.jar, and a folder of classes.
  std::string makeClassPathApplication() {
    const std::string app = src + "/app";
    makeJar(app + "/lib/relative.jar", {"ManifestRelative"}, "Class-Path: ../chain/chained.jar\n");
    makeJar(app + "/chain/chained.jar", {"ManifestChained"}, "Created-By: test\n");
    makeJar(src + "/elsewhere/absolute.jar", {"ManifestAbsolute"}, "Created-By: test\n");
    makeJar(src + "/url dir/url with blank.jar", {"ManifestUrl"}, "Created-By: test\n");
    makeJar(app + "/one/util.jar", {"ManifestUtilOne"}, "Created-By: test\n");
    makeJar(app + "/two/util.jar", {"ManifestUtilTwo"}, "Created-By: test\n");
    fs::create_directories(app + "/classes");
    fs::copy_file(QMK_JAVA_CLASSES "/ManifestFolder.class", app + "/classes/ManifestFolder.class");
    makeJar(app + "/main.jar", {"ManifestMain"},
            "Main-Class: ManifestMain\nClass-Path: lib/relative.jar " + src +
                "/elsewhere/absolute.jar file://" + src +
                "/url%20dir/url%20with%20blank.jar missing.jar one/util.jar two/util.jar "
                "classes/\n");
    return app + "/main.jar";
  }

  TempDir dir;
  std::string home = dir / "home";
  std::string tmp = dir / "tmp";
  std::string src = dir / "src";
};

TEST_F(ManifestTest, TheClassPathTheManifestsNameTravelsInsideTheBundle) {
  const std::string jar = makeClassPathApplication();
  const std::string app = dir / "Class Path.app";
  RunResult made = bundle({"create", "--name", "Class Path", "--jar", jar, "--out", app});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, app + "\n");
  // The missing entry costs one line naming the jar and the entry, and nothing more.
  EXPECT_EQ(countOf(made.err, "\n"), 1) << made.err;
  EXPECT_TRUE(contains(made.err, "warning: the manifest of " + jar + " names missing.jar")) << made.err;

  const std::string java = "$APP_PACKAGE/Contents/Java/";
  EXPECT_EQ(classPathOf(app), java + "main.jar:" + java + "relative.jar:" + java + "chained.jar:" +
                                  java + "absolute.jar:" + java + "url with blank.jar:" + java +
                                  "util.jar:" + java + "util-2.jar:" + java + "classes");

  // What the copies' manifests name lies in the bundle: check finds nothing to say about it.
  RunResult checked = run({QMK_BUNDLE, "check", app}, "", environment());
  EXPECT_EQ(checked.status, 0) << checked.out;
  EXPECT_FALSE(contains(checked.out, "Class-Path")) << checked.out;

  fs::rename(src, dir / "gone");
  RunResult r = start(app, "Class Path");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "relative=lib/relative.jar\nabsolute=absolute.jar\nurl=url with blank.jar\n"
            "chained=named by relative.jar\nfirst util=one/util.jar\nsecond util=two/util.jar\n"
            "folder=classes/\n");
}

TEST_F(ManifestTest, WithoutManifestClassPathOnlyTheGivenJarsAreCopiedAndCheckSaysSo) {
  const std::string jar = makeClassPathApplication();
  const std::string app = dir / "Given.app";
  RunResult made = bundle(
      {"create", "--name", "Given", "--jar", jar, "--no-manifest-class-path", "--out", app});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.err, "");
  EXPECT_EQ(classPathOf(app), "$APP_PACKAGE/Contents/Java/main.jar");
  EXPECT_EQ(fs::file_size(app + "/Contents/Java/main.jar"), fs::file_size(jar));

  // Relative entries now look inside the bundle and find nothing; the others lean on this
  // machine's files. check names each of them.
  RunResult here = start(app, "Given");
  EXPECT_NE(here.status, 0);
  EXPECT_TRUE(contains(here.err, "ManifestRelative")) << here.err;
  RunResult checked = run({QMK_BUNDLE, "check", app}, "", environment());
  for (const std::string entry : {"/elsewhere/absolute.jar", "url%20with%20blank.jar"}) {
    EXPECT_TRUE(contains(checked.out, entry + " in its Class-Path, outside the bundle"))
        << entry << "\n" << checked.out;
  }
  for (const std::string entry : {"lib/relative.jar", "missing.jar", "one/util.jar", "classes/"}) {
    EXPECT_TRUE(contains(checked.out, "names " + entry + " in its Class-Path, which does not exist"))
        << entry << "\n" << checked.out;
  }
  EXPECT_EQ(countOf(checked.out, "which does not exist"), 5) << checked.out;

  fs::rename(src, dir / "gone");
  checked = run({QMK_BUNDLE, "check", app}, "", environment());
  EXPECT_EQ(countOf(checked.out, "which does not exist"), 7) << checked.out;
}

TEST_F(ManifestTest, TheInstallerCarriesTheClassPathItsJarsName) {
  const std::string jar = makeClassPathApplication();
  const std::string app = dir / "Setup.app";
  RunResult made = bundle({"installer", "--name", "Setup", "--jar", jar, "--out", app});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(contains(made.err, "names missing.jar in its Class-Path")) << made.err;
  const std::string java = "$APP_PACKAGE/Contents/Java/";
  EXPECT_EQ(classPathOf(app), java + "main.jar:" + java + "relative.jar:" + java + "chained.jar:" +
                                  java + "absolute.jar:" + java + "url with blank.jar:" + java +
                                  "util.jar:" + java + "util-2.jar:" + java + "classes");
  EXPECT_TRUE(fs::exists(app + "/Contents/Java/util-2.jar"));
  EXPECT_TRUE(fs::exists(app + "/Contents/Java/classes/ManifestFolder.class"));
}

TEST_F(ManifestTest, AClassPathNamingTheJarsOwnFolderWhereTheBundleIsMadeIsCopiedWithoutIt) {
  const std::string app = src + "/app";
  makeJar(app + "/main.jar", {"ManifestMain"}, "Main-Class: ManifestMain\nClass-Path: .\n");
  writeFile(app + "/settings.properties", "colour=blue\n");
  RunResult made = run({QMK_BUNDLE, "create", "--name", "Here", "--jar", "main.jar"}, "",
                       environment(), app);
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(classPathOf(app + "/Here.app"),
            "$APP_PACKAGE/Contents/Java/main.jar:$APP_PACKAGE/Contents/Java/app");
  const std::string copied = app + "/Here.app/Contents/Java/app";
  EXPECT_TRUE(fs::exists(copied + "/settings.properties"));
  EXPECT_TRUE(fs::exists(copied + "/main.jar"));
  EXPECT_FALSE(fs::exists(copied + "/Here.app"));
  for (const auto& item : fs::directory_iterator(copied)) {
    EXPECT_FALSE(item.path().filename().string().starts_with(".Here")) << item.path();
  }
}

// The runtimes the module directives are tried on: Debian's JDK 17 always, Temurin 25 where
// installed; each chosen by version bounds, as a user would.
struct Runtime {
  std::string release;  // what create's line names
  std::vector<std::string> bounds;
};
std::vector<Runtime> runtimes() {
  std::vector<Runtime> found = {{"(17.", {"--max-java", "17"}}};
  if (fs::exists(std::string(kTemurin) + "/bin/java")) {
    found.push_back({"(25.", {"--min-java", "25"}});
  }
  return found;
}

TEST_F(ManifestTest, TheMainJarsModuleDirectivesActAsWithJavaJarAndWarnAboutNothing) {
  const std::string jar = dir / "opens.jar";
  makeJar(jar, {"OpensProbe"},
          "Main-Class: OpensProbe\n"
          "Add-Opens: java.base/java.lang java.desktop/com.apple.eawt\n"
          "Add-Exports: java.desktop/com.apple.eawt java.base/sun.nio.ch\n"
          "Enable-Native-Access: ALL-UNNAMED\n");
  for (const auto& [release, bounds] : runtimes()) {
    SCOPED_TRACE(release);
    const std::string name = "Opens " + bounds.back();
    const std::string app = dir / (name + ".app");
    std::vector<std::string> args = {"create", "--name", name, "--jar", jar};
    args.insert(args.end(), bounds.begin(), bounds.end());
    const std::vector<std::string> common = args;
    args.insert(args.end(), {"--out", app});

    RunResult made = bundle(args);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(contains(made.err, "checked against the runtime /usr/lib/jvm/")) << made.err;
    EXPECT_TRUE(contains(made.err, release)) << made.err;
    EXPECT_TRUE(contains(made.err, "left out, as java -jar would: java.desktop/com.apple.eawt"))
        << made.err;
    RunResult r = start(app, name);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "opened: hash\n");
    EXPECT_EQ(r.err, "");  // no warning, neither about the package nor about native access

    // The same jar without the feature: the start fails where it reflects.
    const std::string plainApp = dir / (name + " plain.app");
    args = common;
    args.insert(args.end(), {"--no-manifest-vm-options", "--out", plainApp});
    ASSERT_EQ(bundle(args).status, 0);
    r = start(plainApp, name);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(contains(r.err, "InaccessibleObjectException")) << r.err;
  }
}

TEST_F(ManifestTest, AnEmbeddedRuntimeIsWhatTheModuleDirectivesAreCheckedAgainst) {
  const std::string jar = dir / "opens.jar";
  // jdeps finds that the probe needs java.base alone: the runtime made has no java.desktop.
  makeJar(jar, {"OpensProbe"},
          "Main-Class: OpensProbe\nAdd-Opens: java.base/java.lang java.desktop/java.awt\n");
  const std::string app = dir / "Own.app";
  RunResult made = bundle({"create", "--name", "Own", "--jar", jar, "--out", app, "--runtime",
                           std::string("jlink=") + QMK_JAVA_HOME});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(contains(made.err, "checked against the bundle's own runtime (17.")) << made.err;
  EXPECT_TRUE(contains(made.err, "left out, as java -jar would: java.desktop/java.awt")) << made.err;
  RunResult r = start(app, "Own");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "opened: hash\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(ManifestTest, CheckWarnsAboutModuleOptionsTheRuntimeCannotHonourAndALauncherAgent) {
  const std::string jar = dir / "agent.jar";
  makeJar(jar, {"OpensProbe"}, "Main-Class: OpensProbe\nLauncher-Agent-Class: OpensProbe\n");
  const std::string app = dir / "Agent.app";
  RunResult made = bundle({"create", "--name", "Agent", "--jar", jar, "--out", app, "--vm-option",
                           "--add-opens=java.desktop/com.apple.eawt=ALL-UNNAMED", "--vm-option",
                           "--add-exports=java.base/java.lang=ALL-UNNAMED"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(contains(made.err, "Launcher-Agent-Class OpensProbe, which only java -jar starts"))
      << made.err;

  RunResult checked = run({QMK_BUNDLE, "check", app}, "", environment());
  EXPECT_EQ(checked.status, 0) << checked.out;
  EXPECT_TRUE(contains(checked.out, "opens or exports java.desktop/com.apple.eawt, which the runtime"))
      << checked.out;
  EXPECT_FALSE(contains(checked.out, "java.base/java.lang, which")) << checked.out;
  EXPECT_TRUE(contains(checked.out, "names the Launcher-Agent-Class OpensProbe")) << checked.out;
}

}  // namespace
