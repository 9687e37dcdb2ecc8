// Launch parameters from real bundles in temporary directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "launcher/Launcher.h"
#include "platform/environment.h"
#include "platform/file_manager.h"
#include "support/test_support.h"

using namespace testing_support;
using Options = std::vector<std::string>;
using platform::SystemLayout;

namespace {

struct Launch {
  Options options;
  OptionalString mainClass;
  Options args;
  bool firstThread = false;
};

class ParametersTest : public ::testing::Test {
 protected:
  void SetUp() override { makeDirectories(home); }

  std::unique_ptr<Launcher> launcherFor(const std::string& bundle,
                                        const SystemLayout& layout = SystemLayout::forLinux(),
                                        std::vector<std::string> args = {"prog"}) {
    return std::make_unique<Launcher>(makeContext(bundle, layout, std::move(args), home));
  }

  static Launch read(Launcher& launcher) {
    platform::FileManager fileManager;
    Launch l;
    l.options = {"stale"};  // the lists are built afresh
    l.args = {"stale"};
    launcher.readJavaParameters(fileManager, l.options, l.mainClass, l.args, &l.firstThread);
    return l;
  }

  // The options a bundle with this JavaVM dictionary adds before the fixed tail.
  Options leadingOptions(const plist::Value& javaVM,
                         const std::function<void(Launcher&)>& prepare = {}) {
    std::string bundle = makeAppBundle(dir.path(), "Foo.app", dict({{"JavaVM", javaVM}}));
    auto launcher = launcherFor(bundle);
    if (prepare) prepare(*launcher);
    Options options = read(*launcher).options;
    EXPECT_EQ(options.back(), "-Dqmk.ownBundlePath=" + bundle);
    options.pop_back();
    return options;
  }

  TempDir dir;
  std::string home = dir / "home";
  ScopedCurrentDirectory cwd{dir.path()};  // restored after each test
  ScopedEnv noLog{"QUILLMARK_LOG", std::nullopt};
};

plist::Value list(std::vector<plist::Value> items) { return plist::Value::array(std::move(items)); }

TEST_F(ParametersTest, EveryKeyAtOnceInStepOrder) {
  for (bool macOS : {true, false}) {
    TempDir root;
    ScopedCurrentDirectory back(dir.path());
    const std::string b = root / "Every.app";
    makeAppBundle(
        root.path(), "Every.app",
        dict({
            {"CFBundleName", str("Every")},
            {"CFBundleIconFile", str("every.icns")},
            {"qmk.allowPassthrough", plist::Value::boolean(true)},
            {"JavaVM",
             dict({
                 {"WorkingDirectory", str("$APP_PACKAGE/Contents")},
                 {"ClassPath", str("$APP_PACKAGE/Contents/Java/*")},
                 {"VMOptionArray",
                  arr({"-Xmx64m", "-include-options arr.vmoptions", "-Dapp=$APP_PACKAGE"})},
                 {"VersionSpecificVMOptions",
                  list({str("*1.8*"), arr({"-Dold"}), str("17-17"),
                        arr({"-Dv17", "-include-options $APP_PACKAGE/Contents/v17.vmoptions"}),
                        str("*17*"), arr({"-Dsecond"})})},
                 {"OptionsFile", str("extra.vmoptions")},  // relative to the working directory
                 {"SplashFile", str("$APP_PACKAGE/Contents/Resources/splash.png")},
                 {"ModulePath", str("$APP_PACKAGE/Contents/mods/*")},
                 {"ArgumentArray", arr({"--app", "$APP_PACKAGE"})},
                 {"MainClass", str("com.example.Main")},
                 {"StartOnMainThread", plist::Value::boolean(true)},
             })},
        }));
    writeFile(root / "Every.vmoptions",
              "-Down\r\n-classpath/p $APP_PACKAGE/Contents/first.jar\r\n");
    writeFile(root / "arr.vmoptions", "-Darr\n-classpath/a extra.jar");
    writeFile(b + "/Contents/v17.vmoptions", "-Dv17file");
    writeFile(b + "/Contents/extra.vmoptions", "-Dextra");
    writeFile(b + "/Contents/Java/a.jar", "");
    writeFile(b + "/Contents/Java/b.jar", "");
    writeFile(b + "/Contents/mods/m.jar", "");

    auto launcher = launcherFor(b, macOS ? SystemLayout::forMacOS() : SystemLayout::forLinux(),
                                {"prog", "-psn_0_42", "-Jx", "-Xfoo", "-psn_1", "$APP_PACKAGE"});
    launcher->javaVersion = "17.0.2";
    launcher->javaMajorVersion = 17;
    Launch l = read(*launcher);

    Options expected = {"-Xmx64m",
                        "-Darr",
                        "-Dapp=" + b,
                        "-Dv17",
                        "-Dv17file",
                        "-Down",
                        "-Dextra",
                        "-splash:" + b + "/Contents/Resources/splash.png",
                        "-Djava.class.path=" + b + "/Contents/first.jar:" + b +
                            "/Contents/Java/a.jar:" + b + "/Contents/Java/b.jar:extra.jar",
                        "-p",
                        b + "/Contents/mods/m.jar"};
    if (macOS) {
      expected.push_back("-Xdock:icon=" + b + "/Contents/Resources/every.icns");
      expected.push_back("-Xdock:name=Every");
    }
    expected.push_back("-Dqmk.ownBundlePath=" + b);
    expected.push_back("x");
    EXPECT_EQ(l.options, expected) << (macOS ? "macOS" : "Linux");
    EXPECT_EQ(l.mainClass, OptionalString("com.example.Main"));
    EXPECT_EQ(l.args, (Options{"--app", b, "-Xfoo", "-psn_1", "$APP_PACKAGE"}));
    EXPECT_TRUE(l.firstThread);
    EXPECT_EQ(platform::FileManager().currentDirectory(), b + "/Contents");
  }
}

TEST_F(ParametersTest, NoJavaVMDictionaryStillLaunches) {
  std::string b = makeAppBundle(dir.path(), "Foo.app", dict({{"CFBundleIconFile", str("i.icns")}}));
  writeFile(dir / "Foo.vmoptions", "-Down");
  auto launcher = launcherFor(b, SystemLayout::forMacOS(), {"prog", "a"});
  Launch l = read(*launcher);
  EXPECT_EQ(l.options, (Options{"-Down", "-Xdock:icon=" + b + "/Contents/Resources/i.icns",
                                "-Xdock:name=Foo", "-Dqmk.ownBundlePath=" + b}));
  EXPECT_EQ(l.mainClass, std::nullopt);
  EXPECT_EQ(l.args, Options{"a"});
  EXPECT_FALSE(l.firstThread);
  EXPECT_EQ(platform::FileManager().currentDirectory(), b);
}

struct VersionCase {
  const char* name;
  OptionalString version;
  int32_t major;
  plist::Value pairs;
  Options expected;
};

TEST_F(ParametersTest, VersionSpecificOptions) {
  const plist::Value A = arr({"-DA"}), B = arr({"-DB"});
  const VersionCase cases[] = {
      {"one element is ignored", "17", 17, list({str("*")}), {}},
      {"open upper bound reads as 0", "17", 17, list({str("9-"), A}), {}},
      {"11-11 matches 11", "11.0.2", 11, list({str("11-11"), A}), {"-DA"}},
      {"11-11 refuses 12", "12", 12, list({str("11-11"), A}), {}},
      {"1.8-11 has bounds 1 and 11", "1.8.0_311", 1, list({str("1.8-11"), A}), {"-DA"}},
      {"1.8-11 takes 8", "8", 8, list({str("1.8-11"), A}), {"-DA"}},
      {"1.8-11 refuses 12", "12", 12, list({str("1.8-11"), A}), {}},
      {"blanks before the digits are skipped", "11", 11, list({str(" 10 - 12x"), A}), {"-DA"}},
      {"star alone needs an empty version", "17", 17, list({str("*"), A}), {}},
      {"star alone matches the empty version", "", 0, list({str("*"), A}), {"-DA"}},
      {"wildcard over the whole version",
       "17.0.2",
       17,
       list({str("*17"), A, str("*17*"), B}),
       {"-DB"}},
      {"question mark is one character", "17.0.2", 17, list({str("*1?.0.?"), A}), {"-DA"}},
      {"question mark is not none", "17.0", 17, list({str("*17.0?"), A}), {}},
      {"matching is case-sensitive",
       "17-ea",
       17,
       list({str("*17-EA"), A, str("*17-ea"), B}),
       {"-DB"}},
      {"first of two matching pairs only",
       "17",
       17,
       list({str("*17"), A, str("17-17"), B}),
       {"-DA"}},
      {"malformed pattern is skipped",
       "17",
       17,
       list({str("1-2-3"), A, str("17"), A, str("0-99"), B}),
       {"-DB"}},
      {"five elements: two pairs, fifth ignored",
       "17",
       17,
       list({str("10-10"), A, str("17-17"), B, str("*")}),
       {"-DB"}},
      {"five elements: an odd last pattern never applies",
       "17",
       17,
       list({str("10-10"), A, str("11-11"), B, str("17-17")}),
       {}},
      {"no runtime: no wildcard matches", std::nullopt, -1, list({str("*"), A, str("**"), A}), {}},
      {"no runtime: a range must hold -1", std::nullopt, -1, list({str("0-99"), A}), {}},
      {"pattern of the wrong type is skipped",
       "17",
       17,
       list({plist::Value::integer(17), A, str("*17"), B}),
       {"-DB"}},
      {"options of the wrong type add nothing and end the search",
       "17",
       17,
       list({str("*17"), str("-DA"), str("*17"), B}),
       {}},
      {"elements of the wrong type inside the options are skipped",
       "17",
       17,
       list({str("*17"), list({plist::Value::integer(1), str("-DA")})}),
       {"-DA"}},
  };
  for (const auto& c : cases) {
    Options options =
        leadingOptions(dict({{"VersionSpecificVMOptions", c.pairs}}), [&](Launcher& l) {
          l.javaVersion = c.version;
          l.javaMajorVersion = c.major;
        });
    EXPECT_EQ(options, c.expected) << c.name;
  }
}

struct CommandLineCase {
  const char* name;
  plist::Value passthrough;
  std::vector<std::string> argv;
  Options passedOptions;
  Options args;
};

TEST_F(ParametersTest, CommandLineArguments) {
  const plist::Value on = plist::Value::boolean(true), off;
  const CommandLineCase cases[] = {
      {"-psn_ at position 1 is skipped", off, {"prog", "-psn_0_1", "a"}, {}, {"a"}},
      {"-psn_ later is an argument", off, {"prog", "a", "-psn_0_1"}, {}, {"a", "-psn_0_1"}},
      {"without passthrough -J stays an argument", off, {"prog", "-Jx"}, {}, {"-Jx"}},
      {"passthrough turns -J into options, -J alone an empty one",
       on,
       {"prog", "-psn_0_1", "-J-Xmx1g", "b", "-J"},
       {"-Xmx1g", ""},
       {"b"}},
      {"passthrough read as a string", str("YES"), {"prog", "-Jx"}, {"x"}, {}},
      {"passthrough of the wrong type is off", arr({"yes"}), {"prog", "-Jx"}, {}, {"-Jx"}},
      {"command-line arguments are not substituted",
       off,
       {"prog", "${launcher:sys.pathlistSeparator}"},
       {},
       {"${launcher:sys.pathlistSeparator}"}},
  };
  for (const auto& c : cases) {
    plist::Dictionary info{{"JavaVM", dict({{"ArgumentArray", arr({"first"})}})}};
    if (!c.passthrough.isNull()) info["qmk.allowPassthrough"] = c.passthrough;
    std::string b = makeAppBundle(dir.path(), "Foo.app", plist::Value::dictionary(info));
    auto launcher = launcherFor(b, SystemLayout::forLinux(), c.argv);
    Launch l = read(*launcher);
    Options expectedOptions{"-Dqmk.ownBundlePath=" + b};
    expectedOptions.insert(expectedOptions.end(), c.passedOptions.begin(), c.passedOptions.end());
    Options expectedArgs{"first"};
    expectedArgs.insert(expectedArgs.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(l.options, expectedOptions) << c.name;
    EXPECT_EQ(l.args, expectedArgs) << c.name;
  }
}

TEST_F(ParametersTest, OwnOptionsFileCutsThreeCharactersWhateverTheyAre) {
  const std::pair<const char*, const char*> cases[] = {
      {"Foo.app", "Foo.vmoptions"},
      {"Ünïcødé.app", "Ünïcødé.vmoptions"},  // cut by characters, not bytes
      {"Tool.bundle", "Tool.bunvmoptions"},
  };
  for (const auto& [bundleName, fileName] : cases) {
    std::string b = makeAppBundle(dir.path(), bundleName, dict({}));
    writeFile(dir / fileName, std::string("-Dfrom=") + fileName);
    auto launcher = launcherFor(b);
    EXPECT_EQ(read(*launcher).options.front(), std::string("-Dfrom=") + fileName) << bundleName;
  }
}

TEST_F(ParametersTest, BundleBelowAFolderNamedWithTilde) {
  std::string folder = dir / "~shared~";
  std::string b = makeAppBundle(
      folder, "Foo.app",
      dict({{"JavaVM",
             dict({
                 {"VMOptionArray", arr({"-include-options rel.vmoptions",
                                        "-include-options $APP_PACKAGE/Contents/in.vmoptions"})},
                 {"OptionsFile", str("$APP_PACKAGE/Contents/opt.vmoptions")},
             })}}));
  writeFile(folder + "/rel.vmoptions", "-Drel");
  writeFile(b + "/Contents/in.vmoptions", "-Din");
  writeFile(folder + "/Foo.vmoptions", "-Down\n-include-options sub/inc.vmoptions");
  writeFile(folder + "/sub/inc.vmoptions", "-Dinc");
  writeFile(b + "/Contents/opt.vmoptions", "-Dopt");
  auto launcher = launcherFor(b);
  EXPECT_EQ(read(*launcher).options,
            (Options{"-Drel", "-Din", "-Down", "-Dinc", "-Dopt", "-Dqmk.ownBundlePath=" + b}));
}

TEST_F(ParametersTest, EnvironmentValuesAreSeenByTheVariablesVisitedAfterThem) {
  // Variables are visited in bytewise order of their names: a value that refers to a variable
  // whose name sorts later is expanded, one that refers to an earlier name is not.
  ScopedEnv a("QMK_ORDER_A", "${QMK_ORDER_B}");
  ScopedEnv b("QMK_ORDER_B", "b");
  ScopedEnv c("QMK_ORDER_C", "${QMK_ORDER_A}");
  ScopedEnv upper("QMK_ORDER_Z", "${QMK_ORDER_a}");  // "Z" sorts before "a"
  ScopedEnv lower("QMK_ORDER_a", "low");
  auto launcher = launcherFor(makeAppBundle(dir.path(), "Foo.app", dict({})));
  const std::pair<const char*, const char*> cases[] = {
      {"${QMK_ORDER_A}", "b"},
      {"${QMK_ORDER_C}", "${QMK_ORDER_A}"},
      {"${QMK_ORDER_Z}", "low"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(launcher->replaceVariables(std::string(text)), OptionalString(expected)) << text;
  }
}

TEST_F(ParametersTest, IncludeElementsOfOptionArrays) {
  // A "~" that a variable brings in is the home directory too, wherever it stands.
  ScopedEnv tilde("QMK_PARAM_TILDE", "~/v.vmoptions");
  writeFile(home + "/v.vmoptions", "-Dvariable");
  writeFile(dir / "with blank.vmoptions", "-Dquoted");
  writeFile(home + "/h.vmoptions", "-Dhome");
  writeFile(dir / "Foo.app/Contents/c.vmoptions", "-Dpackage\n-classpath/a c.jar");
  writeFile(dir / "abs.vmoptions", "-Dabs");
  Options options = leadingOptions(dict({
      {"ClassPath", str("a.jar")},
      {"VMOptionArray",
       arr({"-include-options \"with blank.vmoptions\"", "-include-options ~/h.vmoptions",
            "-include-options $APP_PACKAGE/Contents/c.vmoptions",
            "-include-options " + dir.path() + "/abs.vmoptions",
            "-include-options missing.vmoptions", "-include-options ${QMK_PARAM_TILDE}",
            "-classpath b.jar", "  -Dnot-trimmed "})},
  }));
  EXPECT_EQ(options, (Options{"-Dquoted", "-Dhome", "-Dpackage", "-Dabs", "-Dvariable",
                              "-classpath b.jar",
                              "  -Dnot-trimmed ", "-Djava.class.path=a.jar:c.jar"}));
}

struct ClassPathCase {
  const char* name;
  plist::Value classPath;  // null: no ClassPath key
  std::string ownFile;
  Options expected;
};

TEST_F(ParametersTest, ClassPathOption) {
  ScopedEnv unset("QMK_PARAM_UNSET", std::nullopt);
  const ClassPathCase cases[] = {
      {"no class path, no option", {}, "", {}},
      {"prepend to an absent class path", {}, "-classpath/p x.jar", {"-Djava.class.path=x.jar"}},
      {"append to an absent class path", {}, "-classpath/a y.jar", {"-Djava.class.path=y.jar"}},
      {"expanding to nothing adds no option", str("$QMK_PARAM_UNSET"), "", {}},
      {"empty class path adds no option", str(""), "", {}},
      // Not substituted: split at its ":", and the piece "${launcher" is looked up as a variable.
      {"only $APP_PACKAGE is replaced in ClassPath",
       str("${launcher:sys.pathlistSeparator}x"),
       "",
       {"-Djava.class.path=sys.pathlistSeparator}x"}},
      {"-classpath in a file replaces it",
       str("a.jar"),
       "-classpath b.jar",
       {"-Djava.class.path=b.jar"}},
  };
  for (const auto& c : cases) {
    plist::Dictionary javaVM;
    if (!c.classPath.isNull()) javaVM["ClassPath"] = c.classPath;
    writeFile(dir / "Foo.vmoptions", c.ownFile);
    EXPECT_EQ(leadingOptions(plist::Value::dictionary(javaVM)), c.expected) << c.name;
  }
}

struct WrongTypeCase {
  const char* name;
  plist::Dictionary info;
  Options options;  // before the dock name
  OptionalString mainClass;
  Options args;
};

TEST_F(ParametersTest, ValuesOfTheWrongTypeCountAsAbsent) {
  const plist::Value number = plist::Value::integer(7);
  const WrongTypeCase cases[] = {
      {"JavaVM an array", {{"JavaVM", arr({"-Dx"})}}, {}, std::nullopt, {}},
      {"MainClass a number", {{"JavaVM", dict({{"MainClass", number}})}}, {}, std::nullopt, {}},
      {"VMOptionArray a dictionary",
       {{"JavaVM", dict({{"VMOptionArray", dict({{"a", str("-Dx")}})}})}},
       {},
       std::nullopt,
       {}},
      {"VMOptionArray elements of other types",
       {{"JavaVM", dict({{"VMOptionArray", list({number, str("-Dok"), arr({"-Dx"})})}})}},
       {"-Dok"},
       std::nullopt,
       {}},
      {"ClassPath an array",
       {{"JavaVM", dict({{"ClassPath", arr({"a.jar"})}})}},
       {},
       std::nullopt,
       {}},
      {"ArgumentArray a string",
       {{"JavaVM", dict({{"ArgumentArray", str("a")}})}},
       {},
       std::nullopt,
       {}},
      {"ArgumentArray elements of other types",
       {{"JavaVM", dict({{"ArgumentArray", list({number, str("a")})}})}},
       {},
       std::nullopt,
       {"a"}},
      {"SplashFile, OptionsFile, ModulePath, WorkingDirectory numbers",
       {{"JavaVM", dict({{"SplashFile", number},
                         {"OptionsFile", number},
                         {"ModulePath", number},
                         {"WorkingDirectory", number}})}},
       {},
       std::nullopt,
       {}},
      {"VersionSpecificVMOptions a string",
       {{"JavaVM", dict({{"VersionSpecificVMOptions", str("*")}})}},
       {},
       std::nullopt,
       {}},
      {"CFBundleName and CFBundleIconFile numbers",
       {{"CFBundleName", number}, {"CFBundleIconFile", number}},
       {},
       std::nullopt,
       {}},
  };
  for (const auto& c : cases) {
    std::string b = makeAppBundle(dir.path(), "Foo.app", plist::Value::dictionary(c.info));
    auto launcher = launcherFor(b, SystemLayout::forMacOS());
    Launch l = read(*launcher);
    Options expected = c.options;
    expected.push_back("-Xdock:name=Foo");
    expected.push_back("-Dqmk.ownBundlePath=" + b);
    EXPECT_EQ(l.options, expected) << c.name;
    EXPECT_EQ(l.mainClass, c.mainClass) << c.name;
    EXPECT_EQ(l.args, c.args) << c.name;
    EXPECT_EQ(platform::FileManager().currentDirectory(), b) << c.name;
  }
}

TEST_F(ParametersTest, LocaleSetsLangOnlyWhenAbsent) {
  writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
            plist::toXml(dict({{"AppleLocale", str("de_CH")}})));
  std::string b = makeAppBundle(dir.path(), "Foo.app", dict({}));
  {
    ScopedEnv lang("LANG", std::nullopt);
    read(*launcherFor(b));
    EXPECT_EQ(platform::environmentValue("LANG"), OptionalString("de_CH.UTF-8"));
  }
  {
    ScopedEnv lang("LANG", "C");
    read(*launcherFor(b));
    EXPECT_EQ(platform::environmentValue("LANG"), OptionalString("C"));
  }
  std::filesystem::remove(home + "/Library/Preferences/.GlobalPreferences.plist");
  {
    ScopedEnv lang("LANG", std::nullopt);
    read(*launcherFor(b));
    EXPECT_EQ(platform::environmentValue("LANG"), std::nullopt);
  }
}

TEST_F(ParametersTest, WorkingDirectory) {
  makeDirectories(dir / "elsewhere");
  const std::pair<plist::Value, std::string> cases[] = {
      {{}, dir / "Foo.app"},
      {str("$APP_PACKAGE/Contents"), dir / "Foo.app/Contents"},
      {str(dir / "elsewhere"), dir / "elsewhere"},
      {str(dir / "missing"), dir.path()},  // a failure leaves the directory as it was
  };
  for (const auto& [configured, expected] : cases) {
    ScopedCurrentDirectory start(dir.path());
    plist::Dictionary javaVM;
    if (!configured.isNull()) javaVM["WorkingDirectory"] = configured;
    leadingOptions(plist::Value::dictionary(javaVM));
    EXPECT_EQ(platform::FileManager().currentDirectory(), expected);
  }
}

TEST_F(ParametersTest, RecordedProcessSettingsLeaveTheProcessAlone) {
  writeFile(home + "/Library/Preferences/.GlobalPreferences.plist",
            plist::toXml(dict({{"AppleLocale", str("fr_FR")}})));
  std::string b =
      makeAppBundle(dir.path(), "Foo.app",
                    dict({{"JavaVM", dict({
                                         {"WorkingDirectory", str("$APP_PACKAGE/Contents")},
                                         {"OptionsFile", str("opts.vmoptions")},
                                         {"ClassPath", str("lib/*")},
                                     })}}));
  writeFile(b + "/Contents/opts.vmoptions", "-Dopts\n-include-options more.vmoptions");
  writeFile(b + "/Contents/more.vmoptions", "-Dmore");
  writeFile(b + "/Contents/lib/a.jar", "");
  ScopedEnv lang("LANG", std::nullopt);
  LaunchContext context = makeContext(b, SystemLayout::forLinux(), {"prog"}, home);
  context.applyProcessSettings = false;
  Launcher launcher(std::move(context));
  Launch l = read(launcher);

  EXPECT_EQ(platform::FileManager().currentDirectory(), dir.path());
  EXPECT_EQ(platform::environmentValue("LANG"), std::nullopt);
  EXPECT_EQ(launcher.processSettings().workingDirectory, OptionalString(b + "/Contents"));
  EXPECT_EQ(launcher.processSettings().lang, OptionalString("fr_FR.UTF-8"));
  // Relative paths are read where the child will run, and handed on as written.
  EXPECT_EQ(l.options, (Options{"-Dopts", "-Dmore", "-Djava.class.path=lib/a.jar",
                                "-Dqmk.ownBundlePath=" + b}));

  ScopedEnv presetLang("LANG", "C");
  LaunchContext again = makeContext(b, SystemLayout::forLinux(), {"prog"}, home);
  again.applyProcessSettings = false;
  Launcher second(std::move(again));
  read(second);
  EXPECT_EQ(second.processSettings().lang, std::nullopt);
}

}  // namespace
