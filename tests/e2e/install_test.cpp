// The installed programs: `cmake --install` into a temporary prefix puts appstub, setupstub and
// the documentation there, the programs stripped, and a bundle built like the demo starts with
// the installed appstub. The Debian package depends on the C library alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support/demo_bundle.h"
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

  std::string makeDemoBundle() {
    return testing_support::makeDemoBundle(tmp.path(), prefix + "/bin/appstub");
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

// The section names `readelf -S` lists for `program`.
std::string sectionHeaders(const std::string& program) {
  RunResult r = run({"/usr/bin/readelf", "-S", "-W", program});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

TEST_F(InstallTest, InstalledProgramsAreStrippedAndAppstubKeepsItsExports) {
  for (const char* program : {"appstub", "setupstub", "qmk-bundle"}) {
    const std::string sections = sectionHeaders(prefix + "/bin/" + program);
    EXPECT_EQ(sections.find(" .symtab "), std::string::npos) << program << " is not stripped";
    EXPECT_EQ(sections.find(" .debug_info "), std::string::npos) << program;
  }
  RunResult symbols = run({"/usr/bin/readelf", "--dyn-syms", "-W", prefix + "/bin/appstub"});
  ASSERT_EQ(symbols.status, 0) << symbols.err;
  for (const char* exported : {" main\n", " launcher_main\n", " JLI_LaunchFxnPtr\n"}) {
    EXPECT_NE(symbols.out.find(exported), std::string::npos) << exported << symbols.out;
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

TEST_F(InstallTest, TheInstalledBundleMakerShipsTheInstalledLauncherApi) {
  const std::string installedJar = prefix + "/share/quillmark/quillmark-launcher.jar";
  ASSERT_TRUE(fs::is_regular_file(installedJar));
  auto jar = run({kJdk + "/bin/jar", "--create", "--file", tmp / "probe.jar", "-C",
                  QMK_API_CLASSES, "."});
  ASSERT_EQ(jar.status, 0) << jar.err;
  auto made = run({prefix + "/bin/qmk-bundle", "create", "--name", "Api", "--jar", tmp / "probe.jar",
                   "--main-class", "ServicesProbe", "--launcher-api", "--out", tmp / "Api.app"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(readFile(tmp / "Api.app/Contents/Java/quillmark-launcher.jar"), readFile(installedJar));
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

TEST_F(InstallTest, TheDebianPackageNeedsTheCLibraryAlone) {
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
  EXPECT_EQ(packageNames(depends.out), std::vector<std::string>{"libc6"}) << depends.out;
  // What setupstub loads only on the roads that use it.
  auto recommends = run({"/usr/bin/dpkg-deb", "--field", deb, "Recommends"});
  ASSERT_EQ(recommends.status, 0) << recommends.err;
  std::vector<std::string> recommended = packageNames(recommends.out);
  std::sort(recommended.begin(), recommended.end());
  EXPECT_EQ(recommended, (std::vector<std::string>{"libcurl4", "libgtk-3-0"})) << recommends.out;

  auto contents = run({"/usr/bin/dpkg-deb", "--contents", deb});
  ASSERT_EQ(contents.status, 0) << contents.err;
  for (const char* file : {"./usr/bin/appstub", "./usr/bin/setupstub",
                           "./usr/share/doc/quillmark-launchers/README.md"}) {
    EXPECT_NE(contents.out.find(file), std::string::npos) << file << "\nin:\n" << contents.out;
  }
}

}  // namespace
