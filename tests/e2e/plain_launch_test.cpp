// A real application bundle around appstub, started the way a user starts it, running the Java
// probe in the machine's JDK 17 with everything the bundle configures.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kJdk = QMK_JAVA_HOME;

std::string propertyLine(const std::string& name, const std::string& value) {
  return "prop:" + name + "=" + value + "\n";
}

class PlainLaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apps = tmp / "Apps ~x";
    makeDirectories(apps);
    plist::Value info = dict({
        {"CFBundleName", str("My App")},
        {"qmk.minVersion", str("17")},
        {"qmk.maxVersion", str("17")},
        {"qmk.allowPassthrough", plist::Value::boolean(true)},
        {"JavaVM",
         dict(
             {{"MainClass", str("Probe")},
              {"ClassPath", str("$APP_PACKAGE/Contents/Java/*")},
              {"SearchSequence", arr({"EQMK_TEST_JDK"})},
              {"WorkingDirectory", str("$APP_PACKAGE/Contents/Resources")},
              {"VMOptionArray",
               arr({"-Dprobe.props=a.b,c.d,inc.opt,vs.opt,file.opt,qmk.ownBundlePath,qmk.jreBundle",
                    "-Da.b=x${launcher:sys.pathlistSeparator}y",
                    "-include-options inc.vmoptions"})},
              {"VersionSpecificVMOptions",
               plist::Value::array({str("*1.8*"), arr({"-Dvs.opt=eight"}), str("17-17"),
                                    arr({"-Dvs.opt=seventeen"})})},
              {"ArgumentArray", arr({"--home=${launcher:sys.jvmHome}", "--pkg=$APP_PACKAGE"})}})},
    });
    bundle = makeAppBundle(apps, "My App.app", info);
    std::filesystem::copy_file(QMK_APPSTUB, bundle + "/Contents/MacOS/MyApp");
    std::filesystem::permissions(bundle + "/Contents/MacOS/MyApp",
                                 std::filesystem::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    auto jar = run({kJdk + "/bin/jar", "--create", "--file", bundle + "/Contents/Java/probe.jar",
                    "-C", QMK_JAVA_CLASSES, "Probe.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
    writeFile(apps + "/inc.vmoptions", "-Dinc.opt=included\n");
    writeFile(apps + "/My App.vmoptions",
              "# options beside the bundle\r\n  -Dfile.opt=crlf  \r\n-classpath/a /extra/dir\r\n");
  }

  RunResult start(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {bundle + "/Contents/MacOS/MyApp"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, input, {{"QMK_TEST_JDK", kJdk}}, tmp.path());
  }

  TempDir tmp;
  std::string apps;
  std::string bundle;
};

TEST_F(PlainLaunchTest, TheApplicationGetsExactlyTheConfiguredLaunch) {
  auto r = start({"-J-Dc.d=pass", "plain arg", "exit=12"});
  EXPECT_EQ(r.status, 12) << r.err;
  std::string expected =
      "arg[0]=--home=" + kJdk +
      "\n"
      "arg[1]=--pkg=" +
      bundle +
      "\n"
      "arg[2]=plain arg\n"
      "arg[3]=exit=12\n" +
      propertyLine("java.class.path", bundle + "/Contents/Java/probe.jar:/extra/dir") +
      propertyLine("user.dir", bundle + "/Contents/Resources") + propertyLine("a.b", "x:y") +
      propertyLine("c.d", "pass") + propertyLine("inc.opt", "included") +
      propertyLine("vs.opt", "seventeen") + propertyLine("file.opt", "crlf") +
      propertyLine("qmk.ownBundlePath", bundle) + propertyLine("qmk.jreBundle", kJdk);
  EXPECT_EQ(r.out.substr(0, expected.size()), expected) << r.out;
}

TEST_F(PlainLaunchTest, StandardInputAndOutputPassThroughUnchanged) {
  std::string input;
  for (int i = 0; i < 200000; i++) input += static_cast<char>((i * 7919) % 256);
  auto r = start({"echo"}, input);
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_GE(r.out.size(), input.size());
  EXPECT_EQ(r.out.substr(r.out.size() - input.size()), input);
}

TEST_F(PlainLaunchTest, NoAcceptableRuntimeShowsTheNoticeAndEndsWithOne) {
  auto r = run({bundle + "/Contents/MacOS/MyApp"}, "", {{"QMK_TEST_JDK", tmp / "none"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("AppleJavaMinVersionError"), std::string::npos) << r.err;
}

}  // namespace
