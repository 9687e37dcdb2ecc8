#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "setupstub/progress_window.h"

namespace {

// A terminal window writing into a pipe the test reads back.
class Captured {
 public:
  explicit Captured(bool terminal, int columns = 200) {
    EXPECT_EQ(::pipe2(fds_, O_NONBLOCK), 0);
    window = makeTerminalProgressWindow(fds_[1], terminal, columns);
  }
  ~Captured() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  // Everything written since the last call.
  std::string take() {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }
  std::unique_ptr<ProgressWindow> window;

 private:
  int fds_[2];
};

TEST(TerminalWindow, IntoALogStatusLinesAndOneBarLinePerTenth) {
  Captured c(/*terminal=*/false);
  ProgressWindow& w = *c.window;
  w.setTitle("Setup");
  w.setStatus("Preparing Demo");
  EXPECT_EQ(c.take(), "") << "nothing before the window is shown";
  w.activate();
  EXPECT_EQ(c.take(), "Preparing Demo\n");
  w.setStatus("Downloading Demo");
  EXPECT_EQ(c.take(), "Downloading Demo\n");
  for (double v : {0.0, 3.0, 9.9}) w.setProgress(v);
  EXPECT_EQ(c.take(), "");
  w.setProgressText("1.5 of 10.0 MiB");
  w.setProgress(15);
  EXPECT_EQ(c.take(), "[###.................]  15%  1.5 of 10.0 MiB\n");
  w.setProgress(19);
  w.setProgress(42);
  w.setProgress(100);
  w.setProgress(130);  // past the end: still the last line
  EXPECT_EQ(c.take(),
            "[########............]  42%  1.5 of 10.0 MiB\n"
            "[####################] 100%  1.5 of 10.0 MiB\n");
  w.setProgressText("");
  w.setProgress(0);  // a new phase counts its tenths afresh
  w.setProgress(10);
  EXPECT_EQ(c.take(), "[##..................]  10%\n");
  w.setIndeterminate(true);
  w.startAnimation();
  w.setProgress(50);
  w.setCancelEnabled(false);
  w.close();
  w.setStatus("after close");
  EXPECT_EQ(c.take(), "");
}

TEST(TerminalWindow, ClosedAtStartShowsNothingAtAll) {
  Captured c(/*terminal=*/true);
  c.window->close();
  c.window->setStatus("Preparing");
  c.window->activate();
  c.window->setProgress(50);
  c.window->setCancelEnabled(false);
  EXPECT_EQ(c.take(), "");
}

TEST(TerminalWindow, OnATerminalOneLineRedrawnInPlace) {
  Captured c(/*terminal=*/true, /*columns=*/40);
  ProgressWindow& w = *c.window;
  w.setStatus("Preparing");
  w.activate();
  EXPECT_EQ(c.take(), "\rPreparing  [....................]   0%\033[K");
  w.setProgress(0.1);  // renders the same: not written again
  EXPECT_EQ(c.take(), "");
  w.setProgress(50);
  EXPECT_EQ(c.take(), "\rPreparing  [##########..........]  50%\033[K");
  w.setProgressText("a long progress text that does not fit");
  EXPECT_EQ(c.take(), "\rPreparing  [##########..........]  50% \033[K") << "cut to the width";
  w.setIndeterminate(true);
  EXPECT_EQ(c.take(), "\rPreparing  [        <=>         ]\033[K");
  // Once Cancel is gone the installer's own output follows on a fresh line.
  w.setCancelEnabled(false);
  EXPECT_EQ(c.take(), "\n");
  w.close();
  EXPECT_EQ(c.take(), "");
}

TEST(TerminalWindow, CancelActsOnlyWhileEnabled) {
  Captured c(/*terminal=*/true);
  int presses = 0;
  c.window->setCancelAction([&] {
    presses++;
    c.window->setCancelEnabled(false);
  });
  c.window->performCancel();
  c.window->performCancel();
  EXPECT_EQ(presses, 1);
}

}  // namespace
