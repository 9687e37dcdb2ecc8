// Which bundle appstub takes for its own when it is reached through symbolic links: the real
// program started through links, copies and PATH, each bundle telling the probe its path.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct StartCase {
  const char* what;
  // The program as started (a path, or a bare name found on PATH) and the bundle it must take.
  std::string start;
  std::string bundle;
  std::string pathVariable = "/usr/bin:/bin";
};

class MainBundleTest : public ::testing::Test {
 protected:
  // A bundle whose application prints the bundle it was started from.
  std::string makeBundle(const std::string& name) {
    return makeAppBundle(
        tmp.path(), name,
        dict({{"JavaVM", dict({{"MainClass", str("Probe")},
                               {"ClassPath", str(QMK_JAVA_CLASSES)},
                               {"SearchSequence", arr({"R" QMK_JAVA_HOME})},
                               {"VMOptionArray", arr({"-Dprobe.props=which",
                                                      "-Dwhich=$APP_PACKAGE"})}})}}));
  }
  TempDir tmp;
};

TEST_F(MainBundleTest, ALauncherFindsItsBundleThroughLinks) {
  // An installed launcher outside any bundle, and two bundles.
  const std::string installed = tmp / "install/bin/appstub";
  makeDirectories(tmp / "install/bin");
  fs::copy_file(QMK_APPSTUB, installed);
  const std::string a = makeBundle("A.app");
  const std::string b = makeBundle("B.app");
  fs::create_symlink(installed, a + "/Contents/MacOS/A");
  fs::copy_file(QMK_APPSTUB, b + "/Contents/MacOS/B");
  fs::create_symlink(b + "/Contents/MacOS/B", a + "/Contents/MacOS/toB");
  makeDirectories(tmp / "bin");
  fs::create_symlink(a + "/Contents/MacOS/A", tmp / "bin/a");
  fs::create_symlink("../A.app/Contents/MacOS/A", tmp / "bin/relative");

  const StartCase cases[] = {
      {"a link in the bundle to the installed launcher", a + "/Contents/MacOS/A", a},
      {"the launcher standing in its bundle", b + "/Contents/MacOS/B", b},
      {"a link whose target stands in another bundle", a + "/Contents/MacOS/toB", b},
      {"a link outside to the bundle's link", tmp / "bin/a", a},
      {"a relative link outside to the bundle's link", tmp / "bin/relative", a},
      {"the bundle's link found on PATH", "A", a, a + "/Contents/MacOS:/usr/bin:/bin"},
      {"the installed launcher itself", installed, tmp / "install/bin"},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.what);
    // Started by a shell, so that a bare name is found on PATH and stays argument 0.
    RunResult r = run({"/bin/sh", "-c", "exec \"$0\" exit=4", c.start}, "",
                      {{"PATH", c.pathVariable}, {"HOME", tmp.path()}});
    if (c.bundle == tmp / "install/bin") {
      // No bundle around the launcher: no main class, so nothing launches.
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_EQ(r.out.find("prop:which="), std::string::npos) << r.out;
      continue;
    }
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.out.find("prop:which=" + c.bundle + "\n"), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
