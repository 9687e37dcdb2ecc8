#include "setupstub/application.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "launcher/Launcher.h"
#include "platform/environment.h"
#include "setupstub/AppDelegate.h"
#include "setupstub/gtk_api.h"
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

// GTK, loaded and connected to a display; null where no window can be opened.
const GtkApi* openDisplay() {
  // Without a graphical session GTK is not even loaded.
  auto set = [](const char* name) {
    return !platform::environmentValue(name).value_or("").empty();
  };
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY")) return nullptr;
  const GtkApi* gtk = gtkApi();
  if (!gtk) return nullptr;
  // Numbers in the progress line keep "." whatever the user's locale.
  gtk->gtk_disable_setlocale();
  return gtk->gtk_init_check(nullptr, nullptr) ? gtk : nullptr;
}

[[noreturn]] void runInWindow(LaunchContext context, const GtkApi& gtk) {
  GlibMainQueue mainQueue;
  std::unique_ptr<ProgressWindow> window = makeGtkProgressWindow();
  AppDelegate delegate(std::move(context), *window, mainQueue);
  gtk.g_unix_signal_add(SIGINT, onInterrupt, window.get());
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
  if (const GtkApi* gtk = openDisplay()) runInWindow(std::move(context), *gtk);
  runInTerminal(std::move(context));
}
