// appstub in a bundle whose own Info.plist cannot be used: the always-on line and the notice
// name the file and the reader's reason, not a key that seems to be missing. And what a user
// migrating a bundle from another launcher is told.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kJdk = QMK_JAVA_HOME;

// A binary list of {"a": 1}, then cut short by `cut` bytes.
std::string truncatedBinary(size_t cut) {
  std::string list("bplist00\xd1\x01\x02\x51\x61\x10\x01\x08\x0b\x0d", 16);
  list += std::string(6, '\0') + "\x01\x01";
  list += std::string(7, '\0') + "\x03" + std::string(8, '\0') + std::string(7, '\0') + "\x0f";
  return list.substr(0, list.size() - cut);
}

class AppInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = makeAppBundle(tmp.path(), "Info Test.app", dict({}));
    program = bundle + "/Contents/MacOS/InfoTest";
    std::filesystem::copy_file(QMK_APPSTUB, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    info = bundle + "/Contents/Info.plist";
    // The notice's text, with the exception's description as its insert.
    writeFile(bundle + "/Contents/Resources/Localizable.strings",
              "\"vexel.InternalError\" = \"Something went wrong: %@\";\n");
  }

  RunResult start(const std::map<std::string, std::optional<std::string>>& env = {}) {
    auto withJdk = env;
    withJdk["QMK_TEST_JDK"] = kJdk;
    return run({program}, "", withJdk, tmp.path());
  }

  TempDir tmp;
  std::string bundle;
  std::string program;
  std::string info;
};

TEST_F(AppInfoTest, AnUnusableInfoPlistIsNamedWithTheReadersReason) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    std::string state;
    std::string reason;
  };
  const Case cases[] = {
      {"missing", [](const std::string& file) { std::filesystem::remove(file); }, "is missing",
       "no such file"},
      // A directory of that name: unreadable as a file even for root.
      {"unreadable",
       [](const std::string& file) {
         std::filesystem::remove(file);
         makeDirectories(file);
       },
       "cannot be read", "is a directory"},
      {"malformed XML",
       [](const std::string& file) {
         writeFile(file,
                   "<?xml version=\"1.0\"?>\n<plist>\n<dict>\n  <key>a</key><string>b</dict>\n"
                   "</plist>\n");
       },
       "is malformed", "line 4, column 26: mismatched tag"},
      {"a vocabulary error",
       [](const std::string& file) {
         writeFile(file,
                   "<plist>\n<dict>\n<key>n</key>\n<integer>many</integer>\n</dict>\n</plist>");
       },
       "is malformed", "line 4: <integer> holds no number"},
      {"binary, truncated", [](const std::string& file) { writeFile(file, truncatedBinary(9)); },
       "is malformed", "offset 0x"},
      {"not a dictionary",
       [](const std::string& file) { writeFile(file, plist::toXml(arr({"JavaVM"}))); },
       "is not a dictionary", "not a dictionary"},
  };
  for (const Case& c : cases) {
    c.make(info);
    auto r = start();
    EXPECT_EQ(r.status, 1) << c.name;
    const std::string said = "The application's Info.plist " + info + " " + c.state + ": ";
    // In the always-on line and in the notice's text.
    const size_t logged = r.err.find("[Line ");
    ASSERT_NE(logged, std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(r.err.find(said + c.reason), r.err.find(said, logged)) << c.name << "\n" << r.err;
    EXPECT_NE(r.err.find("Something went wrong: " + said + c.reason), std::string::npos)
        << c.name << "\n"
        << r.err;
    EXPECT_EQ(r.err.find("MainClass"), std::string::npos) << c.name << "\n" << r.err;
    std::filesystem::remove_all(info);
  }
}

TEST_F(AppInfoTest, KeysOfAnotherLauncherAreNamed) {
  writeFile(info, plist::toXml(dict({
                      {"CFBundleName", str("Info Test")},
                      {"Java", dict({{"MainClass", str("Probe")}})},
                      {"JVMMainClassName", str("Probe")},
                      {"JVMOptions", arr({"-Xmx1g"})},
                  })));
  auto r = start();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(info + " has no \"JavaVM\" dictionary but holds keys of another launcher "
                              "(\"Java\", \"JVMMainClassName\", \"JVMOptions\")"),
            std::string::npos)
      << r.err;
}

TEST_F(AppInfoTest, AClassPathEntryNamingAnUnsetVariableIsDroppedWithADebugLine) {
  writeFile(info, plist::toXml(dict({
                      {"JavaVM", dict({{"MainClass", str("Probe")},
                                       {"ClassPath", str("$QMK_NEVER_SET_ANYWHERE:" +
                                                         std::string(QMK_JAVA_CLASSES))},
                                       {"SearchSequence", arr({"EQMK_TEST_JDK"})}})},
                  })));
  auto r = start({{"QUILLMARK_LOG", "yes"}, {"QMK_NEVER_SET_ANYWHERE", std::nullopt}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("class path entry QMK_NEVER_SET_ANYWHERE names no set variable: dropped"),
            std::string::npos)
      << r.err;
}

}  // namespace
