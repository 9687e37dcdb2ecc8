// The debug-log switch: decided once per process from QUILLMARK_LOG being exactly "yes".
#include "launcher/global.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

using testing_support::ScopedEnv;

namespace {

std::string debugOutput(const std::optional<std::string>& setting) {
  ScopedEnv env("QUILLMARK_LOG", setting);
  qmk::resetLogStatusForTesting();
  testing::internal::CaptureStderr();
  DLOG("%s [Line %d] debug %@", std::string("line"));
  ALOG("%s [Line %d] always %d", 7);
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();
  return err;
}

TEST(DebugLog, OnlyTheExactValueYesTurnsDebugLinesOn) {
  struct Case {
    std::optional<std::string> value;
    bool on;
  } cases[] = {{std::nullopt, false}, {"", false},    {"YES", false}, {"1", false},
               {"yes ", false},       {"Yes", false}, {"yes", true}};
  for (const auto& c : cases) {
    std::string err = debugOutput(c.value);
    EXPECT_EQ(err.find("debug line") != std::string::npos, c.on) << c.value.value_or("(unset)");
    // Always-on lines appear whatever the setting.
    EXPECT_NE(err.find("always 7"), std::string::npos) << c.value.value_or("(unset)");
  }
}

TEST(DebugLog, LinesCarryTheFunctionAndLine) {
  std::string err = debugOutput("yes");
  EXPECT_NE(err.find("debugOutput("), std::string::npos) << err;
  EXPECT_NE(err.find(") [Line "), std::string::npos) << err;
}

TEST(DebugLog, TheDecisionIsTakenOnceAtTheFirstDebugLine) {
  ScopedEnv off("QUILLMARK_LOG", std::nullopt);
  qmk::resetLogStatusForTesting();
  testing::internal::CaptureStderr();
  DLOG("%s [Line %d] first");
  setenv("QUILLMARK_LOG", "yes", 1);
  DLOG("%s [Line %d] second");
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();
  EXPECT_EQ(err, "");
}

TEST(DebugLog, CCallersFormatStringsWithAtPlaceholders) {
  ScopedEnv env("QUILLMARK_LOG", "yes");
  qmk::resetLogStatusForTesting();
  testing::internal::CaptureStderr();
  // "%@" is no printf conversion, so the printf checking of the declaration objects to it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
  _DLog("%s [Line %d] value %@ and %d%%@", "fn", 3, "text", 5);
#pragma GCC diagnostic pop
  std::string err = testing::internal::GetCapturedStderr();
  qmk::resetLogStatusForTesting();
  EXPECT_NE(err.find("fn [Line 3] value text and 5%@"), std::string::npos) << err;
}

TEST(DebugLog, AnAbsentStringPrintsNull) {
  std::optional<std::string> absent;
  const char* none = nullptr;
  EXPECT_EQ(platform::format("%@ %s", absent, none), "(null) (null)");
}

}  // namespace
