// qmk-bundle desktop from end to end: entries for bundles made by qmk-bundle create pass
// desktop-file-validate, start the bundle, and install into and uninstall from XDG_DATA_HOME.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "bundler/icon.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::run;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr const char* kDebianJar = "/usr/share/java/maven3-artifact.jar";
constexpr const char* kValidator = "/usr/bin/desktop-file-validate";

// A PNG of `size` pixels square (one grey pixel scaled by the viewer is enough for a header).
std::string pngOf(unsigned size) {
  std::string png = "\x89PNG\r\n\x1a\n";
  png += std::string("\0\0\0\x0dIHDR", 8);
  for (unsigned v : {size, size}) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((v >> shift) & 0xff);
  }
  png += std::string("\x08\x00\x00\x00\x00\x00\x00\x00\x00", 9);
  return png;
}

class DesktopTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::map<std::string, std::optional<std::string>> env = {
      {"HOME", dir / "home"}, {"XDG_DATA_HOME", dir / "data"}, {"QUILLMARK_LOG", std::nullopt}};

  void SetUp() override {
    if (!fs::exists(kDebianJar)) GTEST_SKIP() << kDebianJar << " is missing: run scripts/setup";
    fs::create_directories(dir / "home");
  }

  RunResult bundle(std::vector<std::string> args) {
    args.insert(args.begin(), QMK_BUNDLE);
    return run(args, "", env, dir.path());
  }

  std::string makeApp(const std::string& name, const std::string& icon) {
    RunResult r = bundle({"create", "--name", name, "--jar", kDebianJar, "--icon", icon,
                          "--identifier", "com.example.versions"});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir / (name + ".app");
  }
};

TEST_F(DesktopTest, EntryForANameWithBlanksAndUmlautsValidatesAndStartsTheBundle) {
  if (!fs::exists(kValidator)) GTEST_SKIP() << "desktop-file-utils is missing: run scripts/setup";
  writeFile(dir / "icon.png", pngOf(300));
  // The ICNS the bundle keeps gives the PNG back.
  const std::string app = makeApp("Mäven $Vergleich", dir / "icon.png");
  RunResult r = bundle({"desktop", app});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string entry = dir / "com.example.versions.desktop";
  EXPECT_EQ(r.out, entry + "\n");
  RunResult valid = run({kValidator, entry});
  EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
  EXPECT_EQ(valid.out + valid.err, "");

  const std::string text = readFile(entry);
  EXPECT_NE(text.find("Name=Mäven $Vergleich\n"), std::string::npos) << text;
  EXPECT_NE(text.find("StartupWMClass=org-apache-maven-artifact-versioning-ComparableVersion\n"),
            std::string::npos);
  EXPECT_NE(text.find("Icon=" + dir / "com.example.versions.png\n"), std::string::npos) << text;
  EXPECT_EQ(readFile(dir / "com.example.versions.png"), pngOf(300));

  // The Exec line, unquoted by the rules a desktop applies, starts the bundle's launcher.
  std::smatch exec;
  ASSERT_TRUE(std::regex_search(text, exec, std::regex("\nExec=\"(.*)\" %F\n"))) << text;
  std::string program = std::regex_replace(exec[1].str(), std::regex(R"(\\\\)"), "\\");
  program = std::regex_replace(program, std::regex(R"(\\([\\"`$]))"), "$1");
  EXPECT_EQ(program, app + "/Contents/MacOS/Mäven $Vergleich");
  RunResult started = run({program, "1", "2"}, "", env);
  EXPECT_EQ(started.status, 0) << started.err;
  EXPECT_NE(started.out.find("1 < 2"), std::string::npos);
}

// Java programs take what they are opened with as file paths; only a bundle that declares URL
// schemes is handed URLs.
TEST_F(DesktopTest, EntryPassesPathsUnlessTheBundleDeclaresUrlSchemes) {
  writeFile(dir / "icon.png", pngOf(32));
  const std::string app = makeApp("Versions", dir / "icon.png");
  const std::string infoPath = app + "/Contents/Info.plist";
  const plist::Dictionary original = *plist::readFile(infoPath)->asDictionary();
  using testing_support::arr;
  using testing_support::dict;
  struct Case {
    const char* what;
    std::optional<plist::Value> urlTypes;
    const char* field;
  };
  const std::vector<Case> cases = {
      {"no URL types", std::nullopt, " %F\n"},
      {"a scheme", plist::Value::array({dict({{"CFBundleURLSchemes", arr({"versions"})}})}),
       " %U\n"},
      {"a scheme in the second type",
       plist::Value::array({dict({{"CFBundleURLName", testing_support::str("none")}}),
                            dict({{"CFBundleURLSchemes", arr({"", "vers"})}})}),
       " %U\n"},
      {"only an empty scheme", plist::Value::array({dict({{"CFBundleURLSchemes", arr({""})}})}),
       " %F\n"},
      {"URL types of the wrong type", testing_support::str("versions"), " %F\n"},
  };
  for (const auto& c : cases) {
    plist::Dictionary info = original;
    if (c.urlTypes) info["CFBundleURLTypes"] = *c.urlTypes;
    writeFile(infoPath, plist::toXml(plist::Value::dictionary(info)));
    RunResult r = bundle({"desktop", app, "--out", "entry.desktop", "--force"});
    ASSERT_EQ(r.status, 0) << c.what << ": " << r.err;
    const std::string text = readFile(dir / "entry.desktop");
    const size_t exec = text.find("\nExec=");
    ASSERT_NE(exec, std::string::npos) << text;
    const std::string line = text.substr(exec + 1, text.find('\n', exec + 1) - exec);
    EXPECT_TRUE(line.ends_with(c.field)) << c.what << ": " << line;
  }
}

TEST_F(DesktopTest, InstallPutsEntryAndIconUnderTheDataHomeAndUninstallRemovesThem) {
  writeFile(dir / "icon.png", pngOf(512));
  const std::string app = makeApp("Versions", dir / "icon.png");
  RunResult installed = bundle({"desktop", app, "--install", "--categories", "Development"});
  ASSERT_EQ(installed.status, 0) << installed.err;
  const std::string entry = dir / "data/applications/com.example.versions.desktop";
  const std::string icon = dir / "data/icons/hicolor/512x512/apps/com.example.versions.png";
  EXPECT_TRUE(fs::exists(icon));
  const std::string text = readFile(entry);
  EXPECT_NE(text.find("Icon=com.example.versions\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Categories=Development;\n"), std::string::npos) << text;
  if (fs::exists(kValidator)) {
    EXPECT_EQ(run({kValidator, entry}).status, 0);
  }

  RunResult removed = bundle({"desktop", app, "--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(fs::exists(icon));
}

TEST_F(DesktopTest, WithoutXdgDataHomeTheEntryGoesUnderDotLocalShare) {
  writeFile(dir / "icon.png", pngOf(64));
  const std::string app = makeApp("Versions", dir / "icon.png");
  env["XDG_DATA_HOME"] = std::nullopt;
  ASSERT_EQ(bundle({"desktop", app, "--install"}).status, 0);
  EXPECT_TRUE(fs::exists(dir / "home/.local/share/applications/com.example.versions.desktop"));
  EXPECT_TRUE(fs::exists(dir / "home/.local/share/icons/hicolor/64x64/apps/com.example.versions.png"));
}

TEST_F(DesktopTest, AnExistingEntryIsKeptWithoutForce) {
  writeFile(dir / "icon.png", pngOf(32));
  const std::string app = makeApp("Versions", dir / "icon.png");
  writeFile(dir / "mine.desktop", "mine");
  RunResult r = bundle({"desktop", app, "--out", "mine.desktop"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(dir / "mine.desktop"), "mine");
  EXPECT_FALSE(fs::exists(dir / "mine.png"));
}

TEST(IconTest, PngWrappedAsIcnsComesBackAsThePng) {
  const std::string png = pngOf(256);
  const std::string icns = bundler::icnsFromPng(png);
  EXPECT_EQ(icns.substr(0, 4), "icns");
  EXPECT_EQ(icns.substr(8, 4), "ic08");
  EXPECT_EQ(bundler::largestPngInIcns(icns), png);
  EXPECT_EQ(bundler::largestPngInIcns("icns\0\0\0\x08"), std::nullopt);
}

}  // namespace
