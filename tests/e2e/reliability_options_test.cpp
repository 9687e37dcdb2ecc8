// Reliability scenarios for options files: hostile or broken inputs handed to the launch core,
// each checked for what must hold (reading ends, reports the fault, loses nothing). Each scenario
// records a figure line (support/reliability.h).
#include <gtest/gtest.h>

#include <filesystem>

#include "launcher/Launcher.h"
#include "support/reliability.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// ---- Options files ---------------------------------------------------------------------------

class OptionsReliability : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = makeAppBundle(tmp / "Apps", "Foo.app", dict({}));
    launcher = std::make_unique<Launcher>(
        makeContext(bundle, platform::SystemLayout::forLinux(), {"prog"}, tmp.path()));
  }

  struct Reading {
    std::vector<std::string> options;
    OptionalString classPath;
    std::string log;
  };
  Reading read(const std::string& path) {
    Reading r;
    ::testing::internal::CaptureStderr();
    r.classPath = launcher->readOptionsFile(path, r.options, std::nullopt, bundle);
    r.log = ::testing::internal::GetCapturedStderr();
    return r;
  }

  TempDir tmp;
  std::string bundle;
  std::unique_ptr<Launcher> launcher;
};

TEST_F(OptionsReliability, CyclicIncludesAreReadOnceAndLogged) {
  writeFile(tmp / "a.vmoptions",
            "-Da\n-include-options b.vmoptions\n-include-options a.vmoptions\n-Da2");
  writeFile(tmp / "b.vmoptions", "-Db\n-include-options ./a.vmoptions\n-Db2");
  Reading r = read(tmp / "a.vmoptions");
  EXPECT_EQ(r.options, (std::vector<std::string>{"-Da", "-Db", "-Db2", "-Da2"}));
  EXPECT_EQ(count(r.log, "includes itself"), 2u) << r.log;
  figure("Options", "a includes b and itself, b includes a",
         "each file read once, its options in order; each repeated include skipped with one "
         "log line (2)",
         "all 4 options kept, in order");
}

TEST_F(OptionsReliability, ATenThousandDeepChainStopsAtTheDepthLimit) {
  for (int i = 0; i < 10000; ++i) {
    writeFile(tmp / ("chain/" + std::to_string(i)),
              "-D" + std::to_string(i) + "\n-include-options " + std::to_string(i + 1));
  }
  Reading r = read(tmp / "chain/0");
  ASSERT_EQ(r.options.size(), 64u);
  EXPECT_EQ(r.options.front(), "-D0");
  EXPECT_EQ(r.options.back(), "-D63");
  EXPECT_EQ(count(r.log, "nested more than 64 deep"), 1u) << r.log;
  figure("Options", "a chain of 10,000 files, each including the next",
         "the first 64 files read (options -D0 to -D63 in order); the 65th skipped with one log "
         "line naming it; the stack stays shallow",
         "the 64 options read are kept, in order");
}

TEST_F(OptionsReliability, IncludesThatMultiplyStopAtTheReadingBudget) {
  for (int i = 0; i < 40; ++i) {
    const std::string next = std::to_string(i + 1);
    writeFile(tmp / ("fan/" + std::to_string(i)), "-D" + std::to_string(i) + "\n-include-options " +
                                                      next + "\n-include-options " + next);
  }
  writeFile(tmp / "fan/40", "-D40");
  Reading r = read(tmp / "fan/0");
  EXPECT_EQ(r.options.size(), 1000u);
  EXPECT_EQ(count(r.log, "includes after it"), 1u) << r.log;
  figure("Options", "40 files, each including the next twice (2^40 reads unchecked)",
         "1000 files read, then the rest skipped with one log line",
         "1000 options, one per file read");
}

TEST_F(OptionsReliability, MegabyteLinesArriveWhole) {
  const std::string option = "-Dbig=" + std::string(1 << 20, 'x');
  const std::string classPath = std::string(1 << 20, 'c') + ".jar";
  writeFile(tmp / "big.vmoptions", option + "\n-classpath " + classPath + "\n" + option + "\r\n");
  Reading r = read(tmp / "big.vmoptions");
  ASSERT_EQ(r.options.size(), 2u);
  EXPECT_EQ(r.options[0], option);
  EXPECT_EQ(r.options[1], option);
  EXPECT_EQ(r.classPath, classPath);
  figure("Options", "three 1 MiB lines (two options, one class path; LF and CR LF ends)",
         "each arrives whole and unchanged (1,048,582 and 1,048,580 bytes)",
         "no byte lost or added");
}

}  // namespace
