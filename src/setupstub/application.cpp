#include "setupstub/application.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "launcher/Launcher.h"
#include "setupstub/AppDelegate.h"
#include "setupstub/main_queue.h"
#include "setupstub/progress_window.h"

namespace {

int terminalColumns(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

void startShell(AppDelegate& delegate, ProgressWindow& window) {
  window.setCancelAction([&delegate] { delegate.cancel(); });
  delegate.applicationWillFinishLaunching();
  delegate.applicationDidFinishLaunching();
}

gboolean onInterrupt(gpointer window) {
  static_cast<ProgressWindow*>(window)->performCancel();
  return G_SOURCE_CONTINUE;
}

[[noreturn]] void runInWindow(LaunchContext context) {
  GlibMainQueue mainQueue;
  std::unique_ptr<ProgressWindow> window = makeGtkProgressWindow();
  AppDelegate delegate(std::move(context), *window, mainQueue);
  g_unix_signal_add(SIGINT, onInterrupt, window.get());
  startShell(delegate, *window);
  mainQueue.run();
}

[[noreturn]] void runInTerminal(LaunchContext context) {
  RunLoop mainQueue;
  std::unique_ptr<ProgressWindow> window = makeTerminalProgressWindow(
      STDERR_FILENO, ::isatty(STDERR_FILENO) == 1, terminalColumns(STDERR_FILENO));
  AppDelegate delegate(std::move(context), *window, mainQueue);
  mainQueue.setInterruptHandler([&window] { window->performCancel(); });
  startShell(delegate, *window);
  mainQueue.run();
  AppDelegate::exitProcess(1);  // the loop runs until the worker ends the process
}

}  // namespace

void runApplication(int argc, char** argv) {
  // Forwarding input to an installer that stopped reading must not end the launcher.
  ::signal(SIGPIPE, SIG_IGN);
  LaunchContext context = LaunchContext::fromProcess(argc, argv);
  // The working directory and LANG of the launch parameters go to the installer child: this
  // process has a window thread that must not see them change.
  context.applyProcessSettings = false;
  // Numbers in the progress line keep "." whatever the user's locale.
  gtk_disable_setlocale();
  if (gtk_init_check(nullptr, nullptr)) runInWindow(std::move(context));
  runInTerminal(std::move(context));
}
