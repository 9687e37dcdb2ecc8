// VM options files read from real files in temporary directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "launcher/Launcher.h"
#include "launcher/option_paths.h"
#include "launcher/text.h"
#include "support/test_support.h"

using namespace testing_support;
using Options = std::vector<std::string>;

namespace {

class OptionsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirectories(home);
    bundle = makeAppBundle(dir / "Apps", "Foo.app", dict({}));
    launcher = std::make_unique<Launcher>(
        makeContext(bundle, platform::SystemLayout::forLinux(), {"prog"}, home));
  }

  // "@D" stands for the temporary directory, "@H" for the home directory.
  std::string expand(const std::string& text) const {
    return qmk::replaceAll(qmk::replaceAll(text, "@D", dir.path()), "@H", home);
  }

  struct Result {
    Options options;
    OptionalString classPath;
  };
  Result read(const OptionalString& path, const OptionalString& classPath = std::nullopt) {
    Result r;
    r.classPath = launcher->readOptionsFile(path, r.options, classPath, bundle);
    return r;
  }

  TempDir dir;
  std::string home = dir / "home";
  std::string bundle;
  std::unique_ptr<Launcher> launcher;
};

struct LineCase {
  const char* name;
  std::string content;
  OptionalString classPathBefore;
  Options options;
  OptionalString classPath;
};

TEST_F(OptionsFileTest, LineKinds) {
  using namespace std::string_literals;
  ScopedEnv var("QMK_OPT_VAR", "v");
  const LineCase cases[] = {
      {"a NUL ends its line, before trimming and before the kind is told",
       "-Dx=a\0b c\n-Dz \0tail\n-classpath a.jar\0:b.jar\n-Dy"s,
       std::nullopt,
       {"-Dx=a", "-Dz", "-Dy"},
       "a.jar"},
      {"LF lines", "-Xmx1g\n-Dx=1\n", std::nullopt, {"-Xmx1g", "-Dx=1"}, std::nullopt},
      {"CRLF lines equal LF lines",
       "-Xmx1g\r\n-Dx=1\r\n",
       std::nullopt,
       {"-Xmx1g", "-Dx=1"},
       std::nullopt},
      {"CR alone ends a line", "-Xmx1g\r-Dx=1", std::nullopt, {"-Xmx1g", "-Dx=1"}, std::nullopt},
      {"indented comment", "  \t# -Dno=1\n-Dyes=1", std::nullopt, {"-Dyes=1"}, std::nullopt},
      {"hash inside a line is text", "-Dx=a#b", std::nullopt, {"-Dx=a#b"}, std::nullopt},
      {"inner blanks and quotes stay",
       "-Dname=a b\n-Dq=\"c d\"",
       std::nullopt,
       {"-Dname=a b", "-Dq=\"c d\""},
       std::nullopt},
      {"tab and Unicode space separators are trimmed",
       "\u3000\t-Dz=1\u00a0 \u2003",
       std::nullopt,
       {"-Dz=1"},
       std::nullopt},
      {"exact -classpath is an option",
       "-classpath\n-classpath \t",
       "keep",
       {"-classpath", "-classpath"},
       "keep"},
      {"exact -include-options is an option",
       "-include-options",
       std::nullopt,
       {"-include-options"},
       std::nullopt},
      {"class path keeps leading blanks after the prefix",
       "-classpath   lib/a.jar",
       std::nullopt,
       {},
       "  lib/a.jar"},
      {"a later -classpath replaces prepends and appends",
       "-classpath a\n-classpath/p p\n-classpath/a q\n-classpath c",
       std::nullopt,
       {},
       "c"},
      {"prepend then append",
       "-classpath/p x.jar\n-classpath/a y.jar",
       "lib/a.jar",
       {},
       "x.jar:lib/a.jar:y.jar"},
      {"prepend to a present empty class path", "-classpath/p x.jar", "", {}, "x.jar:"},
      {"append to a present empty class path", "-classpath/a x.jar", "", {}, ":x.jar"},
      {"prepend to an absent class path gives the entry alone",
       "-classpath/p x.jar",
       std::nullopt,
       {},
       "x.jar"},
      {"append to an absent class path gives the entry alone",
       "-classpath/a y.jar\n-classpath/a z.jar",
       std::nullopt,
       {},
       "y.jar:z.jar"},
      {"variables in every kind of line",
       "-Dp=$APP_PACKAGE\n-Dv=${QMK_OPT_VAR}\n-classpath ${QMK_OPT_VAR}.jar:$APP_PACKAGE/lib/*",
       std::nullopt,
       {"-Dp=" + bundle, "-Dv=v"},
       "v.jar:" + bundle + "/lib/*"},
      {"tilde outside includes is text",
       "-Dt=~/x\n-classpath ~/lib",
       std::nullopt,
       {"-Dt=~/x"},
       "~/lib"},
      {"a megabyte line is one option",
       "-D" + std::string(1 << 20, 'x'),
       std::nullopt,
       {"-D" + std::string(1 << 20, 'x')},
       std::nullopt},
      {"not UTF-8 adds nothing", "-Dx=1\n\xff\xfe", "keep", {}, "keep"},
  };
  for (const auto& c : cases) {
    writeFile(dir / "case.vmoptions", c.content);
    Result r = read(dir / "case.vmoptions", c.classPathBefore);
    EXPECT_EQ(r.options, c.options) << c.name;
    EXPECT_EQ(r.classPath, c.classPath) << c.name;
  }
}

struct IncludeCase {
  const char* name;
  std::map<std::string, std::string> files;  // below the temporary directory
  Options options;
  OptionalString classPath;
};

TEST_F(OptionsFileTest, Includes) {
  ScopedEnv var("QMK_OPT_DIR", dir / "sub");
  ScopedEnv leading("QMK_OPT_HOME", "~/t");
  ScopedEnv inner("QMK_OPT_INNER", "a~b");
  const IncludeCase cases[] = {
      {"included options stand where the line stands",
       {{"main", "-Da\n-include-options b\n-Dc"}, {"b", "-Db"}},
       {"-Da", "-Db", "-Dc"},
       std::nullopt},
      {"relative to the including file, at every level",
       {{"main", "-include-options sub/b"}, {"sub/b", "-include-options c"}, {"sub/c", "-Dc"}},
       {"-Dc"},
       std::nullopt},
      {"quoted path with blanks",
       {{"main", "-include-options \"sub dir/b c\""}, {"sub dir/b c", "-Dq"}},
       {"-Dq"},
       std::nullopt},
      {"a lone double quote is a name",
       {{"main", "-include-options \""}, {"\"", "-Dquote"}},
       {"-Dquote"},
       std::nullopt},
      {"missing include changes nothing",
       {{"main", "-Da\n-include-options nope\n-Dc"}},
       {"-Da", "-Dc"},
       std::nullopt},
      {"a directory adds nothing",
       {{"main", "-include-options sub\n-Dc"}, {"sub/x", ""}},
       {"-Dc"},
       std::nullopt},
      {"leading ~ is the home directory",
       {{"main", "-include-options ~/h"}, {"home/h", "-Dh"}},
       {"-Dh"},
       std::nullopt},
      {"quoted ~ path",
       {{"main", "-include-options \"~/h h\""}, {"home/h h", "-Dh"}},
       {"-Dh"},
       std::nullopt},
      {"absolute path",
       {{"main", "-include-options @D/abs"}, {"abs", "-Dabs"}},
       {"-Dabs"},
       std::nullopt},
      {"variables are substituted first",
       {{"main", "-include-options ${QMK_OPT_DIR}/b"}, {"sub/b", "-Db"}},
       {"-Db"},
       std::nullopt},
      {"a ~ a variable inserted is the home directory",
       {{"main", "-include-options ${QMK_OPT_HOME}"}, {"home/t", "-Dt"}},
       {"-Dt"},
       std::nullopt},
      {"and so is one in the middle of its value",
       {{"main", "-include-options @D/${QMK_OPT_INNER}"}, {"a@Hb", "-Dinner"}},
       {"-Dinner"},
       std::nullopt},
      {"bundle path in an include",
       {{"main", "-include-options $APP_PACKAGE/../inc"}, {"Apps/inc", "-Dinc"}},
       {"-Dinc"},
       std::nullopt},
      {"class path runs through includes",
       {{"main", "-classpath a.jar\n-include-options b\n-classpath/a c.jar"},
        {"b", "-classpath/p b.jar"}},
       {},
       "b.jar:a.jar:c.jar"},
      {"a file including itself is read once",
       {{"main", "-Da\n-include-options main\n-Dc"}},
       {"-Da", "-Dc"},
       std::nullopt},
      {"a cycle through another file and another spelling is cut",
       {{"main", "-Da\n-include-options b"}, {"b", "-Db\n-include-options ./main\n-Db2"}},
       {"-Da", "-Db", "-Db2"},
       std::nullopt},
      {"the same file on two branches is no cycle",
       {{"main", "-include-options b\n-include-options c"},
        {"b", "-include-options d"},
        {"c", "-include-options d"},
        {"d", "-Dd"}},
       {"-Dd", "-Dd"},
       std::nullopt},
  };
  for (const auto& c : cases) {
    for (const auto& [path, content] : c.files) writeFile(dir / expand(path), expand(content));
    Result r = read(dir / "main");
    EXPECT_EQ(r.options, c.options) << c.name;
    EXPECT_EQ(r.classPath, c.classPath) << c.name;
    for (const auto& [path, content] : c.files) std::filesystem::remove(dir / expand(path));
  }
}

TEST_F(OptionsFileTest, ConfiguredPathReplacesBundleAndHomeWhereverTheyStand) {
  // "~" in the middle of the path, and "$APP_PACKAGE" in the path itself.
  writeFile(dir.path() + "/x" + home + "/o.vmoptions", "-Dtilde");
  writeFile(dir / "Apps/Foo.app.vmoptions.d/p", "-Dpackage");
  EXPECT_EQ(read(dir / "x~/o.vmoptions").options, Options{"-Dtilde"});
  EXPECT_EQ(read(std::string("$APP_PACKAGE.vmoptions.d/p")).options, Options{"-Dpackage"});
  EXPECT_EQ(read(std::nullopt, "keep").classPath, OptionalString("keep"));
}

TEST_F(OptionsFileTest, TildeInTheBundlePathIsNeverReplaced) {
  // A bundle installed below a folder whose name holds "~".
  std::string folder = dir / "we~ird";
  std::string tildeBundle = makeAppBundle(folder, "Foo.app", dict({}));
  Launcher tildeLauncher(
      makeContext(tildeBundle, platform::SystemLayout::forLinux(), {"prog"}, home));
  writeFile(folder + "/o.vmoptions",
            "-Do\n-include-options sub/i\n-include-options $APP_PACKAGE/../j");
  writeFile(folder + "/sub/i", "-Di");
  writeFile(folder + "/j", "-Dj");
  Options options;
  tildeLauncher.readOptionsFile(std::string("$APP_PACKAGE/../o.vmoptions"), options, std::nullopt,
                                tildeBundle);
  EXPECT_EQ(options, (Options{"-Do", "-Di", "-Dj"}));
}

TEST_F(OptionsFileTest, CyclesAndRunawayChainsAreCutAndLogged) {
  writeFile(dir / "loop", "-Dloop\n-include-options loop");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(read(dir / "loop").options, Options{"-Dloop"});
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(dir / "loop"), std::string::npos) << log;
  EXPECT_NE(log.find("includes itself"), std::string::npos) << log;

  // A chain of a thousand distinct files stops at the depth limit, and says so.
  for (int i = 0; i < 1000; ++i) {
    writeFile(dir / ("chain/" + std::to_string(i)),
              "-D" + std::to_string(i) + "\n-include-options " + std::to_string(i + 1));
  }
  ::testing::internal::CaptureStderr();
  Options options = read(dir / "chain/0").options;
  log = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(options.size(), 64u);
  EXPECT_EQ(options.back(), "-D63");
  EXPECT_NE(log.find(dir / "chain/64"), std::string::npos) << log;

  // The chain is unwound: the next read starts from the top again.
  EXPECT_EQ(read(dir / "loop").options, Options{"-Dloop"});

  // A cycle through another name of the same file: a symbolic link and a hard link.
  writeFile(dir / "linked", "-Dlinked\n-include-options soft\n-include-options hard");
  std::filesystem::create_symlink(dir / "linked", dir / "soft");
  std::filesystem::create_hard_link(dir / "linked", dir / "hard");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(read(dir / "linked").options, Options{"-Dlinked"});
  log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(dir / "hard"), std::string::npos) << log;
}

TEST_F(OptionsFileTest, IncludesThatMultiplyStopAtTheReadingBudget) {
  // Each of 40 files includes the next twice: 2^40 reads without a limit, none of them nested
  // deeper than 40 or repeated along its own chain.
  for (int i = 0; i < 40; ++i) {
    const std::string next = std::to_string(i + 1);
    writeFile(dir / ("fan/" + std::to_string(i)), "-D" + std::to_string(i) + "\n-include-options " +
                                                      next + "\n-include-options " + next);
  }
  writeFile(dir / "fan/40", "-D40");
  ::testing::internal::CaptureStderr();
  Options options = read(dir / "fan/0").options;
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(options.size(), 1000u);
  EXPECT_EQ(options.front(), "-D0");
  EXPECT_NE(log.find("includes after it"), std::string::npos) << log;
  // Said once, not once per include left.
  EXPECT_EQ(log.find("includes after it"), log.rfind("includes after it"));

  // Each reading has its own budget.
  writeFile(dir / "small", "-Dsmall");
  EXPECT_EQ(read(dir / "small").options, Options{"-Dsmall"});
}

TEST_F(OptionsFileTest, TheTextBudgetCoversTheFirstFileToo) {
  constexpr size_t kBudget = 16 << 20;
  const std::string comments(kBudget, '#');
  writeFile(dir / "big", "-Dbig\n" + comments);  // just past the budget on its own
  writeFile(dir / "fits", "-Dfits\n" + comments.substr(0, kBudget - 8));
  writeFile(dir / "outer", "-Da\n-include-options big\n-include-options small\n-Dc");
  writeFile(dir / "small", "-Dsmall");
  struct Case {
    const char* name;
    const char* file;
    Options options;
    bool logged;
  };
  const Case cases[] = {
      {"a first file larger than the budget is not read", "big", {}, true},
      {"one that fits is read whole", "fits", {"-Dfits"}, false},
      {"an include past the budget stops the includes after it; the lines of the file read go on",
       "outer",
       {"-Da", "-Dc"},
       true},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(read(dir / c.file).options, c.options) << c.name;
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("includes after it") != std::string::npos, c.logged) << c.name << log;
    EXPECT_EQ(log.find("includes after it"), log.rfind("includes after it")) << c.name;
  }
}

}  // namespace
