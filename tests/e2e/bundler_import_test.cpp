// qmk-bundle import on Info.plists of other launchers, written from those keys' public
// descriptions: the converted bundle starts with the real runtime and the application gets what
// the old launcher gave it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

const std::string kJdk = QMK_JAVA_HOME;
const std::string kTool = QMK_BIN_DIR "/qmk-bundle";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class BundlerImportTest : public ::testing::Test {
 protected:
  // A bundle around appstub with the probe's jar in `javaFolder` and `info` as its Info.plist.
  std::string makeForeignBundle(const std::string& name, const std::string& javaFolder,
                                const plist::Value& info) {
    std::string bundle = makeAppBundle(tmp.path(), name + ".app", info);
    fs::copy_file(QMK_APPSTUB, bundle + "/Contents/MacOS/" + name);
    fs::permissions(bundle + "/Contents/MacOS/" + name, fs::perms::owner_all);
    makeDirectories(bundle + "/" + javaFolder);
    auto jar = run({kJdk + "/bin/jar", "--create", "--file", bundle + "/" + javaFolder + "/probe.jar",
                    "-C", QMK_JAVA_CLASSES, "Probe.class"});
    EXPECT_EQ(jar.status, 0) << jar.err;
    return bundle;
  }
  RunResult importInPlace(const std::string& bundle) {
    const std::string plist = bundle + "/Contents/Info.plist";
    return run({kTool, "import", plist, "--out", plist, "--force"});
  }
  plist::Value imported(const std::string& bundle) {
    auto value = plist::readFile(bundle + "/Contents/Info.plist");
    return value ? *value : plist::Value();
  }
  TempDir tmp;
};

TEST_F(BundlerImportTest, EachForeignFormStartsAfterImport) {
  struct Case {
    const char* name;
    const char* javaFolder;
    plist::Value info;
  };
  // The dictionary form of the old system launcher and of the shell-script launcher ("JavaX"):
  // options as one string split at blanks, properties, arguments, $JAVAROOT.
  auto dictionaryForm = [](const char* key) {
    return dict({{"CFBundleName", str("Old")},
                 {key, dict({{"MainClass", str("Probe")},
                             {"ClassPath", arr({"$JAVAROOT/probe.jar"})},
                             {"VMOptions", str("-Xmx64m  -Dprobe.props=old.a,old.b")},
                             {"Properties", dict({{"old.a", str("$APP_PACKAGE")},
                                                  {"old.b", str("two words")}})},
                             {"JVMVersion", str("1.8+")},
                             {"WorkingDirectory", str("$APP_PACKAGE/Contents")},
                             {"Arguments", str("first exit=7")},
                             {"StartOnMainThread", plist::Value::boolean(true)}})}});
  };
  const Case cases[] = {
      {"Java", "Contents/Resources/Java", dictionaryForm("Java")},
      {"JavaX", "Contents/Resources/Java", dictionaryForm("JavaX")},
      // The top-level keys of the Ant-task bundler: every jar of Contents/Java by default.
      {"TopLevel", "Contents/Java",
       dict({{"CFBundleName", str("Old")},
             {"JVMMainClassName", str("Probe")},
             {"JVMOptions", arr({"-Dprobe.props=old.a,old.b", "-Dold.a=$APP_ROOT",
                                 "-Dold.b=two words"})},
             {"JVMArguments", arr({"first", "exit=7"})},
             {"JVMVersion", str("1.8+")}})},
  };
  for (const Case& c : cases) {
    const std::string bundle = makeForeignBundle(c.name, c.javaFolder, c.info);
    auto converted = importInPlace(bundle);
    ASSERT_EQ(converted.status, 0) << c.name << converted.err;
    EXPECT_TRUE(contains(converted.err, "kept: CFBundleName")) << c.name << converted.err;
    EXPECT_TRUE(contains(converted.err, "-> qmk.minVersion = 1.8")) << c.name << converted.err;
    plist::Value info = imported(bundle);
    EXPECT_EQ(info["qmk.minVersion"], str("1.8")) << c.name;
    EXPECT_TRUE(info["JavaVM"].isDictionary()) << c.name;
    EXPECT_TRUE(info[c.name].isNull()) << c.name << " is gone once mapped";

    auto started = run({bundle + "/Contents/MacOS/" + std::string(c.name)});
    EXPECT_EQ(started.status, 7) << c.name << started.err;
    EXPECT_TRUE(contains(started.out, "arg[0]=first\narg[1]=exit=7\n")) << c.name << started.out;
    EXPECT_TRUE(contains(started.out, "prop:old.a=" + bundle + "\n")) << c.name << started.out;
    EXPECT_TRUE(contains(started.out, "prop:old.b=two words\n")) << c.name << started.out;
    EXPECT_TRUE(contains(started.out, "prop:java.class.path=" + bundle + "/" + c.javaFolder +
                                          "/probe.jar\n"))
        << c.name << started.out;
    if (std::string(c.name) != "TopLevel") {
      EXPECT_TRUE(contains(started.out, "prop:user.dir=" + bundle + "/Contents\n")) << started.out;
    }
  }
}

TEST_F(BundlerImportTest, VersionsBecomeBounds) {
  struct Case {
    const char* jvmVersion;
    std::optional<std::string> min, max;
  };
  const Case cases[] = {
      {"1.6+", "1.6", std::nullopt},         {"1.8*", "1.8", "1.8"},
      {"1.7.0_40+", "1.7.0_40", std::nullopt}, {"11", "11", "11"},
      {"1.6* 1.7*", "1.6", "1.7"},           {"1.6* 1.8+", "1.6", std::nullopt},
      {"latest", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    writeFile(tmp / "in.plist", plist::toXml(dict({{"JVMVersion", str(c.jvmVersion)}})));
    auto r = run({kTool, "import", tmp / "in.plist"});
    EXPECT_EQ(r.status, 0) << c.jvmVersion << r.err;
    auto out = plist::parse(r.out);
    ASSERT_TRUE(out) << r.out;
    EXPECT_EQ((*out)["qmk.minVersion"].stringValue(), c.min) << c.jvmVersion;
    EXPECT_EQ((*out)["qmk.maxVersion"].stringValue(), c.max) << c.jvmVersion;
    if (!c.min) {
      EXPECT_TRUE(contains(r.err, "not mapped: JVMVersion")) << r.err;
    }
  }
}

TEST_F(BundlerImportTest, WhatCannotBeMappedIsKeptAndNamed) {
  writeFile(tmp / "in.plist",
            plist::toXml(dict({{"Java", dict({{"MainClass", str("a.Main")},
                                              {"JVMArchs", arr({"x86_64"})},
                                              {"ClassPath", str("$USER_HOME/lib.jar")}})},
                               {"JVMRuntime", str("jdk-17.jdk")},
                               {"CFBundleIdentifier", str("com.example.old")}})));
  auto r = run({kTool, "import", tmp / "in.plist"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "not mapped: Java/JVMArchs")) << r.err;
  EXPECT_TRUE(contains(r.err, "not mapped: $USER_HOME in Java/ClassPath")) << r.err;
  auto out = plist::parse(r.out);
  ASSERT_TRUE(out);
  EXPECT_EQ((*out)["Java"]["JVMArchs"], arr({"x86_64"}));
  EXPECT_TRUE((*out)["Java"]["MainClass"].isNull());
  EXPECT_EQ((*out)["CFBundleIdentifier"], str("com.example.old"));
  EXPECT_EQ((*out)["JavaVM"]["SearchSequence"],
            arr({"R$APP_PACKAGE/Contents/PlugIns/jdk-17.jdk", "Y"}));
}

TEST_F(BundlerImportTest, NeverReplacesAFileUnlessForcedAndRefusesBadInput) {
  writeFile(tmp / "in.plist", plist::toXml(dict({{"JVMMainClassName", str("a.Main")}})));
  writeFile(tmp / "out.plist", "precious");
  auto refused = run({kTool, "import", tmp / "in.plist", "--out", tmp / "out.plist"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(contains(refused.err, "--force")) << refused.err;
  EXPECT_EQ(readFile(tmp / "out.plist"), "precious");
  auto forced = run({kTool, "import", tmp / "in.plist", "--out", tmp / "out.plist", "--force"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ((*plist::readFile(tmp / "out.plist"))["JavaVM"]["MainClass"], str("a.Main"));

  writeFile(tmp / "bad.plist", "<plist><dict><key>a</key></plist>");
  auto bad = run({kTool, "import", tmp / "bad.plist", "--out", tmp / "new.plist"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(contains(bad.err, tmp / "bad.plist")) << bad.err;
  EXPECT_FALSE(exists(tmp / "new.plist"));
  EXPECT_EQ(run({kTool, "import"}).status, 2);
  EXPECT_EQ(run({kTool, "import", tmp / "in.plist", "--bogus"}).status, 2);
}

}  // namespace
