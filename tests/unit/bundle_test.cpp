// Opening bundles: where Info.plist lives, what a broken one gives, plain runtime homes, and the
// bundle of an executable.
#include "platform/bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string binaryPlist(const plist::Value& value) {
  std::string xml = plist::toXml(value);
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  plist_free(root);
  return bytes;
}

class BundleTest : public ::testing::Test {
 protected:
  TempDir tmp;
};

TEST_F(BundleTest, OnlyExistingDirectoriesAreBundles) {
  EXPECT_FALSE(platform::Bundle::create(""));
  EXPECT_FALSE(platform::Bundle::create(tmp / "missing"));
  writeFile(tmp / "file", "x");
  EXPECT_FALSE(platform::Bundle::create(tmp / "file"));
  auto bundle = platform::Bundle::create(tmp.path() + "/");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path(), tmp.path());
}

TEST_F(BundleTest, RelativePathsAreMadeAbsolute) {
  makeDirectories(tmp / "Rel.app");
  ScopedCurrentDirectory cwd(tmp.path());
  auto bundle = platform::Bundle::create("Rel.app");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path(), tmp / "Rel.app");
}

TEST_F(BundleTest, ApplicationBundleReadsContentsInfoPlist) {
  std::string path = makeAppBundle(tmp.path(), "Demo.app",
                                   dict({{"CFBundleIdentifier", str("com.example.demo")},
                                         {"JavaVM", dict({{"MainClass", str("Main")}})}}));
  auto bundle = platform::Bundle::create(path);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->identifier(), "com.example.demo");
  EXPECT_EQ(bundle->infoValue("JavaVM")["MainClass"].stringValue(), "Main");
  EXPECT_EQ(bundle->resourcePath(), path + "/Contents/Resources");
  EXPECT_FALSE(bundle->isPlainRuntimeHome());
}

TEST_F(BundleTest, BinaryInfoPlist) {
  writeFile(tmp / "Bin.app/Contents/Info.plist",
            binaryPlist(dict({{"CFBundleIdentifier", str("com.example.bin")}})));
  auto bundle = platform::Bundle::create(tmp / "Bin.app");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->identifier(), "com.example.bin");
}

TEST_F(BundleTest, UnusableInfoPlistGivesAnEmptyDictionary) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"malformed", "<?xml version=\"1.0\"?><plist><dict><key>a</key>"},
      {"empty", ""},
      {"not a dictionary", plist::toXml(arr({"a", "b"}))},
      {"missing", std::nullopt},
  };
  for (const auto& [what, content] : cases) {
    std::string path = tmp / (std::string(what) + ".app");
    makeDirectories(path + "/Contents");
    if (content) writeFile(path + "/Contents/Info.plist", *content);
    auto bundle = platform::Bundle::create(path);
    ASSERT_TRUE(bundle) << what;
    EXPECT_TRUE(bundle->info().isDictionary()) << what;
    EXPECT_EQ(bundle->info().size(), 0u) << what;
    EXPECT_FALSE(bundle->identifier()) << what;
  }
}

TEST_F(BundleTest, IdentifierMustBeAString) {
  std::string path =
      makeAppBundle(tmp.path(), "N.app", dict({{"CFBundleIdentifier", plist::Value::integer(3)}}));
  EXPECT_FALSE(platform::Bundle::create(path)->identifier());
}

TEST_F(BundleTest, FlatBundleKeepsEverythingAtItsTop) {
  writeFile(tmp / "Messages.bundle/Info.plist",
            plist::toXml(dict({{"CFBundleName", str("Flat")}})));
  writeFile(tmp / "Messages.bundle/icon.png", "png");
  auto bundle = platform::Bundle::create(tmp / "Messages.bundle");
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->infoValue("CFBundleName").stringValue(), "Flat");
  EXPECT_EQ(bundle->resourcePath(), tmp / "Messages.bundle");
  EXPECT_EQ(bundle->pathForResource("icon", "png"), tmp / "Messages.bundle/icon.png");
  EXPECT_FALSE(bundle->pathForResource("icon", "icns"));
}

TEST_F(BundleTest, PlainRuntimeHomeReadsItsReleaseFile) {
  makePlainRuntimeHome(tmp / "jdk-17", "17.0.15");
  auto bundle = platform::Bundle::create(tmp / "jdk-17");
  ASSERT_TRUE(bundle);
  EXPECT_TRUE(bundle->isPlainRuntimeHome());
  EXPECT_EQ(bundle->infoValue("JavaVM")["JVMVersion"].stringValue(), "17.0.15");
  EXPECT_FALSE(bundle->identifier());

  writeFile(tmp / "unquoted/bin/java", "", 0755);
  writeFile(tmp / "unquoted/release", "JAVA_VERSION_DATE=2024\r\nJAVA_VERSION=11.0.2\r\n");
  EXPECT_EQ(
      platform::Bundle::create(tmp / "unquoted")->infoValue("JavaVM")["JVMVersion"].stringValue(),
      "11.0.2");

  writeFile(tmp / "noversion/bin/java", "", 0755);
  writeFile(tmp / "noversion/release", "IMPLEMENTOR=x\n");
  auto noVersion = platform::Bundle::create(tmp / "noversion");
  EXPECT_TRUE(noVersion->isPlainRuntimeHome());
  EXPECT_TRUE(noVersion->infoValue("JavaVM").isDictionary());
  EXPECT_TRUE(noVersion->infoValue("JavaVM")["JVMVersion"].isNull());
}

TEST_F(BundleTest, RuntimeHomeWithInfoPlistOrWithoutReleaseIsNotPlain) {
  makePlainRuntimeHome(tmp / "withinfo", "17");
  writeFile(tmp / "withinfo/Info.plist", plist::toXml(dict({})));
  EXPECT_FALSE(platform::Bundle::create(tmp / "withinfo")->isPlainRuntimeHome());
  writeFile(tmp / "norelease/bin/java", "", 0755);
  auto bundle = platform::Bundle::create(tmp / "norelease");
  EXPECT_FALSE(bundle->isPlainRuntimeHome());
  EXPECT_TRUE(bundle->infoValue("JavaVM").isNull());
}

TEST_F(BundleTest, ExecutableInContentsMacOSBelongsToTheApplication) {
  std::string app = makeAppBundle(tmp.path(), "Demo.app", dict({}));
  writeFile(app + "/Contents/MacOS/appstub", "", 0755);
  EXPECT_EQ(platform::Bundle::forExecutable(app + "/Contents/MacOS/appstub")->path(), app);

  // A link to the executable counts where the real file is.
  fs::create_symlink(app + "/Contents/MacOS/appstub", tmp / "link");
  EXPECT_EQ(platform::Bundle::forExecutable(tmp / "link")->path(), app);

  writeFile(tmp / "bin/tool", "", 0755);
  EXPECT_EQ(platform::Bundle::forExecutable(tmp / "bin/tool")->path(), tmp / "bin");
  writeFile(tmp / "MacOS/tool", "", 0755);
  EXPECT_EQ(platform::Bundle::forExecutable(tmp / "MacOS/tool")->path(), tmp / "MacOS");
}

TEST_F(BundleTest, MainBundleIsTheTestProgramsDirectory) {
  auto bundle = platform::Bundle::main();
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->path(), fs::canonical(QMK_BIN_DIR).string());
}

}  // namespace
