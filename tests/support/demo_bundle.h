// Hello.app as scripts/demo builds it, around a given launcher: the demo's class in a jar, its
// Info.plist, and Hello.vmoptions beside the bundle. The runtime is the one the environment
// variable QMK_TEST_JDK names.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace testing_support {

// Makes `dir`/Apps/Hello.app with a copy of `launcher` as its executable; returns the bundle.
inline std::string makeDemoBundle(const std::string& dir, const std::string& launcher) {
  const std::string jdk = QMK_JAVA_HOME;
  const std::string classes = dir + "/classes";
  auto javac = run({jdk + "/bin/javac", "-d", classes, QMK_SOURCE_DIR "/demo/hello/Hello.java"});
  EXPECT_EQ(javac.status, 0) << javac.err;
  std::string app = makeAppBundle(
      dir + "/Apps", "Hello.app",
      dict({{"CFBundleName", str("Hello")},
            {"CFBundleIdentifier", str("com.example.hello")},
            {"qmk.minVersion", str("11")},
            {"JavaVM", dict({{"MainClass", str("hello.Hello")},
                             {"ClassPath", str("$APP_PACKAGE/Contents/Java/*")},
                             {"VMOptionArray", arr({"-Dhello.greeting=set in Info.plist"})},
                             {"ArgumentArray", arr({"--bundle=$APP_PACKAGE"})},
                             {"WorkingDirectory", str("$APP_PACKAGE/Contents/Resources")},
                             {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}}));
  makeDirectories(app + "/Contents/Java");
  auto jar = run({jdk + "/bin/jar", "--create", "--file", app + "/Contents/Java/hello.jar", "-C",
                  classes, "."});
  EXPECT_EQ(jar.status, 0) << jar.err;
  std::filesystem::copy_file(launcher, app + "/Contents/MacOS/Hello",
                             std::filesystem::copy_options::overwrite_existing);
  writeFile(dir + "/Apps/Hello.vmoptions", "# Options for Hello.app\n-Xmx256m\n");
  return app;
}

}  // namespace testing_support
