// qmk-bundle check as a user runs it: what it says a bundle's launch would be is what appstub
// then does, it names why a launch cannot start, and it changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/test_support.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

const std::string kJdk = QMK_JAVA_HOME;
const std::string kTool = QMK_BIN_DIR "/qmk-bundle";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every file below `root` with its kind, size, mode and modification time.
std::string treeListing(const std::string& root) {
  std::ostringstream out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const fs::file_status status = fs::symlink_status(e.path());
    out << e.path().string() << " " << static_cast<int>(status.type()) << " "
        << static_cast<unsigned>(status.permissions());
    if (!fs::is_symlink(status)) {
      out << " " << fs::last_write_time(e.path()).time_since_epoch().count();
      if (fs::is_regular_file(status)) out << " " << fs::file_size(e.path());
    }
    out << "\n";
  }
  return out.str();
}

class BundlerCheckTest : public ::testing::Test {
 protected:
  // A bundle around a copy of appstub, with `javaVM` as its JavaVM dictionary and `top` added
  // at the top level.
  std::string makeBundle(const std::string& name, std::map<std::string, plist::Value> javaVM,
                         std::map<std::string, plist::Value> top = {}) {
    top["CFBundleName"] = str(name);
    top["CFBundleExecutable"] = str(name);
    top["JavaVM"] = dict(std::move(javaVM));
    std::string bundle = makeAppBundle(tmp.path(), name + ".app", dict(std::move(top)));
    fs::copy_file(QMK_APPSTUB, bundle + "/Contents/MacOS/" + name);
    fs::permissions(bundle + "/Contents/MacOS/" + name, fs::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    writeFile(bundle + "/Contents/Java/app.jar", "not looked into");
    return bundle;
  }
  // A runtime whose launcher library is the recording test library.
  std::string makeFakeRuntime(const std::string& version) {
    const std::string runtime = tmp / "fake runtime";
    makePlainRuntimeHome(runtime, version);
    fs::create_symlink(QMK_FAKE_JLI, runtime + "/lib/libjli.so");
    return runtime;
  }
  RunResult check(const std::string& bundle, std::vector<std::string> extra = {},
                  const std::map<std::string, std::optional<std::string>>& env = {}) {
    std::vector<std::string> argv = {kTool, "check", bundle};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv, "", env);
  }
  // The launch vector of check --json, one entry a line, through a JSON parser of its own.
  std::string jsonVector(const std::string& json) {
    auto r = run({"/usr/bin/python3", "-c",
                  "import json,sys\nfor a in json.load(sys.stdin)['launchVector']: print('arg='+a)"},
                 json);
    EXPECT_EQ(r.status, 0) << r.err << json;
    return r.out;
  }
  TempDir tmp;
};

TEST_F(BundlerCheckTest, TheVectorItTellsIsTheOneAppstubHandsTheRuntime) {
  const std::string runtime = makeFakeRuntime("17.0.99");
  const std::string bundle = makeBundle(
      "Good App", {{"MainClass", str("a.Main")},
                   {"ClassPath", str("$APP_PACKAGE/Contents/Java/*")},
                   {"VMOptionArray", arr({"-Xmx64m", "-Dgreeting=hello world"})},
                   {"ArgumentArray", arr({"--pkg=$APP_PACKAGE"})},
                   {"SearchSequence", arr({"EQMK_NOT_SET_ANYWHERE", "R" + runtime})}});

  auto checked = check(bundle, {"--json"});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  const std::string record = tmp / "record";
  auto started = run({bundle + "/Contents/MacOS/Good App"}, "", {{"FAKE_JLI_RECORD", record}});
  ASSERT_EQ(started.status, 0) << started.err;
  std::string recorded;
  std::istringstream lines(readFile(record));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("arg=")) recorded += line + "\n";
  }
  EXPECT_EQ(jsonVector(checked.out), recorded);
  EXPECT_TRUE(contains(checked.out, "\"wouldStart\":true")) << checked.out;
  EXPECT_TRUE(contains(checked.out, "\"path\":\"$QMK_NOT_SET_ANYWHERE\"")) << checked.out;

  auto text = check(bundle);
  EXPECT_EQ(text.status, 0) << text.out;
  EXPECT_TRUE(contains(text.out, "runtime: " + runtime + " 17.0.99\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "working directory: " + bundle + "\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "\n  -Dgreeting=hello world\n")) << text.out;
  EXPECT_TRUE(contains(text.out, "the launch would start\n")) << text.out;
}

TEST_F(BundlerCheckTest, BundlesThatCannotStartSayWhyAndEndWithOne) {
  const std::string runtime = makeFakeRuntime("17.0.99");
  struct Case {
    const char* name;
    std::map<std::string, plist::Value> javaVM;
    std::map<std::string, plist::Value> top;
    std::vector<std::string> said;
  };
  const std::vector<Case> cases = {
      {"NoRuntime",
       {{"MainClass", str("a.Main")}, {"SearchSequence", arr({"R" + runtime, "R" + tmp / "none"})}},
       {{"qmk.minVersion", str("21")}},
       {runtime + " (17.0.99): refused, below qmk.minVersion 21", tmp / "none" + ": refused, nothing there",
        "runtime: none fits", "failure: no runtime fits"}},
      {"TooNew",
       {{"MainClass", str("a.Main")}, {"SearchSequence", arr({"R" + runtime})}},
       {{"qmk.maxVersion", str("11")}},
       {"refused, above qmk.maxVersion 11"}},
      {"Beta",
       {{"MainClass", str("a.Main")}, {"SearchSequence", arr({"R" + tmp / "beta"})}},
       {},
       {"(22-ea): refused, a pre-release, and qmk.allowBeta is off"}},
      {"NoMainClass",
       {{"SearchSequence", arr({"R" + runtime})}},
       {},
       {"runtime: " + runtime, "failure: the launch would stop:", "MainClass"}},
  };
  makePlainRuntimeHome(tmp / "beta", "22-ea");
  for (const Case& c : cases) {
    const std::string bundle = makeBundle(c.name, c.javaVM, c.top);
    auto r = check(bundle);
    EXPECT_EQ(r.status, 1) << c.name << r.out;
    for (const auto& part : c.said) EXPECT_TRUE(contains(r.out, part)) << c.name << ": " << part << "\n" << r.out;
    EXPECT_TRUE(contains(r.out, "the launch would not start\n")) << c.name << r.out;
  }
}

TEST_F(BundlerCheckTest, AMalformedInfoPlistIsReportedWithTheReadersReason) {
  const std::string bundle = makeBundle("Broken", {{"MainClass", str("a.Main")}});
  writeFile(bundle + "/Contents/Info.plist",
            "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "<key>CFBundleName</key><string>Broken</strin>\n</dict>\n</plist>\n");
  const std::string reason = plist::readFileWithReason(bundle + "/Contents/Info.plist").reason;
  ASSERT_FALSE(reason.empty());
  auto r = check(bundle);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "Info.plist: does not read: " + reason + "\n")) << r.out;
  auto json = check(bundle, {"--json"});
  EXPECT_EQ(json.status, 1);
  auto parsed = run({"/usr/bin/python3", "-c",
                     "import json,sys; d=json.load(sys.stdin); print(d['infoPlist']['reason'], d['wouldStart'])"},
                    json.out);
  EXPECT_EQ(parsed.out, reason + " False\n") << json.out << parsed.err;
}

TEST_F(BundlerCheckTest, ARefusedVmOptionIsNamedByTheRealRuntime) {
  const std::string bundle =
      makeBundle("Options", {{"MainClass", str("a.Main")},
                             {"VMOptionArray", arr({"-Xmx64m", "-XX:+QmkNoSuchOption"})},
                             {"SearchSequence", arr({"EQMK_TEST_JDK"})}});
  auto r = check(bundle, {}, {{"QMK_TEST_JDK", kJdk}});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "failure: the runtime refuses the VM option -XX:+QmkNoSuchOption: "))
      << r.out;
  EXPECT_FALSE(contains(r.out, "refuses the VM option -Xmx64m")) << r.out;
}

TEST_F(BundlerCheckTest, WarnsAboutWhatUsersGetWrong) {
  const std::string bundle = makeBundle(
      "Careless",
      {{"MainClass", str("a.Main")},
       {"ClassPath", str("$QMK_UNSET_LIBS:$APP_PACKAGE/Contents/Java/app.jar:/no/such.jar")},
       {"VMOptionArray", arr({"-Xmx1g -Xms256m", "-Dtext=a -b"})},
       {"SearchSequence", arr({"EQMK_TEST_JDK"})}},
      {{"JVMMainClassName", str("a.Main")}, {"Java", dict({})}});
  auto r = check(bundle, {}, {{"QMK_TEST_JDK", kJdk}});
  const char* warnings[] = {
      "names the variable QMK_UNSET_LIBS, which is not set",
      "class-path entry \"/no/such.jar\" exists nowhere",
      "VMOptionArray element \"-Xmx1g -Xms256m\" is handed over as one option",
      "keys of another launcher (Java, JVMMainClassName)",
      "for vexel.InternalError, AppleJavaMinVersionError",
  };
  for (const char* w : warnings) EXPECT_TRUE(contains(r.out, w)) << w << "\n" << r.out;
  EXPECT_FALSE(contains(r.out, "app.jar\" exists nowhere")) << r.out;
  EXPECT_FALSE(contains(r.out, "DownloadJreError")) << "an application, not an installer\n" << r.out;
}

TEST_F(BundlerCheckTest, SaysWhetherAStartupCacheWouldBeUsedAndPreparesNone) {
  const std::string bundle = makeBundle(
      "Cached", {{"MainClass", str("a.Main")},
                 {"ClassPath", str("$APP_PACKAGE/Contents/Java/app.jar")},
                 {"SearchSequence", arr({"EQMK_TEST_JDK"})}},
      {{"qmk.startupCache", plist::Value::boolean(true)}});
  const std::string cache = tmp / "cache";
  auto r = check(bundle, {}, {{"QMK_TEST_JDK", kJdk}, {"XDG_CACHE_HOME", cache}});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "startup cache: no archive yet: the next start records one in " +
                                  cache + "/"))
      << r.out;
  EXPECT_FALSE(fs::exists(cache)) << "check made the cache folder";
}

TEST_F(BundlerCheckTest, ALauncherThatIsALinkOrCannotBeRunIsNamed) {
  const std::string runtime = makeFakeRuntime("17.0.99");
  struct Case {
    const char* name;
    bool link;
    fs::perms mode;
    int status;
    const char* said;
  };
  const Case cases[] = {
      {"Linked", true, fs::perms::owner_all, 0, "warning: the launcher "},
      {"Stuck", false, fs::perms::owner_read | fs::perms::owner_write, 1,
       "is missing or not executable"},
  };
  for (const Case& c : cases) {
    const std::string bundle =
        makeBundle(c.name, {{"MainClass", str("a.Main")}, {"SearchSequence", arr({"R" + runtime})}});
    const std::string launcher = bundle + "/Contents/MacOS/" + c.name;
    if (c.link) {
      // A link to a copy inside the bundle itself, so the launcher still reads this bundle.
      fs::rename(launcher, bundle + "/Contents/MacOS/real");
      fs::create_symlink("real", launcher);
    }
    fs::permissions(launcher, c.mode);
    auto r = check(bundle);
    EXPECT_EQ(r.status, c.status) << c.name << r.out;
    EXPECT_TRUE(contains(r.out, c.said)) << c.name << r.out;
    if (c.link) {
      EXPECT_TRUE(contains(r.out, "is a symbolic link")) << r.out;
    }
  }
}

TEST_F(BundlerCheckTest, APackedShippedRuntimeIsReportedAndNothingChanges) {
  struct Case {
    const char* name;
    bool withTool;
    int status;
  };
  // Without unpack200 the launch would stop inside the search; check says so and goes on.
  const Case cases[] = {{"Packed", true, 0}, {"NoTool", false, 1}};
  for (const Case& c : cases) {
    const std::string bundle = makeBundle(c.name, {{"MainClass", str("a.Main")}});
    const std::string runtime = bundle + "/Contents/PlugIns/jre.bundle";
    const std::string home = runtime + "/Contents/Home";
    makeRuntimeBundle(runtime, "17.0.1");
    fs::create_symlink(QMK_FAKE_JLI, home + "/lib/libjli.so");
    writeFile(home + "/lib/rt.jar.pack", "packed");
    // An unpack200 that would leave a trace if it were run.
    if (c.withTool) writeFile(home + "/bin/unpack200", "#!/bin/sh\ntouch \"$0.ran\"\nexit 0\n", 0755);
    const std::string before = treeListing(tmp.path());

    auto r = check(bundle);
    EXPECT_EQ(r.status, c.status) << c.name << r.out;
    EXPECT_TRUE(contains(r.out, "the launch would expand: " + home + "/lib/rt.jar.pack\n"))
        << c.name << r.out;
    EXPECT_TRUE(contains(r.out, "runtime: " + runtime + " 17.0.1\n")) << c.name << r.out;
    EXPECT_EQ(contains(r.out, home + "/bin/unpack200, which cannot be run"), !c.withTool)
        << c.name << r.out;
    auto json = check(bundle, {"--json"});
    EXPECT_EQ(json.status, c.status) << c.name;
    EXPECT_EQ(treeListing(tmp.path()), before) << c.name;
  }
}

TEST_F(BundlerCheckTest, UsageErrorsEndWithTwo) {
  EXPECT_EQ(run({kTool, "check"}).status, 2);
  EXPECT_EQ(run({kTool, "check", tmp.path(), "--frobnicate"}).status, 2);
  EXPECT_EQ(run({kTool, "check", tmp.path(), tmp.path()}).status, 2);
  auto help = run({kTool, "check", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "usage: qmk-bundle check BUNDLE")) << help.out;
  EXPECT_EQ(run({kTool, "check", tmp / "missing.app"}).status, 1);
}

}  // namespace
