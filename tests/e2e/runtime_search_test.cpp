// appstub choosing its runtime on this machine, started the way a user starts it: the newest
// runtime installed in /usr/lib/jvm without any configuration, a relative runtime entry that must
// survive the change to the working directory, and a runtime shipped beside the application.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kJdk = QMK_JAVA_HOME;

// The value of "prop:NAME=" in the probe's output.
std::string property(const std::string& out, const std::string& name) {
  const std::string marker = "prop:" + name + "=";
  size_t at = out.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return out.substr(at, out.find('\n', at) - at);
}

// The installed runtime with the highest JAVA_VERSION in its release file, as a real path, read
// without the launcher's help.
std::optional<std::string> newestInstalledRuntime() {
  auto numbers = [](const std::string& text) {
    std::vector<long> out;
    long current = -1;
    for (char c : text + ".") {
      if (std::isdigit(static_cast<unsigned char>(c))) {
        current = (current < 0 ? 0 : current * 10) + (c - '0');
      } else if (current >= 0) {
        out.push_back(current);
        current = -1;
      }
    }
    return out;
  };
  std::optional<std::string> best;
  std::vector<long> bestVersion;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ec)) {
    std::ifstream release(entry.path() / "release");
    if (!fs::exists(entry.path() / "bin/java") || !release) continue;
    for (std::string line; std::getline(release, line);) {
      if (!line.starts_with("JAVA_VERSION=")) continue;
      auto version = numbers(line.substr(13));
      if (!best || version > bestVersion) {
        best = fs::canonical(entry.path()).string();
        bestVersion = version;
      }
    }
  }
  return best;
}

class RuntimeSearchTest : public ::testing::Test {
 protected:
  // An application bundle running the probe, with `settings` at the top of its property list
  // and `javaVM` added to its JavaVM dictionary.
  void makeApp(std::map<std::string, plist::Value> settings,
               std::map<std::string, plist::Value> javaVM = {}) {
    javaVM.emplace("MainClass", str("Probe"));
    javaVM.emplace("ClassPath", str("$APP_PACKAGE/Contents/Java/probe.jar"));
    javaVM.emplace("VMOptionArray", arr({"-Dprobe.props=qmk.jreBundle,java.home"}));
    settings.emplace("CFBundleName", str("Finder"));
    settings.emplace("JavaVM", dict(std::move(javaVM)));
    bundle = makeAppBundle(tmp.path(), "Finder.app", dict(std::move(settings)));
    fs::copy_file(QMK_APPSTUB, bundle + "/Contents/MacOS/Finder",
                  fs::copy_options::overwrite_existing);
    fs::permissions(bundle + "/Contents/MacOS/Finder", fs::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    auto jar = run({kJdk + "/bin/jar", "--create", "--file", bundle + "/Contents/Java/probe.jar",
                    "-C", QMK_JAVA_CLASSES, "Probe.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
  }

  RunResult start() { return run({bundle + "/Contents/MacOS/Finder"}, "", {}, tmp.path()); }

  TempDir tmp;
  std::string bundle;
};

TEST_F(RuntimeSearchTest, WithoutConfigurationTheNewestInstalledRuntimeRuns) {
  auto newest = newestInstalledRuntime();
  if (!newest) GTEST_SKIP() << "no runtime in /usr/lib/jvm";
  makeApp({});
  auto r = start();
  ASSERT_EQ(r.status, 0) << r.err;
  std::string chosen = property(r.out, "qmk.jreBundle");
  EXPECT_TRUE(chosen.starts_with("/usr/lib/jvm/")) << r.out;
  EXPECT_EQ(fs::canonical(chosen).string(), *newest) << r.out;
  EXPECT_EQ(fs::canonical(property(r.out, "java.home")).string(), *newest) << r.out;
}

TEST_F(RuntimeSearchTest, ARelativeEntryStillNamesItsRuntimeAfterTheWorkingDirectoryChanges) {
  fs::create_directory_symlink(kJdk, tmp / "jdk");
  makeApp({}, {{"SearchSequence", arr({"Rjdk"})},
               {"WorkingDirectory", str("$APP_PACKAGE/Contents/Resources")}});
  auto r = start();  // started in tmp, where "jdk" is
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(property(r.out, "qmk.jreBundle"), tmp / "jdk");
  EXPECT_EQ(fs::canonical(property(r.out, "java.home")), fs::canonical(kJdk));
}

TEST_F(RuntimeSearchTest, ARuntimeShippedInTheBaseDirectoryRunsWithoutASearch) {
  makeDirectories(tmp / "base/.quillmark");
  fs::create_directory_symlink(kJdk, tmp / "base/.quillmark/jre");
  // The search sequence names nothing that exists: only the shipped runtime can run.
  makeApp({{"qmk.baseDir", str(tmp / "base")}, {"qmk.minVersion", str("99")}},
          {{"SearchSequence", arr({"R/nowhere"})}});
  auto r = start();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(property(r.out, "qmk.jreBundle"), tmp / "base/.quillmark/jre");
}

}  // namespace
