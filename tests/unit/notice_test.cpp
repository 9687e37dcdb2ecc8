// Stop notices: always a line on standard error; in a graphical session also a detached dialog.
#include "platform/notice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_support.h"

using namespace testing_support;

namespace {

// Captures what is written to standard error while it lives.
class CapturedStderr {
 public:
  explicit CapturedStderr(std::string file) : file_(std::move(file)) {
    saved_ = ::dup(STDERR_FILENO);
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~CapturedStderr() { restore(); }
  std::string text() {
    restore();
    return readFile(file_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }
  std::string file_;
  int saved_ = -1;
};

// A stand-in dialog: once the test lets it go, it records its arguments and its input.
std::string fakeDialog(const std::string& log) {
  return "#!/bin/sh\n"
         "i=0; while [ ! -e \"" +
         log +
         ".go\" ] && [ $i -lt 600 ]; do /bin/sleep 0.05; i=$((i+1)); done\n"
         "{ printf '%s\\n' \"$(/usr/bin/basename \"$0\")\" \"$@\"; /bin/cat; } > \"" +
         log +
         ".tmp\"\n"
         "/bin/mv \"" +
         log + ".tmp\" \"" + log + "\"\n";
}

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 400 && !exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return exists(path);
}

class NoticeTest : public ::testing::Test {
 protected:
  void tool(const std::string& name) {
    writeFile(tmp / ("bin/" + name), fakeDialog(tmp / "dialog"), 0755);
  }

  // Shows a notice with only the fake tools on PATH and returns the standard error text.
  std::string show(const std::optional<std::string>& display,
                   const std::optional<std::string>& header, const std::string& message) {
    ScopedEnv path("PATH", tmp / "bin");
    ScopedEnv x("DISPLAY", display);
    ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    CapturedStderr err(tmp / "stderr");
    platform::showStopNotice(header, message);
    return err.text();
  }

  // Lets the dialog run and returns what it recorded.
  std::string dialogRecord() {
    writeFile(tmp / "dialog.go", "");
    if (!waitForFile(tmp / "dialog")) return "<no dialog>";
    return readFile(tmp / "dialog");
  }

  TempDir tmp;
};

TEST_F(NoticeTest, WithoutADisplayOnlyTheLineIsWritten) {
  tool("zenity");
  EXPECT_EQ(show(std::nullopt, std::string("Demo"), "It failed.\nReally."),
            "Demo: It failed. Really.\n");
  EXPECT_EQ(show(std::string(""), std::nullopt, "No header"), "No header\n");
  // Nothing was started: no child exists to be reaped.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(NoticeTest, DialogIsDetachedAndNeverWaitedFor) {
  tool("zenity");
  tool("kdialog");
  // The fake dialog blocks until released: returning at all shows the notice did not wait.
  EXPECT_EQ(show(std::string(":99"), std::string("Demo"), "<b>It</b> failed"),
            "Demo: <b>It</b> failed\n");
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the dialog must not be our child";
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(dialogRecord(),
            "zenity\n--error\n--no-markup\n--title=Demo\n--text=<b>It</b> failed\n");
}

TEST_F(NoticeTest, KdialogWhenThereIsNoZenity) {
  tool("kdialog");
  tool("xmessage");
  show(std::string(":99"), std::string("Demo"), "-dash first");
  EXPECT_EQ(dialogRecord(), "kdialog\n--title\nDemo\n--error\n-dash first\n");
}

TEST_F(NoticeTest, XmessageReadsTheTextFromItsInput) {
  tool("xmessage");
  show(std::string(":99"), std::string("Demo"), "-geometry 1x1 is text");
  EXPECT_EQ(
      dialogRecord(),
      "xmessage\n-center\n-buttons\nOK\n-title\nDemo\n-file\n-\nDemo\n\n-geometry 1x1 is text\n");
}

// Texts past what a pipe or an argument takes reach the dialog cut at a character boundary, for
// every tool; the line on standard error keeps them whole.
TEST_F(NoticeTest, LongTextsAreCutForTheDialogOnly) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "\xC3\xA9";
  const std::string cut = text.substr(0, 4092) + "\xE2\x80\xA6";
  for (const char* name : {"zenity", "kdialog", "xmessage"}) {
    SCOPED_TRACE(name);
    std::filesystem::remove_all(tmp / "bin");
    std::filesystem::remove(tmp / "dialog");
    std::filesystem::remove(tmp / "dialog.go");
    tool(name);
    EXPECT_EQ(show(std::string(":99"), text, text), text + ": " + text + "\n");
    const std::string record = dialogRecord();
    EXPECT_LT(record.size(), 13000u);  // xmessage shows the header twice
    const size_t header = record.find(cut);
    ASSERT_NE(header, std::string::npos);
    EXPECT_NE(record.find(cut, header + cut.size()), std::string::npos) << "the message";
    EXPECT_EQ(record.find("\xC3\xE2"), std::string::npos) << "cut inside a character";
  }
}

TEST_F(NoticeTest, NoToolMeansOnlyTheLine) {
  makeDirectories(tmp / "bin");
  EXPECT_EQ(show(std::string(":99"), std::string("Demo"), "text"), "Demo: text\n");
}

}  // namespace
