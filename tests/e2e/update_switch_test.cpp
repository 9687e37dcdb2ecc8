// The switch to a staged update at start, through appstub as users start it: the test runtime
// library records what each start hands over (which version, from which launcher, with which
// arguments), and the bundle folder is compared with the versions it was made from. The whole
// road with the real JDK is at the end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "launcher/update_state.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

using InfoChange = std::function<void(plist::Dictionary& info, plist::Dictionary& javaVM)>;
using TreeChange = std::function<void(const std::string& bundle)>;

// What makes a folder one version rather than another: every entry with its kind, permissions
// and content (a digest of it) or link target.
std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::file_status status = it->symlink_status();
    std::string what = std::to_string(static_cast<int>(status.permissions())) + " ";
    if (fs::is_symlink(status)) {
      what += "link " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      what += "folder";
    } else {
      what += "file " + std::to_string(std::hash<std::string>()(readFile(it->path())));
    }
    tree[fs::relative(it->path(), root).string()] = what;
  }
  return tree;
}

std::set<std::string> entriesOf(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

// What one start handed to the runtime library, from its record.
struct Handover {
  bool happened = false;
  std::string program;  // entry 0 of the launch vector
  std::string version;  // the -Dapp.version the bundle's options carry
  std::vector<std::string> arguments;  // after the main class
};

Handover handoverOf(const std::string& record) {
  Handover h;
  if (!fs::exists(record)) return h;
  bool afterMain = false;
  std::string text = readFile(record);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.rfind("launch ", 0) == 0) h.happened = true;
    if (line.rfind("arg=", 0) != 0) continue;
    std::string arg = line.substr(4);
    if (h.program.empty()) {
      h.program = arg;
    } else if (afterMain) {
      h.arguments.push_back(arg);
    } else if (arg == "app.Main") {
      afterMain = true;
    } else if (arg.rfind("-Dapp.version=", 0) == 0) {
      h.version = arg.substr(14);
    }
  }
  return h;
}

// A call of the kill library: its name and which call of it (from 1) ends the program.
struct KillPoint {
  const char* call;
  int nth;
};

class UpdateSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime = tmp / "runtime";
    makePlainRuntimeHome(runtime, "17.0.9");
    fs::create_symlink(QMK_FAKE_JLI, runtime + "/lib/libjli.so");
    apps = tmp / "Apps";
    makeDirectories(apps);
    bundle = apps + "/Tool.app";
    stateDir = tmp / "state/quillmark/org.example.tool";
  }

  // A version of the application, made once in its own folder: the source the installed and
  // staged copies are compared with.
  std::string makeVersion(const std::string& version, const InfoChange& changeInfo = {},
                          const TreeChange& changeTree = {}) {
    plist::Dictionary javaVM = {{"MainClass", str("app.Main")},
                                {"ClassPath", str("$APP_PACKAGE/Contents/Java/app.jar")},
                                {"VMOptionArray", arr({"-Dapp.version=" + version})},
                                {"SearchSequence", arr({"R" + runtime})}};
    plist::Dictionary info = {{"CFBundleIdentifier", str("org.example.tool")},
                              {"CFBundleName", str("Tool")},
                              {"CFBundleExecutable", str("Tool")},
                              {"CFBundleShortVersionString", str(version)},
                              {"qmk.updateURL", str("http://127.0.0.1:9/update.json")},
                              {"qmk.updateKey", str("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")}};
    if (changeInfo) changeInfo(info, javaVM);
    info["JavaVM"] = plist::Value::dictionary(javaVM);
    const std::string source = tmp / ("src/" + std::to_string(++made_));
    makeDirectories(source);
    const std::string path = makeAppBundle(source, "Tool.app", plist::Value::dictionary(info));
    const std::string program =
        path + "/Contents/MacOS/" + info["CFBundleExecutable"].stringValue().value_or("Tool");
    fs::copy_file(QMK_APPSTUB, program);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
    writeFile(path + "/Contents/Java/app.jar", "the classes of version " + version);
    writeFile(path + "/Contents/Resources/marker.txt", version);
    for (const char* doc : {"a", "b", "c", "d"}) {
      writeFile(path + "/Contents/Resources/docs/" + doc + ".txt", version + doc);
    }
    if (changeTree) changeTree(path);
    return path;
  }

  void place(const std::string& source, const std::string& name) {
    fs::remove_all(apps + "/" + name);
    fs::copy(source, apps + "/" + name, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }
  void install(const std::string& source) { place(source, "Tool.app"); }
  void stage(const std::string& source) { place(source, ".Tool.app.update"); }
  void keepAsPrevious(const std::string& source) { place(source, ".Tool.app.previous"); }

  RunResult start(const std::vector<std::string>& args = {},
                  std::map<std::string, std::optional<std::string>> env = {},
                  const std::string& program = "Tool", const std::string& record = "") {
    const std::string file = record.empty() ? recordFile : record;
    fs::remove(file);
    std::vector<std::string> argv = {bundle + "/Contents/MacOS/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    env["FAKE_JLI_RECORD"] = file;
    env["XDG_STATE_HOME"] = tmp / "state";
    return run(argv, "", env);
  }

  Handover handover() const { return handoverOf(recordFile); }

  std::vector<std::string> badVersions() const {
    return qmk::update::readState(stateDir).badVersions;
  }

  // The folder holds the bundle as `installed` and, when given, the previous version as
  // `previous`, and nothing else.
  void expectFolder(const std::string& installed, const std::optional<std::string>& previous,
                    const std::string& what) {
    EXPECT_EQ(treeOf(bundle), treeOf(installed)) << what;
    if (previous) {
      EXPECT_EQ(treeOf(apps + "/.Tool.app.previous"), treeOf(*previous)) << what;
      EXPECT_EQ(entriesOf(apps), (std::set<std::string>{"Tool.app", ".Tool.app.previous"})) << what;
    } else {
      EXPECT_EQ(entriesOf(apps), std::set<std::string>{"Tool.app"}) << what;
    }
  }

  void reset() {
    fs::remove_all(apps);
    fs::remove_all(tmp / "state");
    makeDirectories(apps);
  }

  // A start with the kill library preloaded, counting from nothing.
  RunResult startKilledAt(const KillPoint& point) {
    fs::remove(tmp / "counter");
    return start({"first"}, {{"LD_PRELOAD", QMK_KILL_AT},
                             {"KILL_AT_CALL", point.call},
                             {"KILL_AT_NTH", std::to_string(point.nth)},
                             {"KILL_AT_COUNTER", tmp / "counter"}});
  }

  // Records a check made just now, so that a start leaves no checker behind: one would share
  // the preloaded kill counter of the crash tests and could take the counted call.
  void checkedJustNow() {
    fs::create_directories(stateDir);
    writeFile(stateDir + "/state.plist",
              plist::toXml(plist::Value::dictionary(
                  {{"lastCheck", plist::Value::integer(static_cast<int64_t>(::time(nullptr)))}})));
  }

  TempDir tmp;
  std::string runtime, apps, bundle, stateDir;
  std::string recordFile = tmp / "record";

 private:
  int made_ = 0;
};

TEST_F(UpdateSwitchTest, AStartSwitchesToTheStagedVersionWithTheSameArgumentsAndKeepsThePrevious) {
  const std::string v1 = makeVersion("1.4");
  const std::string v0 = makeVersion("1.3");
  // The new version names another launcher: the one its own Info.plist names is started.
  const std::string v2 = makeVersion("1.10", [](auto& info, auto&) {
    info["CFBundleExecutable"] = str("Tool2");
  });
  install(v1);
  keepAsPrevious(v0);
  stage(v2);

  RunResult r = start({"a b", "", "--last"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Handover h = handover();
  EXPECT_EQ(h.version, "1.10");
  EXPECT_EQ(h.program, bundle + "/Contents/MacOS/Tool2");
  EXPECT_EQ(h.arguments, (std::vector<std::string>{"a b", "", "--last"}));
  expectFolder(v2, v1, "after the switch");

  r = start({"again"}, {}, "Tool2");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(handover().version, "1.10");
  expectFolder(v2, v1, "on the next start");
  EXPECT_TRUE(badVersions().empty());
}

TEST_F(UpdateSwitchTest, EightStartsAtTheSameMomentSwitchOnce) {
  const std::string v1 = makeVersion("1");
  const std::string v2 = makeVersion("2");
  install(v1);
  stage(v2);
  std::vector<RunResult> results(8);
  std::vector<std::thread> starts;
  for (size_t i = 0; i < results.size(); i++) {
    starts.emplace_back([&, i] {
      results[i] = start({"n" + std::to_string(i)}, {{"QUILLMARK_LOG", "yes"}}, "Tool",
                         tmp / ("record" + std::to_string(i)));
    });
  }
  for (auto& t : starts) t.join();
  int switches = 0;
  for (size_t i = 0; i < results.size(); i++) {
    EXPECT_EQ(results[i].status, 0) << results[i].err;
    Handover h = handoverOf(tmp / ("record" + std::to_string(i)));
    // A start that got past its look for a staged version before the switch began runs the
    // version it started as; those that waited for the switch run the new one.
    EXPECT_TRUE(h.version == "2" || h.version == "1") << i << ": " << h.version;
    EXPECT_EQ(h.arguments, std::vector<std::string>{"n" + std::to_string(i)});
    for (size_t at = 0; (at = results[i].err.find("] switched ", at)) != std::string::npos; at++) {
      switches++;
    }
  }
  EXPECT_EQ(switches, 1);
  expectFolder(v2, v1, "after the starts");
}

TEST_F(UpdateSwitchTest, ANewVersionThatCannotStartIsSwitchedBackMarkedBadAndThePreviousRuns) {
  const std::string v1 = makeVersion("1.0");
  struct Case {
    std::string name;
    InfoChange info;
    TreeChange tree;
  };
  const std::vector<Case> cases = {
      {"no runtime fits", [](auto& info, auto&) { info["qmk.minVersion"] = str("99"); }, {}},
      {"no main class", [](auto&, auto& javaVM) { javaVM.erase("MainClass"); }, {}},
      {"launcher missing", {}, [](const std::string& b) { fs::remove(b + "/Contents/MacOS/Tool"); }},
      {"launcher not executable", {},
       [](const std::string& b) {
         fs::permissions(b + "/Contents/MacOS/Tool", fs::perms::owner_read | fs::perms::owner_write);
       }},
      {"launcher not a program", {},
       [](const std::string& b) { writeFile(b + "/Contents/MacOS/Tool", "", 0755); }},
      {"Info.plist unreadable", {},
       [](const std::string& b) { writeFile(b + "/Contents/Info.plist", "<plist><dict>"); }},
      {"another application",
       [](auto& info, auto&) { info["CFBundleIdentifier"] = str("org.example.other"); }, {}},
  };
  for (const Case& c : cases) {
    reset();
    const std::string v2 = makeVersion("2.0", c.info, c.tree);
    install(v1);
    stage(v2);
    RunResult r = start({"x y"});
    EXPECT_EQ(r.status, 0) << c.name << "\n" << r.err;
    Handover h = handover();
    EXPECT_EQ(h.version, "1.0") << c.name;
    EXPECT_EQ(h.arguments, std::vector<std::string>{"x y"}) << c.name;
    expectFolder(v1, std::nullopt, c.name);
    if (c.name == "Info.plist unreadable" || c.name == "another application") {
      // Removed, but no version of this application is held against it.
      EXPECT_NE(r.err.find("is not used"), std::string::npos) << r.err;
      EXPECT_TRUE(badVersions().empty()) << c.name;
      continue;
    }
    // One always-on line says what happened; the version is never tried again.
    EXPECT_NE(r.err.find("version 2.0"), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(badVersions(), std::vector<std::string>{"2.0"}) << c.name;
    // The checker reads the same file: an XML property list with the array of strings.
    const std::string state = readFile(stateDir + "/state.plist");
    EXPECT_NE(state.find("<key>badVersions</key>"), std::string::npos) << state;
    EXPECT_NE(state.find("<string>2.0</string>"), std::string::npos) << state;
    stage(v2);
    r = start();
    EXPECT_EQ(handover().version, "1.0") << c.name;
    EXPECT_NE(r.err.find("not used"), std::string::npos) << c.name << "\n" << r.err;
    expectFolder(v1, std::nullopt, c.name + ", staged again");
  }
}

TEST_F(UpdateSwitchTest, AFolderTheUserCannotWriteLeavesTheStagedVersionAlone) {
  const std::string v1 = makeVersion("1");
  const std::string v2 = makeVersion("2");
  install(v1);
  stage(v2);
  std::vector<std::string> as;
  if (geteuid() == 0) {
    // As root every folder is writable: start as an ordinary user, as a package install is.
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    makeDirectories(tmp / "records");
    fs::permissions(tmp / "records", fs::perms::all);
    recordFile = tmp / "records/record";
    as = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else {
    fs::permissions(apps, fs::perms::owner_read | fs::perms::owner_exec);
  }
  std::vector<std::string> argv = as;
  argv.push_back(bundle + "/Contents/MacOS/Tool");
  RunResult r = run(argv, "",
                    {{"FAKE_JLI_RECORD", recordFile},
                     {"XDG_STATE_HOME", tmp / "state"},
                     {"QUILLMARK_LOG", "yes"}});
  fs::permissions(apps, fs::perms::owner_all);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(handover().version, "1");
  EXPECT_NE(r.err.find("updates are left to the package manager"), std::string::npos) << r.err;
  EXPECT_EQ(treeOf(bundle), treeOf(v1));
  EXPECT_EQ(treeOf(apps + "/.Tool.app.update"), treeOf(v2));
  EXPECT_EQ(entriesOf(apps), (std::set<std::string>{"Tool.app", ".Tool.app.update"}));
  EXPECT_FALSE(fs::exists(tmp / "state"));
}

TEST_F(UpdateSwitchTest, ABundleWithoutTheUpdateKeysNeverSwitches) {
  const std::string v1 = makeVersion("1", [](auto& info, auto&) { info.erase("qmk.updateKey"); });
  const std::string v2 = makeVersion("2");
  install(v1);
  stage(v2);
  RunResult r = start();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(handover().version, "1");
  EXPECT_EQ(entriesOf(apps), (std::set<std::string>{"Tool.app", ".Tool.app.update"}));
}

// The file-system calls of a start, one per line without their results' addresses: strace's
// own view of what the launcher asked the kernel for.
std::vector<std::string> systemCalls(const RunResult& traced) {
  std::vector<std::string> calls;
  size_t start = 0;
  const std::string& text = traced.err;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.empty() || line.find('(') == std::string::npos) continue;
    // Addresses differ from run to run.
    std::string normal;
    for (size_t i = 0; i < line.size(); i++) {
      if (line.compare(i, 2, "0x") == 0) {
        normal += "0x";
        for (i += 2; i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])); i++) {
        }
        i--;
      } else {
        normal += line[i];
      }
    }
    calls.push_back(normal);
  }
  return calls;
}

TEST_F(UpdateSwitchTest, AStartThatFindsNothingStagedCostsOneFailedStatAndNoKeysCostNothing) {
  if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
  auto trace = [&](const std::string& source) {
    install(source);
    return systemCalls(run({"/usr/bin/strace", "-qq", "-e", "trace=%file,%desc,%process",
                            "-e", "signal=none", bundle + "/Contents/MacOS/Tool"},
                           "",
                           {{"FAKE_JLI_RECORD", std::nullopt}, {"XDG_STATE_HOME", tmp / "state"}}));
  };
  // Both lists are the same size, so that the property lists are read alike.
  const std::vector<std::string> without = trace(makeVersion("1", [](auto& info, auto&) {
    info.erase("qmk.updateKey");
    info["qmk.updateKeX"] = str("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  }));
  // The update checker looked just now, so the start only finds that out from the state file.
  const std::string state = stateDir;
  checkedJustNow();
  std::vector<std::string> with = trace(makeVersion("1"));
  const std::string staged = apps + "/.Tool.app.update";
  std::vector<std::string> extra, interval;
  for (auto it = with.begin(); it != with.end();) {
    if (it->find(state + "/state.plist") != std::string::npos) {
      interval.push_back(*it);
      it = with.erase(it);
    } else if (it->find(staged) != std::string::npos) {
      extra.push_back(*it);
      it = with.erase(it);
    } else {
      ++it;
    }
  }
  ASSERT_EQ(interval.size(), 1u) << testing::PrintToString(interval);
  EXPECT_NE(interval[0].find("stat"), std::string::npos) << interval[0];
  ASSERT_EQ(extra.size(), 1u) << testing::PrintToString(extra);
  EXPECT_NE(extra[0].find("stat"), std::string::npos) << extra[0];
  EXPECT_NE(extra[0].find("ENOENT"), std::string::npos) << extra[0];
  size_t same = 0;
  while (same < with.size() && same < without.size() && with[same] == without[same]) same++;
  EXPECT_EQ(with.size(), without.size());
  EXPECT_EQ(same, with.size()) << "first difference:\n"
                               << (same < with.size() ? with[same] : "(end)") << "\n"
                               << (same < without.size() ? without[same] : "(end)");
}

// Where a start can be killed while switching, named by the call it is killed at (the call is
// not made): cleaning a leftover trash folder, putting the older previous version away, the
// exchange, the re-execution, and the first start of the new version putting the replaced one
// away as the previous.
TEST_F(UpdateSwitchTest, AStartKilledAtAnyStepOfASwitchLeavesAWholeVersionForTheNext) {
  const std::string v0 = makeVersion("0.9");
  const std::string v1 = makeVersion("1.0");
  const std::string v2 = makeVersion("2.0");
  const std::vector<KillPoint> points = {
      {"unlinkat", 1},  {"renameat", 1}, {"unlinkat", 3},  {"unlinkat", 7},
      {"unlinkat", 21}, {"renameat2", 1}, {"execv", 1},    {"unlinkat", 22},
      {"renameat", 2},  {"renameat", 3},
  };
  for (const KillPoint& point : points) {
    const std::string what = std::string(point.call) + " #" + std::to_string(point.nth);
    reset();
    checkedJustNow();
    install(v1);
    keepAsPrevious(v0);
    stage(v2);
    RunResult killed = startKilledAt(point);
    EXPECT_EQ(killed.status, 128 + 9) << what << "\n" << killed.err;
    RunResult next = start({"second"});
    EXPECT_EQ(next.status, 0) << what << "\n" << next.err;
    EXPECT_EQ(handover().version, "2.0") << what;
    EXPECT_EQ(handover().arguments, std::vector<std::string>{"second"}) << what;
    expectFolder(v2, v1, what);
  }
}

TEST_F(UpdateSwitchTest, AStartKilledWhileSwitchingBackLeavesAWholeVersionForTheNext) {
  const std::string v1 = makeVersion("1.0");
  const std::string v2 = makeVersion("2.0", [](auto& info, auto&) {
    info["qmk.minVersion"] = str("99");
  });
  // Counted over the switching start and the new version's start it re-executes: the state
  // written, the exchange back, the bad version removed, the previous version re-executed.
  const std::vector<KillPoint> points = {
      {"renameat2", 1}, {"execv", 1}, {"rename", 1},    {"renameat2", 2},
      {"unlinkat", 3},  {"unlinkat", 8}, {"execv", 2},
  };
  for (const KillPoint& point : points) {
    const std::string what = std::string(point.call) + " #" + std::to_string(point.nth);
    reset();
    checkedJustNow();
    install(v1);
    stage(v2);
    RunResult killed = startKilledAt(point);
    EXPECT_EQ(killed.status, 128 + 9) << what << "\n" << killed.err;
    RunResult next = start({"second"});
    EXPECT_EQ(next.status, 0) << what << "\n" << next.err;
    EXPECT_EQ(handover().version, "1.0") << what << "\n" << next.err;
    expectFolder(v1, std::nullopt, what);
  }
}

// The whole road with the real runtime: the application sees the new version's files and
// configuration, the arguments it was started with, and nothing of the switch.
TEST_F(UpdateSwitchTest, TheRealRuntimeRunsTheNewVersionAfterASwitch) {
  auto realVersion = [&](const std::string& version) {
    return makeVersion(
        version,
        [&](auto&, auto& javaVM) {
          javaVM["MainClass"] = str("Probe");
          javaVM["ClassPath"] = str("$APP_PACKAGE/Contents/Java/probe.jar");
          javaVM["SearchSequence"] = arr({"R" QMK_JAVA_HOME});
          javaVM["VMOptionArray"] =
              arr({"-Dapp.version=" + version, "-Dprobe.props=app.version,qmk.ownBundlePath"});
        },
        [&](const std::string& b) {
          fs::remove(b + "/Contents/Java/app.jar");
          auto jar = run({QMK_JAVA_HOME "/bin/jar", "--create", "--file",
                          b + "/Contents/Java/probe.jar", "-C", QMK_JAVA_CLASSES, "Probe.class"});
          ASSERT_EQ(jar.status, 0) << jar.err;
        });
  };
  const std::string v1 = realVersion("1");
  const std::string v2 = realVersion("2");
  install(v1);
  stage(v2);
  RunResult r = start({"hello world", "exit=3"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("arg[0]=hello world\narg[1]=exit=3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("prop:app.version=2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("prop:java.class.path=" + bundle + "/Contents/Java/probe.jar\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("env:QMK_"), std::string::npos) << r.out;
  expectFolder(v2, v1, "after the switch");
}

}  // namespace
