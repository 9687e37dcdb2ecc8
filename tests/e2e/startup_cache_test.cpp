// The startup cache with real runtimes: the application sees the same output and status with
// and without it, on the start that creates it and on the starts that use it, and a damaged or
// outdated archive is never used but replaced.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Every runtime that has the cache: Debian's JDK 17 always, the others where installed.
std::vector<std::string> cachingRuntimes() {
  std::vector<std::string> homes = {QMK_JAVA_HOME};
  for (const char* other : {"/usr/lib/jvm/temurin-25-jdk-amd64"}) {
    if (fs::exists(std::string(other) + "/bin/java")) homes.emplace_back(other);
  }
  return homes;
}

class StartupCacheTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    bundle = makeAppBundle(tmp.path(), "Cached.app", info(true));
    fs::copy_file(QMK_APPSTUB, bundle + "/Contents/MacOS/Cached");
    fs::permissions(bundle + "/Contents/MacOS/Cached", fs::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    auto jar = run({GetParam() + "/bin/jar", "--create", "--file", bundle + "/Contents/Java/probe.jar",
                    "-C", QMK_JAVA_CLASSES, "Probe.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
    folder = tmp / "xdg/quillmark/org.example.cached";
  }

  plist::Value info(bool cache) {
    return dict({{"CFBundleIdentifier", str("org.example.cached")},
                 {"qmk.startupCache", plist::Value::boolean(cache)},
                 {"JavaVM", dict({{"MainClass", str("Probe")},
                                  {"ClassPath", str("$APP_PACKAGE/Contents/Java/probe.jar")},
                                  {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}});
  }

  void setCache(bool on) { makeAppBundle(tmp.path(), "Cached.app", info(on)); }

  RunResult start(const std::vector<std::string>& args, bool log = false) {
    std::vector<std::string> argv = {bundle + "/Contents/MacOS/Cached"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "",
               {{"QMK_TEST_JDK", GetParam()},
                {"XDG_CACHE_HOME", tmp / "xdg"},
                {"QUILLMARK_LOG", log ? std::optional<std::string>("yes") : std::nullopt}},
               tmp.path());
  }

  std::vector<std::string> files(const std::string& suffix) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.path().string().ends_with(suffix)) found.push_back(entry.path());
    }
    return found;
  }

  // The builder works after the start has ended; wait until it is done, whatever it made.
  std::vector<std::string> archivesOnceBuilt() {
    for (int i = 0; i < 1200; i++) {
      if (files(".classlist").empty() && files(".part").empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return files(".jsa");
  }

  // The archive belongs to one launch vector: ask with the arguments it was made for.
  bool usesArchive(const std::vector<std::string>& args) {
    return start(args, true).err.find("using the class archive") != std::string::npos;
  }

  TempDir tmp;
  std::string bundle;
  std::string folder;
};

void expectSameRun(const RunResult& with, const RunResult& without, const std::string& what) {
  EXPECT_EQ(with.status, without.status) << what;
  EXPECT_EQ(with.out, without.out) << what;
  EXPECT_EQ(with.err, without.err) << what;
}

TEST_P(StartupCacheTest, OutputAndStatusAreTheSameWithAndWithoutTheCache) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"exit=7", "a b"}, std::vector<std::string>{"return"}}) {
    fs::remove_all(tmp / "xdg");
    setCache(false);
    RunResult plain = start(args);
    EXPECT_FALSE(fs::exists(folder));
    setCache(true);
    expectSameRun(start(args), plain, "creating run");
    ASSERT_EQ(archivesOnceBuilt().size(), 1u);
    expectSameRun(start(args), plain, "using run");
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(files(".jsa")[0]).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
  }
}

TEST_P(StartupCacheTest, ADamagedArchiveIsNeverUsedAndIsReplaced) {
  RunResult first = start({"exit=3"});
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> damages = {
      {"truncated", [](const std::string& p) { fs::resize_file(p, fs::file_size(p) / 2); }},
      {"overwritten inside",
       [](const std::string& p) {
         FILE* f = fopen(p.c_str(), "r+");
         fseek(f, 100000, SEEK_SET);
         fputs("garbage garbage garbage", f);
         fclose(f);
       }},
      {"not an archive", [](const std::string& p) { writeFile(p, std::string(8192, 'x')); }},
  };
  for (const auto& [name, damage] : damages) {
    auto archives = archivesOnceBuilt();
    ASSERT_EQ(archives.size(), 1u) << name;
    damage(archives[0]);
    EXPECT_FALSE(usesArchive({"exit=3"})) << name;
    auto replaced = archivesOnceBuilt();
    ASSERT_EQ(replaced.size(), 1u) << name;
    expectSameRun(start({"exit=3"}), first, name);
    EXPECT_TRUE(usesArchive({"exit=3"})) << name;
  }
}

TEST_P(StartupCacheTest, AChangedClassPathGetsANewArchiveAndTheOldOneGoes) {
  start({});
  auto first = archivesOnceBuilt();
  ASSERT_EQ(first.size(), 1u);
  // Same size, other time: the runtime would refuse the archive, the key must change too.
  fs::last_write_time(bundle + "/Contents/Java/probe.jar",
                      fs::last_write_time(bundle + "/Contents/Java/probe.jar") - std::chrono::hours(1));
  EXPECT_FALSE(usesArchive({}));
  auto second = archivesOnceBuilt();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second[0], first[0]);
  EXPECT_TRUE(usesArchive({}));
}

TEST_P(StartupCacheTest, StartsAtTheSameMomentLeaveOneCompleteArchive) {
  RunResult plain = start({"exit=5"});
  fs::remove_all(tmp / "xdg");
  std::vector<RunResult> results(3);
  std::vector<std::thread> starts;
  for (auto& result : results) starts.emplace_back([&] { result = start({"exit=5"}); });
  for (auto& t : starts) t.join();
  for (const auto& result : results) expectSameRun(result, plain, "concurrent creating run");
  ASSERT_EQ(archivesOnceBuilt().size(), 1u);
  EXPECT_TRUE(usesArchive({"exit=5"}));
  expectSameRun(start({"exit=5"}), plain, "using run");
}

TEST_P(StartupCacheTest, AFolderThatCannotBeMadeStartsWithoutTheCache) {
  RunResult plain = start({"exit=2"});
  fs::remove_all(tmp / "xdg");
  writeFile(tmp / "xdg", "a file where the cache folder would be");
  expectSameRun(start({"exit=2"}), plain, "unwritable");
  RunResult logged = start({}, true);
  EXPECT_NE(logged.err.find("startup cache none: the cache folder"), std::string::npos)
      << logged.err;
}

// The application's classes a start loaded from its archive, and all it loaded from its jar or
// the archive, read from the runtime's class-loading lines.
struct ClassCount {
  int shared = 0;
  int loaded = 0;
};

ClassCount countApplicationClasses(const std::string& out, const std::string& package) {
  ClassCount count;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("[class,load] " + package) == std::string::npos) continue;
    if (line.ends_with("source: shared objects file")) {
      count.shared++;
      count.loaded++;
    } else if (line.find("source: file:") != std::string::npos) {
      count.loaded++;
    }
  }
  return count;
}

// Where a bundle and its jar live: names with blanks and letters beyond ASCII are the norm, in
// identifiers too (qmk-bundle's default is "local.<name>").
struct Placement {
  std::string folder;
  std::string bundle;
  std::string jar;
  std::string identifier = "org.example.shell";
};

TEST_P(StartupCacheTest, EveryApplicationClassComesFromTheArchiveWhereverTheBundleLies) {
  const std::string rhino = "/usr/share/java/js.jar";
  ASSERT_TRUE(fs::exists(rhino)) << "scripts/setup installs rhino";
  const std::vector<Placement> placements = {
      {"apps", "Shell.app", "js.jar"},
      {"Applications of mine", "Shell.app", "js.jar"},
      {"apps", "My Shell.app", "js.jar"},
      {"apps", "Shell.app", "rhino shell ñ.jar"},
      {"builds;v=2", "Shell.app", "js.jar"},
      {"Programme für Jürgen", "Schälchen Öl.app", "js ä.jar", "local.Schälchen Öl"},
  };
  // Where the application's classes come from, as the application itself sees it.
  const std::string script =
      "print(java.lang.Class.forName('org.mozilla.javascript.Context').getProtectionDomain()"
      ".getCodeSource().getLocation().toURI().getPath())";
  for (const Placement& place : placements) {
    const std::string what = place.folder + "/" + place.bundle + "/" + place.jar;
    const std::string folderPath = tmp / place.folder;
    makeDirectories(folderPath);
    const std::string jar = folderPath + "/" + place.bundle + "/Contents/Java/" + place.jar;
    std::string shell = makeAppBundle(
        folderPath, place.bundle,
        dict({{"CFBundleIdentifier", str(place.identifier)},
              {"qmk.startupCache", plist::Value::boolean(true)},
              {"JavaVM", dict({{"MainClass", str("org.mozilla.javascript.tools.shell.Main")},
                               {"ClassPath", str("$APP_PACKAGE/Contents/Java/" + place.jar)},
                               {"VMOptionArray", arr({"-Xlog:class+load=info"})},
                               // Interpreted: compiled scripts would be classes of their own.
                               {"ArgumentArray", arr({"-opt", "-1", "-e", script})},
                               {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}}));
    fs::copy_file(QMK_APPSTUB, shell + "/Contents/MacOS/Shell");
    fs::permissions(shell + "/Contents/MacOS/Shell", fs::perms::owner_all);
    makeDirectories(shell + "/Contents/Java");
    fs::copy_file(rhino, jar);
    folder = tmp / ("xdg/quillmark/" + place.identifier);

    auto startShell = [&] {
      return run({shell + "/Contents/MacOS/Shell"}, "",
                 {{"QMK_TEST_JDK", GetParam()}, {"XDG_CACHE_HOME", tmp / "xdg"}}, tmp.path());
    };
    RunResult creating = startShell();
    ASSERT_EQ(creating.status, 0) << what << creating.err;
    ASSERT_EQ(archivesOnceBuilt().size(), 1u) << what;
    RunResult using_ = startShell();
    ASSERT_EQ(using_.status, 0) << what << using_.err;

    ClassCount count = countApplicationClasses(using_.out, "org.mozilla.");
    EXPECT_GT(count.loaded, 100) << what;
    EXPECT_EQ(count.shared, count.loaded) << what;
    EXPECT_EQ(countApplicationClasses(creating.out, "org.mozilla.").shared, 0) << what;
    // The archive changes nothing the application can see of its own location.
    EXPECT_NE(creating.out.find("\n" + jar + "\n"), std::string::npos) << what;
    EXPECT_NE(using_.out.find("\n" + jar + "\n"), std::string::npos) << what << using_.out;
    fs::remove_all(folderPath);
    fs::remove_all(tmp / "xdg");
  }
}

INSTANTIATE_TEST_SUITE_P(Runtimes, StartupCacheTest, ::testing::ValuesIn(cachingRuntimes()),
                         [](const auto& info) {
                           return fs::path(info.param).filename().string() == "temurin-25-jdk-amd64"
                                      ? std::string("Temurin25")
                                      : "Jdk" + std::to_string(info.index);
                         });

}  // namespace
