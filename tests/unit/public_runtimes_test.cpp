// The machine's runtimes: one named directory, the browser plug-in, the public runtime
// directory in the order of each layout, with real directory trees.
#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <ranges>

#include "launcher/Launcher.h"
#include "launcher/global.h"
#include "support/test_support.h"

using namespace testing_support;

// The heap this test program has in use, and the most it had since the last reset: how many
// candidates a search holds at once shows in its peak.
namespace {
std::atomic<size_t> heapInUse{0};
std::atomic<size_t> heapPeak{0};

void resetHeapPeak() { heapPeak = heapInUse.load(); }
}  // namespace

void* operator new(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  size_t now = heapInUse += malloc_usable_size(block);
  for (size_t peak = heapPeak; now > peak && !heapPeak.compare_exchange_weak(peak, now);) {
  }
  return block;
}
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  heapInUse -= malloc_usable_size(block);
  std::free(block);
}
void operator delete(void* block, size_t) noexcept { operator delete(block); }
// The standard library's temporary buffers use the nothrow form: it must come from the same heap.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }

namespace {

class PublicRuntimesTest : public ::testing::Test {
 protected:
  void SetUp() override { resetLaunchStateForTesting(); }
  void TearDown() override { resetLaunchStateForTesting(); }

  Launcher makeLauncher(const platform::SystemLayout& layout) {
    forget(nullptr);
    return Launcher(makeContext(app, layout, {app + "/Contents/MacOS/App"}, tmp.path()));
  }

  // Lets go of an earlier acceptance before the next try, as the search does between calls.
  static void forget(Launcher* launcher) {
    std::free(launchJavaVersion);
    launchJavaVersion = nullptr;
    if (launcher) launcher->javaBundle.reset();
  }

  // Runs the standard-locations search and returns the name of the chosen entry (or the full
  // path when it is not in the public directory).
  OptionalString choose(const platform::SystemLayout& layout, const OptionalString& min = {},
                        const OptionalString& max = {}, const OptionalString& prefix = {}) {
    Launcher launcher = makeLauncher(layout);
    launcher.findPublicJavaBundle(files, min, max, prefix, false);
    if (!launcher.javaBundle) return std::nullopt;
    pluginUsed = launcher.pluginUsed;
    const std::string& path = *launcher.javaBundlePath;
    return path.starts_with(jvm + "/") ? path.substr(jvm.size() + 1) : path;
  }

  platform::SystemLayout macOS(bool withPlugin = false) {
    return layoutUnder(tmp.path(), platform::SystemLayout::forMacOS(), withPlugin);
  }
  platform::SystemLayout linux() {
    return layoutUnder(tmp.path(), platform::SystemLayout::forLinux());
  }

  // A plug-in at the layout's place, with the given identifier and info string.
  std::string makePlugin(const OptionalString& identifier, const OptionalString& info,
                         bool withJava = true) {
    std::string plugin = *macOS(true).pluginPath;
    std::map<std::string, plist::Value> extra{{"CFBundleVersion", str("1.8.311.11")}};
    if (identifier) extra["CFBundleIdentifier"] = str(*identifier);
    if (info) extra["CFBundleGetInfoString"] = str(*info);
    makeRuntimeBundle(plugin, std::nullopt, extra);
    if (withJava) writeFile(plugin + "/Contents/Home/bin/java", "", 0755);
    return plugin;
  }

  // The debug lines "checking <path>" of one search, in order.
  std::vector<std::string> checkedPaths(const platform::SystemLayout& layout,
                                        const OptionalString& min) {
    ScopedEnv log("QUILLMARK_LOG", "yes");
    qmk::resetLogStatusForTesting();
    testing::internal::CaptureStderr();
    choose(layout, min);
    std::string err = testing::internal::GetCapturedStderr();
    qmk::resetLogStatusForTesting();
    std::vector<std::string> paths;
    const std::string marker = "] checking ";
    for (size_t at = err.find(marker); at != std::string::npos; at = err.find(marker, at + 1)) {
      size_t start = at + marker.size();
      paths.push_back(err.substr(start, err.find('\n', start) - start));
    }
    return paths;
  }

  TempDir tmp;
  std::string app = makeAppBundle(tmp.path(), "App.app", dict({}));
  std::string jvm = tmp / "jvm";
  platform::FileManager files;
  bool pluginUsed = false;
};

TEST_F(PublicRuntimesTest, MacOSLayoutTriesNamesNewestFirst) {
  // The example order, with a hidden entry and a bare "jdk" (stripped to nothing) in their places.
  const std::vector<std::string> expected = {
      "jdk-17.0.1.jdk",   "openjdk-17.jdk", "jdk-11.0.2.jdk", "jdk-9.jdk",
      "jdk1.8.0_311.jdk", "1.6.0.jdk",      ".hidden.jdk",    "jdk",
      "omega-11.jdk",     "alpha-17.jdk"};
  // Every entry states the same version, so the order alone decides; creating them in reverse
  // keeps the listing order from helping.
  for (const auto& name : std::views::reverse(expected)) makeRuntimeBundle(jvm + "/" + name, "11");
  for (const std::string& name : expected) {
    EXPECT_EQ(choose(macOS()), name);
    std::filesystem::remove_all(jvm + "/" + name);
  }
  EXPECT_EQ(choose(macOS()), std::nullopt);
}

TEST_F(PublicRuntimesTest, MacOSLayoutSkipsRefusedEntriesAndTriesEachName) {
  makeRuntimeBundle(jvm + "/jdk-17.0.1.jdk", "17.0.1");
  makeRuntimeBundle(jvm + "/jdk-11.0.2.jdk", "11.0.2");
  makeRuntimeBundle(jvm + "/jdk-21.jdk", std::nullopt);  // no version: refused
  writeFile(jvm + "/jdk-25.jdk", "a file, not a bundle");
  makeRuntimeBundle(jvm + "/jdk1.8.0_311.jdk", "1.8.0_311");
  EXPECT_EQ(choose(macOS(), std::nullopt, "11"), "jdk-11.0.2.jdk");
  EXPECT_EQ(choose(macOS(), std::nullopt, "1.8"), "jdk1.8.0_311.jdk");
  EXPECT_EQ(choose(macOS(), "1.8", std::nullopt, "com.example"), "jdk-17.0.1.jdk")
      << "runtimes without an identifier pass the prefix rule";
  EXPECT_EQ(choose(macOS(), "18"), std::nullopt);
  EXPECT_EQ(checkedPaths(macOS(), "18").size(), 5u);
}

TEST_F(PublicRuntimesTest, LinuxLayoutOrdersByTheStatedVersionAndTriesEachRuntimeOnce) {
  makePlainRuntimeHome(jvm + "/java-17-openjdk-amd64", "17.0.15");
  std::filesystem::create_directory_symlink("java-17-openjdk-amd64",
                                            jvm + "/java-1.17.0-openjdk-amd64");
  makePlainRuntimeHome(jvm + "/java-21-openjdk-amd64", "21.0.2");
  makePlainRuntimeHome(jvm + "/zulu-8-amd64", "1.8.0_392");  // sorts first by name
  makePlainRuntimeHome(jvm + "/temurin-11-jdk-amd64", "11.0.22");
  makeDirectories(jvm + "/openjdk-17");  // sources only: no runtime
  writeFile(jvm + "/openjdk-17/src.zip", "");
  writeFile(jvm + "/.java-1.17.0-openjdk-amd64.jinfo", "name=java-1.17.0-openjdk-amd64\n");

  EXPECT_EQ(choose(linux()), "java-21-openjdk-amd64");
  EXPECT_EQ(choose(linux(), std::nullopt, "17"), "java-17-openjdk-amd64");
  EXPECT_EQ(choose(linux(), std::nullopt, "11"), "temurin-11-jdk-amd64");
  EXPECT_EQ(choose(linux(), std::nullopt, "1.8"), "zulu-8-amd64");
  EXPECT_EQ(choose(linux(), "22"), std::nullopt);

  // Four runtimes, then the entries stating no version; the link to 17 is not tried again.
  const std::vector<std::string> expected = {jvm + "/java-21-openjdk-amd64",
                                             jvm + "/java-17-openjdk-amd64",
                                             jvm + "/temurin-11-jdk-amd64",
                                             jvm + "/zulu-8-amd64",
                                             jvm + "/openjdk-17",
                                             jvm + "/.java-1.17.0-openjdk-amd64.jinfo"};
  EXPECT_EQ(checkedPaths(linux(), "22"), expected);
}

TEST_F(PublicRuntimesTest, LinuxLayoutHoldsOneCandidateAtATimeWhileOrderingAndTrying) {
  // Ten refused runtimes with a large Info.plist each: a search that kept every candidate open
  // would hold all ten at once.
  constexpr size_t kPadding = 2 << 20;
  for (int major = 11; major < 21; ++major) {
    makeRuntimeBundle(jvm + "/jdk-" + std::to_string(major), std::to_string(major),
                      {{"Padding", str(std::string(kPadding, 'x'))}});
  }
  Launcher launcher = makeLauncher(linux());
  const size_t before = heapInUse;
  resetHeapPeak();
  launcher.findPublicJavaBundle(files, "99", std::nullopt, std::nullopt, false);
  const size_t peak = heapPeak - before;
  EXPECT_FALSE(launcher.javaBundle);
  // Reading one list takes a few copies of its text (the file, the parser's buffer, the value);
  // holding all ten candidates would take at least ten.
  EXPECT_LT(peak, 6 * kPadding) << peak;
}

TEST_F(PublicRuntimesTest, LinuxLayoutTakesTheLinkWhenTheTargetIsOutsideTheDirectory) {
  makePlainRuntimeHome(tmp / "elsewhere/jdk", "17.0.1");
  makeDirectories(jvm);
  std::filesystem::create_directory_symlink(tmp / "elsewhere/jdk", jvm + "/default-java");
  EXPECT_EQ(choose(linux()), "default-java");
}

TEST_F(PublicRuntimesTest, MissingOrUnlistablePublicDirectoryFindsNothing) {
  EXPECT_EQ(choose(macOS()), std::nullopt);
  EXPECT_EQ(choose(linux()), std::nullopt);
  writeFile(jvm, "not a directory");
  EXPECT_EQ(choose(macOS()), std::nullopt);
  EXPECT_EQ(choose(linux()), std::nullopt);
}

TEST_F(PublicRuntimesTest, OraclePluginIsChosenBeforeTheDirectory) {
  makeRuntimeBundle(jvm + "/jdk-17.0.1.jdk", "17.0.1");
  std::string plugin = makePlugin("com.oracle.java.JavaAppletPlugin", "Java 8 Update 311");
  EXPECT_EQ(choose(macOS(true)), plugin);
  EXPECT_TRUE(pluginUsed);
  EXPECT_EQ(std::string(launchJavaVersion), "1.8.311.11");
}

TEST_F(PublicRuntimesTest, PluginIsIdentifiedByEitherItsIdentifierOrItsInfoString) {
  makeRuntimeBundle(jvm + "/jdk-17.0.1.jdk", "17.0.1");
  struct Case {
    OptionalString identifier, info;
    bool tested;
  } cases[] = {
      {"com.oracle.java.JavaAppletPlugin", {}, true},
      {"com.oraclex", {}, true},
      {"org.other.plugin", "Java Plug-in by Oracle America", true},
      {{}, "Oracle", true},
      {"org.other.plugin", "Java Plug-in by oracle", false},
      {"COM.ORACLE.plugin", {}, false},
      {{}, {}, false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tmp / "plugin");
    std::string plugin = makePlugin(c.identifier, c.info);
    pluginUsed = false;
    EXPECT_EQ(choose(macOS(true)), c.tested ? OptionalString(plugin) : "jdk-17.0.1.jdk")
        << c.identifier.value_or("-") << " / " << c.info.value_or("-");
    EXPECT_EQ(pluginUsed, c.tested);
  }
}

TEST_F(PublicRuntimesTest, PluginWithoutJavaOrRefusedLeadsOnToTheDirectory) {
  makeRuntimeBundle(jvm + "/jdk-17.0.1.jdk", "17.0.1");
  makePlugin("com.oracle.java.JavaAppletPlugin", {}, false);
  EXPECT_EQ(choose(macOS(true)), "jdk-17.0.1.jdk");
  EXPECT_FALSE(pluginUsed);

  makePlugin("com.oracle.java.JavaAppletPlugin", {});
  EXPECT_EQ(choose(macOS(true), "11"), "jdk-17.0.1.jdk") << "1.8.0_311 is below 11";
  EXPECT_EQ(choose(macOS(true), {}, {}, "org.example"), "jdk-17.0.1.jdk")
      << "the prefix rule applies to the plug-in; the JDK has no identifier and passes it";
  EXPECT_FALSE(pluginUsed);
}

TEST_F(PublicRuntimesTest, LayoutWithoutPluginNeverLooksForOne) {
  makePlugin("com.oracle.java.JavaAppletPlugin", {});
  makeRuntimeBundle(jvm + "/jdk-11.jdk", "11");
  EXPECT_EQ(choose(macOS(false)), "jdk-11.jdk");
  EXPECT_FALSE(pluginUsed);
}

TEST_F(PublicRuntimesTest, DirectoryEntryMustNameTheRuntimeItself) {
  makeRuntimeBundle(jvm + "/jdk-11.jdk", "11.0.2");
  Launcher launcher = makeLauncher(macOS());

  launcher.findDirectoryJavaBundle(std::nullopt, files, {}, {}, {}, false);
  EXPECT_FALSE(launcher.javaBundlePath);

  launcher.findDirectoryJavaBundle(jvm, files, {}, {}, {}, false);
  EXPECT_FALSE(launcher.javaBundle) << "the directory of runtimes is not one";
  EXPECT_EQ(launcher.javaBundlePath, jvm) << "the tried path stays";

  launcher.findDirectoryJavaBundle(tmp / "missing", files, {}, {}, {}, false);
  EXPECT_FALSE(launcher.javaBundle);

  launcher.findDirectoryJavaBundle(jvm + "/jdk-11.jdk", files, "12", {}, {}, false);
  EXPECT_FALSE(launcher.javaBundle);

  launcher.findDirectoryJavaBundle(jvm + "/jdk-11.jdk", files, "11", {}, {}, false);
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_EQ(std::string(launchJavaVersion), "11.0.2");
  EXPECT_EQ(launcher.javaBundlePath, jvm + "/jdk-11.jdk");
}

TEST_F(PublicRuntimesTest, DirectoryEntryIsRecordedAsAnAbsolutePathWithVariablesReplaced) {
  makePlainRuntimeHome(tmp / "runtimes/jdk", "17.0.2");
  makeRuntimeBundle(app + "/Contents/PlugIns/rt", "11");
  {
    ScopedCurrentDirectory cwd(tmp / "runtimes");
    Launcher launcher = makeLauncher(linux());
    launcher.findDirectoryJavaBundle("jdk", files, {}, {}, {}, false);
    ASSERT_TRUE(launcher.javaBundle);
    EXPECT_EQ(launcher.javaBundlePath, tmp / "runtimes/jdk");

    forget(&launcher);
    launcher.findDirectoryJavaBundle("$APP_PACKAGE/Contents/PlugIns/rt", files, {}, {}, {}, false);
    ASSERT_TRUE(launcher.javaBundle);
    EXPECT_EQ(launcher.javaBundlePath, app + "/Contents/PlugIns/rt");

    forget(&launcher);
    launcher.findDirectoryJavaBundle("", files, {}, {}, {}, false);
    EXPECT_FALSE(launcher.javaBundle) << "the empty path names nothing, not the current directory";
  }
}

}  // namespace
