// The installer's progress window: title, icon, status line, progress bar, progress line and a
// Cancel button. Two backends: a GTK 3 window, and the terminal (standard error) when no display
// can be opened. Every method runs on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;

  virtual void setTitle(const std::string& title) = 0;
  // An image file (.icns, .png, ...); none leaves the icon empty.
  virtual void setIcon(const std::optional<std::string>& imagePath) = 0;
  virtual void setStatus(const std::string& text) = 0;        // the status line
  virtual void setProgressText(const std::string& text) = 0;  // the progress line
  // Bar value in 0..100. Setting a value does not leave the indeterminate state.
  virtual void setProgress(double value) = 0;
  virtual void setIndeterminate(bool indeterminate) = 0;
  // Animates an indeterminate bar.
  virtual void startAnimation() = 0;
  virtual void setCancelTitle(const std::string& title) = 0;
  virtual void setCancelEnabled(bool enabled) = 0;
  virtual bool cancelEnabled() const = 0;
  // Closes the window for good: nothing of it is shown afterwards.
  virtual void close() = 0;
  virtual bool isClosed() const = 0;
  // Shows the window (unless closed) and brings it to the front.
  virtual void activate() = 0;

  // What the Cancel button does. Closing the window and Ctrl-C do the same while Cancel is
  // enabled.
  void setCancelAction(std::function<void()> action) { cancelAction_ = std::move(action); }
  // A press of Cancel: runs the action when Cancel is enabled.
  void performCancel() {
    if (cancelEnabled() && cancelAction_) cancelAction_();
  }

 private:
  std::function<void()> cancelAction_;
};

// The GTK window; call only after GTK was initialised (see gtk_api.h).
std::unique_ptr<ProgressWindow> makeGtkProgressWindow();

// The terminal form on file descriptor `fd`: with `terminal` one line updated in place, cut to
// `columns`; otherwise a line for the status and one for each tenth of progress.
std::unique_ptr<ProgressWindow> makeTerminalProgressWindow(int fd, bool terminal, int columns);
