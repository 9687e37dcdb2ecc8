// Expanding packed class libraries with a runtime's own tool. The tool here is a test script
// that really writes the .jar (a copy of the packed file) and removes the .pack on "-r"; it fails
// for a packed file that says FAIL, kills itself for one that says SIGNAL, and logs each call.
#include "launcher/Unpacker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/exception.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr const char* kTool = R"(#!/bin/sh
home=$(cd "$(dirname "$0")/.." && pwd)
echo "$*" >> "$home/calls.log"
remove=no
if [ "$1" = "-r" ]; then remove=yes; shift; fi
packed=$1
jar=$2
grep -q FAIL "$packed" && exit 3
grep -q SIGNAL "$packed" && kill -TERM $$
victim=$(sed -n 's/^remove //p' "$packed")
[ -n "$victim" ] && rm -f "$home/$victim"
cp "$packed" "$jar" || exit 1
[ $remove = yes ] && rm -f "$packed"
exit 0
)";

class UnpackerTest : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(home + "/bin/unpack200", kTool, 0755); }

  void pack(const std::string& relative, const std::string& content = "classes") {
    writeFile(home + "/" + relative, content);
  }

  // The packed files the tool was called for, relative to the home, in call order.
  std::vector<std::string> calls() {
    std::vector<std::string> result;
    std::istringstream in(readFile(home + "/calls.log"));
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string flag, packed, jar;
      words >> flag >> packed >> jar;
      EXPECT_EQ(flag, "-r");
      EXPECT_EQ(jar + ".pack", packed) << "the archive is the packed path without .pack";
      EXPECT_TRUE(packed.starts_with(home + "/")) << packed << " is not absolute in " << home;
      result.push_back(packed.substr(home.size() + 1));
    }
    return result;
  }

  bool unpack(std::vector<double>* seen = nullptr) {
    ProgressBlock progress;
    if (seen) {
      progress = [seen](const std::optional<std::string>& message, double percent) {
        EXPECT_FALSE(message);
        seen->push_back(percent);
      };
    }
    return Unpacker::unpack(home, progress);
  }

  TempDir tmp;
  std::string home = tmp / "jre";
};

TEST_F(UnpackerTest, NothingPackedStartsNoProcessAndReportsNoProgress) {
  makeDirectories(home + "/lib/ext");
  pack("lib/rt.jar");
  std::vector<double> seen;
  EXPECT_TRUE(unpack(&seen));
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(exists(home + "/calls.log"));

  // Not even a runtime directory: nothing to do either.
  EXPECT_TRUE(Unpacker::unpack(tmp / "nothing-here", nullptr));
}

TEST_F(UnpackerTest, ExpandsLibBeforeLibExtAndReportsEachQuarter) {
  pack("lib/ext/a.jar.pack", "ext-a");
  pack("lib/z.jar.pack", "z");
  pack("lib/b.jar.pack", "b");
  pack("lib/ext/c.jar.pack", "ext-c");
  std::vector<double> seen;
  EXPECT_TRUE(unpack(&seen));
  EXPECT_EQ(seen, (std::vector<double>{25, 50, 75, 100}));
  EXPECT_EQ(calls(), (std::vector<std::string>{"lib/b.jar.pack", "lib/z.jar.pack",
                                               "lib/ext/a.jar.pack", "lib/ext/c.jar.pack"}));
  EXPECT_EQ(readFile(home + "/lib/ext/a.jar"), "ext-a");
  EXPECT_EQ(readFile(home + "/lib/z.jar"), "z");
  EXPECT_FALSE(exists(home + "/lib/z.jar.pack"));

  // Everything was expanded and the packed files removed: a second run has nothing to do.
  seen.clear();
  EXPECT_TRUE(unpack(&seen));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(calls().size(), 4u);
}

TEST_F(UnpackerTest, AFailingToolStopsAtOnceAndLeavesTheRestPacked) {
  pack("lib/a.jar.pack");
  pack("lib/b.jar.pack", "FAIL");
  pack("lib/c.jar.pack");
  pack("lib/ext/d.jar.pack");
  std::vector<double> seen;
  EXPECT_FALSE(unpack(&seen));
  EXPECT_EQ(seen, std::vector<double>{25});
  EXPECT_TRUE(exists(home + "/lib/a.jar"));
  EXPECT_TRUE(exists(home + "/lib/c.jar.pack"));
  EXPECT_TRUE(exists(home + "/lib/ext/d.jar.pack"));
  EXPECT_EQ(calls().size(), 2u);
}

TEST_F(UnpackerTest, AToolEndedByASignalHasFailed) {
  pack("lib/a.jar.pack", "SIGNAL");
  EXPECT_FALSE(unpack());
}

TEST_F(UnpackerTest, OnlyLowerCasePackedFilesDirectlyInLibAndLibExtCount) {
  pack("lib/x.JAR.PACK");
  pack("lib/y.jar.pack.old");
  pack("lib/security/x.jar.pack");
  pack("lib/ext/deeper/x.jar.pack");
  pack("x.jar.pack");
  pack("lib/ok.jar.pack");
  EXPECT_TRUE(unpack());
  EXPECT_EQ(calls(), std::vector<std::string>{"lib/ok.jar.pack"});
  EXPECT_TRUE(exists(home + "/lib/x.JAR.PACK"));
  EXPECT_TRUE(exists(home + "/lib/security/x.jar.pack"));

  std::vector<std::string> list;
  platform::FileManager files;
  Unpacker::addPackedFiles(list, "lib/security", home, files);
  Unpacker::addPackedFiles(list, "lib/missing", home, files);
  EXPECT_EQ(list, std::vector<std::string>{"lib/security/x.jar.pack"});
}

TEST_F(UnpackerTest, AnEntryWhosePackedFileVanishedStillCountsForProgress) {
  pack("lib/a.jar.pack", "remove lib/b.jar.pack\n");
  pack("lib/b.jar.pack");
  std::vector<double> seen;
  EXPECT_TRUE(unpack(&seen));
  EXPECT_EQ(seen, (std::vector<double>{50, 100}));
  EXPECT_EQ(calls(), std::vector<std::string>{"lib/a.jar.pack"});
}

TEST_F(UnpackerTest, ARelativeRuntimeDirectoryGivesTheToolAbsolutePaths) {
  pack("lib/a.jar.pack");
  ScopedCurrentDirectory cwd(tmp.path());
  EXPECT_TRUE(Unpacker::unpack("jre", nullptr));
  EXPECT_EQ(calls(), std::vector<std::string>{"lib/a.jar.pack"});  // calls() checks the prefix
}

TEST_F(UnpackerTest, AMissingToolRaises) {
  pack("lib/a.jar.pack");
  std::filesystem::remove(home + "/bin/unpack200");
  EXPECT_THROW(unpack(), platform::Exception);
  writeFile(home + "/bin/unpack200", kTool, 0644);
  EXPECT_THROW(unpack(), platform::Exception) << "not executable";
}

TEST_F(UnpackerTest, AnExceptionFromTheProgressCallbackStopsTheExpansion) {
  pack("lib/a.jar.pack");
  pack("lib/b.jar.pack");
  auto cancel = [](const std::optional<std::string>&, double) {
    throw platform::Exception("QuillmarkCancelled", "cancelled");
  };
  EXPECT_THROW(Unpacker::unpack(home, cancel), platform::Exception);
  EXPECT_EQ(calls().size(), 1u);
  EXPECT_TRUE(exists(home + "/lib/b.jar.pack"));
}

}  // namespace
