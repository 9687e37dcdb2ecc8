// User defaults: the application domain, suites in the order added, then the global domain.
#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace testing_support;

namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  void domain(const std::string& name, const plist::Value& values) {
    writeFile(tmp / ("Library/Preferences/" + name + ".plist"), plist::toXml(values));
  }
  platform::UserDefaults defaults(const std::string& app = "com.example.app") {
    return platform::UserDefaults(tmp / "Library/Preferences", app);
  }
  TempDir tmp;
};

TEST_F(UserDefaultsTest, SearchOrder) {
  domain("com.example.app", dict({{"shared", str("app")}, {"appOnly", str("a")}}));
  domain("com.example.suite", dict({{"shared", str("suite")}, {"suiteOnly", str("s")}}));
  domain(".GlobalPreferences", dict({{"shared", str("global")}, {"AppleLocale", str("de_DE")}}));
  auto d = defaults();
  EXPECT_EQ(d.stringForKey("shared"), "app");
  EXPECT_EQ(d.stringForKey("AppleLocale"), "de_DE");
  EXPECT_FALSE(d.stringForKey("suiteOnly")) << "a suite counts only once added";
  d.addSuite("com.example.suite");
  EXPECT_EQ(d.stringForKey("suiteOnly"), "s");
  EXPECT_TRUE(d.objectForKey("nothing").isNull());

  auto withoutApp = defaults("");
  withoutApp.addSuite("com.example.suite");
  EXPECT_EQ(withoutApp.stringForKey("shared"), "suite");
}

TEST_F(UserDefaultsTest, RegistryDictionary) {
  domain("com.quillmark.installations",
         dict({{"/com/quillmark/installations/", dict({{"allinstdirsX", str("/opt/a;/opt/b")}})},
               {"notADict", str("x")}}));
  auto d = defaults();
  d.addSuite("com.quillmark.installations");
  auto registry = d.dictionaryForKey("/com/quillmark/installations/");
  ASSERT_TRUE(registry);
  EXPECT_EQ(registry->at("allinstdirsX").stringValue(), "/opt/a;/opt/b");
  EXPECT_FALSE(d.dictionaryForKey("notADict"));
  EXPECT_FALSE(d.dictionaryForKey("missing"));
}

TEST_F(UserDefaultsTest, BrokenOrMissingDomainsAreSkipped) {
  writeFile(tmp / "Library/Preferences/com.example.app.plist", "garbage");
  domain("com.example.suite", arr({"not", "a", "dictionary"}));
  domain(".GlobalPreferences", dict({{"key", str("global")}}));
  auto d = defaults();
  d.addSuite("com.example.suite");
  d.addSuite("../outside");
  EXPECT_EQ(d.stringForKey("key"), "global");
  EXPECT_TRUE(platform::UserDefaults(tmp / "missing", "x").objectForKey("key").isNull());
}

TEST_F(UserDefaultsTest, NumbersReadAsText) {
  domain("com.example.app", dict({{"n", plist::Value::integer(42)},
                                  {"b", plist::Value::boolean(true)},
                                  {"list", arr({"a"})}}));
  auto d = defaults();
  EXPECT_EQ(d.stringForKey("n"), "42");
  EXPECT_EQ(d.stringForKey("b"), "1");
  EXPECT_FALSE(d.stringForKey("list"));
}

}  // namespace
