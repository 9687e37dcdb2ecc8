// Class-path entry resolution against real directories and the real environment.
#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class ClassPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // lib holds archives, other files, an archive-named directory, a hidden archive and a name
    // that differs in case only.
    for (const char* name : {"a.jar", "b.zip", "c.txt", "A.JAR", ".hidden.jar", "x.jar.bak"}) {
      writeFile(dir / (std::string("lib/") + name), "");
    }
    makeDirectories(dir / "lib/sub.jar");
    makeDirectories(dir / "empty");
    writeFile(dir / "empty/readme.txt", "");
    std::string bundle = makeAppBundle(dir.path(), "Foo.app", dict({}));
    launcher = std::make_unique<Launcher>(
        makeContext(bundle, platform::SystemLayout::forLinux(), {"prog"}, dir / "home"));
  }

  TempDir dir;
  ScopedCurrentDirectory cwd{dir.path()};
  ScopedEnv set{"QMK_CP_SET", "x.jar:y.jar"};
  ScopedEnv empty{"QMK_CP_EMPTY", ""};
  ScopedEnv unset{"QMK_CP_UNSET", std::nullopt};
  ScopedEnv equals{"QMK_CP_EQ", "in=value.jar"};
  std::unique_ptr<Launcher> launcher;
};

struct Case {
  const char* name;
  OptionalString input;
  OptionalString expected;
};

TEST_F(ClassPathTest, ExpandsEveryEntryForm) {
  // Listings come sorted by their bytes: ".hidden.jar" < "A.JAR" < "a.jar" < "b.zip" < ...
  const std::string scanned = "lib/.hidden.jar:lib/a.jar:lib/b.zip:lib/sub.jar";
  const Case cases[] = {
      {"absent stays absent", std::nullopt, std::nullopt},
      {"empty input is a present empty result", "", ""},
      {"plain entries pass unchanged", "a.jar:/opt/b.jar", "a.jar:/opt/b.jar"},
      {"adjacent colons keep the empty entry", "a::b", "a::b"},
      {"scan keeps listing order, case-sensitive names, directories", "lib/*", scanned},
      {"absolute scan stays absolute", dir.path() + "/lib/*",
       dir.path() + "/lib/.hidden.jar:" + dir.path() + "/lib/a.jar:" + dir.path() +
           "/lib/b.zip:" + dir.path() + "/lib/sub.jar"},
      {"scan between plain entries", "first.jar:lib/*:last.jar",
       "first.jar:" + scanned + ":last.jar"},
      {"a folder named twice adds its archives twice", "lib/*:mid.jar:lib/*",
       scanned + ":mid.jar:" + scanned},
      {"pattern after the star is not a scan", "lib/*.jar", "lib/*.jar"},
      {"lone star is not a scan", "*", "*"},
      {"missing directory drops its entry", "a.jar:missing/*:b.jar", "a.jar:b.jar"},
      {"directory without archives adds no colon", "a.jar:empty/*:b.jar", "a.jar:b.jar"},
      {"only a scan that finds nothing gives absent", "empty/*", std::nullopt},
      {"variable value is one item, not split", "$QMK_CP_SET:z.jar", "x.jar:y.jar:z.jar"},
      {"variable value is not scanned", "$QMK_CP_SET", "x.jar:y.jar"},
      {"unset variable is dropped", "a.jar:$QMK_CP_UNSET:b.jar", "a.jar:b.jar"},
      {"only an unset variable gives absent", "$QMK_CP_UNSET", std::nullopt},
      {"empty value still takes a colon", "$QMK_CP_EMPTY:b.jar", ":b.jar"},
      {"text after the variable name is part of the name", "$QMK_CP_SET/x.jar", std::nullopt},
      {"braces become part of the name", "${QMK_CP_SET}", std::nullopt},
      {"a name with \"=\" names no variable", "$QMK_CP_EQ=in", std::nullopt},
      {"a lone \"$\" names no variable", "$", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(launcher->resolveArtifactPath(c.input), c.expected) << c.name;
  }
}

}  // namespace
