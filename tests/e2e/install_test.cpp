// The installed programs: `cmake --install` into a temporary prefix puts appstub, setupstub and
// the documentation there, and a bundle built like the demo starts with the installed appstub.
// The Debian package depends on run-time libraries only.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kJdk = QMK_JAVA_HOME;
const std::string kBuildDir = fs::path(QMK_BIN_DIR).parent_path().string();

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto installed = run({QMK_CMAKE_COMMAND, "--install", kBuildDir, "--prefix", prefix});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
  }

  // Hello.app as the demo builds it, around the installed appstub, with Hello.vmoptions beside.
  std::string makeDemoBundle() {
    const std::string classes = tmp / "classes";
    auto javac = run({kJdk + "/bin/javac", "-d", classes, QMK_SOURCE_DIR "/demo/hello/Hello.java"});
    EXPECT_EQ(javac.status, 0) << javac.err;
    std::string app = makeAppBundle(
        tmp / "Apps", "Hello.app",
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
    auto jar = run({kJdk + "/bin/jar", "--create", "--file", app + "/Contents/Java/hello.jar", "-C",
                    classes, "."});
    EXPECT_EQ(jar.status, 0) << jar.err;
    fs::copy_file(prefix + "/bin/appstub", app + "/Contents/MacOS/Hello");
    writeFile(tmp / "Apps/Hello.vmoptions", "# Options for Hello.app\n-Xmx256m\n");
    return app;
  }

  TempDir tmp;
  std::string prefix = tmp / "prefix";
};

bool isExecutableFile(const std::string& path) {
  std::error_code error;
  auto status = fs::status(path, error);
  return !error && fs::is_regular_file(status) &&
         (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
}

TEST_F(InstallTest, InstallsBothProgramsAndTheDocumentation) {
  EXPECT_TRUE(isExecutableFile(prefix + "/bin/appstub"));
  EXPECT_TRUE(isExecutableFile(prefix + "/bin/setupstub"));
  for (const char* doc : {"README.md", "configuration.md", "behaviour.md", "fuzzing.md"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/share/doc/quillmark-launchers/" + doc)) << doc;
  }
}

TEST_F(InstallTest, TheInstalledAppstubStartsADemoBundle) {
  const std::string app = makeDemoBundle();
  auto r = run({app + "/Contents/MacOS/Hello", "one arg"}, "", {{"QMK_TEST_JDK", kJdk}});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& line : std::vector<std::string>{
           "  working directory: " + app + "/Contents/Resources\n",
           "  class path:        " + app + "/Contents/Java/hello.jar\n",
           "  runtime chosen:    " + kJdk + "\n",
           "  own bundle:        " + app + "\n",
           "  greeting:          set in Info.plist\n",
           "  argument 0:        --bundle=" + app + "\n",
           "  argument 1:        one arg\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
  }
  // Hello.vmoptions beside the bundle was read: the heap is capped (the default is a quarter of
  // the machine's memory).
  const std::string heap = "  max heap:          ";
  size_t at = r.out.find(heap);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_LE(std::stol(r.out.substr(at + heap.size())), 256) << r.out;
}

TEST_F(InstallTest, TheInstalledSetupstubRunsAnArgumentFile) {
  const std::string app = makeDemoBundle();
  writeFile(tmp / "args", kJdk + "\n-cp\n" + app + "/Contents/Java/hello.jar\nhello.Hello\nx y");
  auto r = run({prefix + "/bin/setupstub", "__qmk_invoke_other", tmp / "args"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  argument 0:        x y\n"), std::string::npos) << r.out;
}

// The fields of a Debian package's control file that list packages, one name per entry.
std::vector<std::string> packageNames(const std::string& field) {
  std::vector<std::string> names;
  std::stringstream entries(field);
  std::string entry;
  while (std::getline(entries, entry, ',')) {
    size_t begin = entry.find_first_not_of(" \n");
    size_t end = entry.find_first_of(" (\n", begin);
    if (begin != std::string::npos) names.push_back(entry.substr(begin, end - begin));
  }
  return names;
}

TEST_F(InstallTest, TheDebianPackageNeedsRunTimeLibrariesOnly) {
  const std::string out = tmp / "package";
  auto packed =
      run({QMK_CPACK_COMMAND, "-G", "DEB", "-B", out, "--config", kBuildDir + "/CPackConfig.cmake"},
          "", {}, kBuildDir);
  ASSERT_EQ(packed.status, 0) << packed.out << packed.err;
  std::string deb;
  for (const auto& entry : fs::directory_iterator(out)) {
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  }
  ASSERT_FALSE(deb.empty()) << packed.out;

  auto depends = run({"/usr/bin/dpkg-deb", "--field", deb, "Depends"});
  ASSERT_EQ(depends.status, 0) << depends.err;
  std::vector<std::string> names = packageNames(depends.out);
  for (const char* needed : {"libcurl4", "zlib1g", "libgtk-3-0"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), needed), names.end())
        << needed << " missing from: " << depends.out;
  }
  for (const auto& name : names) {
    EXPECT_FALSE(name.ends_with("-dev")) << depends.out;
    EXPECT_EQ(name.find("jdk"), std::string::npos) << depends.out;
    EXPECT_EQ(name.find("gtest"), std::string::npos) << depends.out;
  }

  auto contents = run({"/usr/bin/dpkg-deb", "--contents", deb});
  ASSERT_EQ(contents.status, 0) << contents.err;
  for (const char* file : {"./usr/bin/appstub", "./usr/bin/setupstub",
                           "./usr/share/doc/quillmark-launchers/README.md"}) {
    EXPECT_NE(contents.out.find(file), std::string::npos) << file << "\nin:\n" << contents.out;
  }
}

}  // namespace
