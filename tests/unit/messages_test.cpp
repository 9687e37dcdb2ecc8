// Notices: message texts from the messages bundle or the application's own table, with inserts.
#include <gtest/gtest.h>

#include "launcher/Launcher.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

class MessagesTest : public ::testing::Test {
 protected:
  std::string app(std::map<std::string, plist::Value> info) {
    info.emplace("CFBundleName", str("Demo"));
    std::string path = makeAppBundle(tmp.path(), "Demo.app", dict(info));
    writeFile(path + "/Contents/Resources/en.lproj/Localizable.strings",
              "\"Key\" = \"own table %@ %@\";\n");
    return path;
  }
  void messagesBundle(const std::string& baseDir, const std::string& table) {
    writeFile(
        baseDir + "/.quillmark/Messages.bundle/Contents/Resources/en.lproj/Localizable.strings",
        table);
  }
  std::vector<Notice> show(const std::string& bundle, const std::string& key,
                           const OptionalString& a = std::nullopt,
                           const OptionalString& b = std::nullopt) {
    std::vector<Notice> notices;
    auto context =
        makeContext(bundle, platform::SystemLayout::forLinux(), {"x"}, tmp.path(), &notices);
    Launcher::displayError(context, key, a, b);
    return notices;
  }
  TempDir tmp;
};

TEST_F(MessagesTest, WithoutBaseDirTheApplicationsOwnTableIsUsed) {
  auto notices = show(app({}), "Key", "a", "b");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].header, "Demo");
  EXPECT_EQ(notices[0].message, "own table a b");
}

TEST_F(MessagesTest, BaseDirWithAppPackageNamesTheMessagesBundle) {
  std::string bundle = app({{"qmk.baseDir", str("$APP_PACKAGE/Contents/Resources")}});
  messagesBundle(bundle + "/Contents/Resources", "\"Key\" = \"from messages %@\";\n");
  auto notices = show(bundle, "Key", "x");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, "from messages x");
}

TEST_F(MessagesTest, NoMessagesBundleLogsAndShowsNothing) {
  std::string bundle = app({{"qmk.baseDir", str(tmp / "elsewhere")}});
  testing::internal::CaptureStderr();
  auto notices = show(bundle, "vexel.InternalError", "boom");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(notices.empty());
  EXPECT_NE(err.find("message vexel.InternalError not found"), std::string::npos) << err;
}

TEST_F(MessagesTest, InsertsFollowTheFirstInsertRule) {
  std::string bundle = app({});
  writeFile(bundle + "/Contents/Resources/en.lproj/Localizable.strings",
            "\"Two\" = \"need %@ for %@\";\n\"Pct\" = \"100% sure %d %s %@ %%\";\n");
  struct Case {
    std::string key;
    OptionalString a, b;
    std::string expected;
  } cases[] = {
      {"Two", "17", "Demo", "need 17 for Demo"},
      {"Two", "17", std::nullopt, "need 17 for %@"},    // a placeholder without insert stays
      {"Two", std::nullopt, "Demo", "need %@ for %@"},  // first absent: shown as it stands
      {"Pct", std::nullopt, std::nullopt, "100% sure %d %s %@ %%"},
      {"Pct", "x", std::nullopt, "100% sure %d %s x %"},  // only %@ and %% are formats
      {"Missing", "x", std::nullopt, "Missing"},          // a missing key shows the key
  };
  for (const auto& c : cases) {
    auto notices = show(bundle, c.key, c.a, c.b);
    ASSERT_EQ(notices.size(), 1u) << c.key;
    EXPECT_EQ(notices[0].message, c.expected) << c.key;
  }
}

TEST_F(MessagesTest, AMalformedTableShowsTheKey) {
  std::string bundle = app({});
  writeFile(bundle + "/Contents/Resources/en.lproj/Localizable.strings",
            "\"Key\" = \"unterminated");
  auto notices = show(bundle, "Key", "a");
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].message, "Key");
}

}  // namespace
