// The progress window on a terminal: where no display can be opened, the status line and the
// progress bar go to standard error. On a terminal they share one line that is redrawn in place;
// into a file or pipe the status is written when it changes and the bar once per tenth, so that
// logs stay short.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/write_all.h"
#include "setupstub/progress_window.h"

namespace {

using platform::writeAll;

constexpr int kBarWidth = 20;

// The first `columns` characters of a UTF-8 text (continuation bytes take no column).
std::string cutToColumns(const std::string& text, int columns) {
  int used = 0;
  for (size_t i = 0; i < text.size(); i++) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && used++ == columns) {
      return text.substr(0, i);
    }
  }
  return text;
}

class TerminalProgressWindow : public ProgressWindow {
 public:
  TerminalProgressWindow(int fd, bool terminal, int columns)
      : fd_(fd), terminal_(terminal), columns_(std::max(columns, 20)) {}

  void setTitle(const std::string&) override {}
  void setIcon(const std::optional<std::string>&) override {}
  void setCancelTitle(const std::string&) override {}
  void startAnimation() override {}

  void setStatus(const std::string& text) override {
    if (text == status_) return;
    status_ = text;
    if (terminal_) return redraw();
    if (visible()) writeAll(fd_, status_ + "\n");
  }

  void setProgressText(const std::string& text) override {
    progressText_ = text;
    if (terminal_) redraw();
  }

  void setProgress(double value) override {
    value_ = std::clamp(value, 0.0, 100.0);
    if (terminal_) return redraw();
    int tenth = static_cast<int>(value_ / 10);
    if (tenth > lastTenth_ && !indeterminate_ && visible()) writeAll(fd_, barLine() + "\n");
    lastTenth_ = tenth;  // a new phase starting from 0 counts its tenths afresh
  }

  void setIndeterminate(bool indeterminate) override {
    indeterminate_ = indeterminate;
    if (terminal_) redraw();
  }

  void setCancelEnabled(bool enabled) override {
    cancelEnabled_ = enabled;
    // What comes next (the installer's own output) starts on a line of its own.
    if (!enabled) finishLine();
  }
  bool cancelEnabled() const override { return cancelEnabled_; }

  void close() override {
    finishLine();
    closed_ = true;
  }
  bool isClosed() const override { return closed_; }

  void activate() override {
    if (closed_ || shown_) return;
    shown_ = true;
    if (terminal_) return redraw();
    if (!status_.empty()) writeAll(fd_, status_ + "\n");
  }

 private:
  bool visible() const { return shown_ && !closed_; }

  std::string barLine() const {
    if (indeterminate_)
      return "[" + std::string(kBarWidth / 2 - 2, ' ') + "<=>" +
             std::string(kBarWidth - kBarWidth / 2 - 1, ' ') + "]";
    int filled = static_cast<int>(std::lround(value_ / 100 * kBarWidth));
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(value_));
    std::string line =
        "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " + percent;
    if (!progressText_.empty()) line += "  " + progressText_;
    return line;
  }

  void redraw() {
    if (!visible()) return;
    std::string line = status_.empty() ? barLine() : status_ + "  " + barLine();
    line = cutToColumns(line, columns_ - 1);
    if (lineOpen_ && line == lastLine_) return;
    lastLine_ = line;
    lineOpen_ = true;
    writeAll(fd_, "\r" + line + "\033[K");
  }

  void finishLine() {
    if (!lineOpen_) return;
    writeAll(fd_, "\n");
    lineOpen_ = false;
  }

  int fd_;
  bool terminal_;
  int columns_;
  std::string status_;
  std::string progressText_;
  double value_ = 0;
  bool indeterminate_ = false;
  bool cancelEnabled_ = true;
  bool closed_ = false;
  bool shown_ = false;
  bool lineOpen_ = false;
  std::string lastLine_;
  int lastTenth_ = 0;
};

}  // namespace

std::unique_ptr<ProgressWindow> makeTerminalProgressWindow(int fd, bool terminal, int columns) {
  return std::make_unique<TerminalProgressWindow>(fd, terminal, columns);
}
