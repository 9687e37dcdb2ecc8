// Stop-level notices: a line on standard error, and in a graphical session a dialog in a process
// of its own that outlives nobody's patience: it is detached and never waited for.
#include "platform/notice.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/file_manager.h"
#include "platform/write_all.h"

namespace platform {

namespace {

enum class DialogTool { Zenity, KDialog, XMessage };

struct Dialog {
  std::string path;
  std::vector<std::string> arguments;  // argv, element 0 the program
  std::string input;                   // written to the dialog's standard input
};

// One line, whatever the message holds.
std::string stderrLine(const std::optional<std::string>& header, const std::string& message) {
  std::string line = header && !header->empty() ? *header + ": " + message : message;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line + "\n";
}

// Dialog texts travel as arguments or through a pipe written before the dialog starts; both have
// limits (an argument's length, the pipe's buffer), and past them the dialog shows a cut-off text
// or none at all. A few KiB is more than any dialog shows legibly; the stderr line keeps it all.
constexpr size_t kDialogTextLimit = 4096;

// The text cut at a character boundary to the limit, with an ellipsis where it was cut.
std::string dialogText(const std::string& text) {
  if (text.size() <= kDialogTextLimit) return text;
  const std::string ellipsis = "\u2026";
  size_t end = kDialogTextLimit - ellipsis.size();
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + ellipsis;
}

bool graphicalSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::optional<std::string> findOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = joinPath(dir.empty() ? "." : dir, name);
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<Dialog> chooseDialog(const std::optional<std::string>& fullHeader,
                                   const std::string& fullMessage) {
  const std::optional<std::string> header =
      fullHeader ? std::optional(dialogText(*fullHeader)) : std::nullopt;
  const std::string message = dialogText(fullMessage);
  std::string title = header.value_or(program_invocation_short_name);
  if (auto zenity = findOnPath("zenity")) {
    return Dialog{
        *zenity, {"zenity", "--error", "--no-markup", "--title=" + title, "--text=" + message}, ""};
  }
  if (auto kdialog = findOnPath("kdialog")) {
    return Dialog{*kdialog, {"kdialog", "--title", title, "--error", message}, ""};
  }
  if (auto xmessage = findOnPath("xmessage")) {
    // The text goes through standard input: as arguments, words of it could pass for options.
    return Dialog{*xmessage,
                  {"xmessage", "-center", "-buttons", "OK", "-title", title, "-file", "-"},
                  header ? *header + "\n\n" + message + "\n" : message + "\n"};
  }
  return std::nullopt;
}

void closeInheritedDescriptors() {
  if (::close_range(3, ~0U, 0) == 0) return;
  long max = ::sysconf(_SC_OPEN_MAX);
  for (int fd = 3; fd < (max > 0 ? max : 1024); ++fd) ::close(fd);
}

// Starts the dialog as a grandchild that belongs to a session of its own. The intermediate child
// ends at once and is reaped here, so the dialog is never our child: no zombie, no wait. Between
// fork and exec only async-signal-safe calls are made (other threads may hold locks).
void spawnDetached(const Dialog& dialog) {
  std::vector<char*> argv;
  for (const auto& a : dialog.arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull < 0) return;
  int input[2] = {-1, -1};
  if (!dialog.input.empty()) {
    if (::pipe2(input, O_CLOEXEC | O_NONBLOCK) != 0) {
      ::close(devNull);
      return;
    }
    // Written before the dialog exists, while our own read end keeps the pipe open: a dialog
    // that dies early can then never raise SIGPIPE here. The text fits the pipe's buffer.
    writeAll(input[1], dialog.input);
    ::close(input[1]);
    int flags = ::fcntl(input[0], F_GETFL);
    ::fcntl(input[0], F_SETFL, flags & ~O_NONBLOCK);
  }
  sigset_t empty;
  sigemptyset(&empty);
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);

  pid_t child = ::fork();
  if (child == 0) {
    if (::fork() == 0) {
      ::setsid();
      ::dup2(input[0] >= 0 ? input[0] : devNull, STDIN_FILENO);
      ::dup2(devNull, STDOUT_FILENO);
      ::dup2(devNull, STDERR_FILENO);
      closeInheritedDescriptors();
      ::sigaction(SIGPIPE, &defaultAction, nullptr);
      ::sigprocmask(SIG_SETMASK, &empty, nullptr);
      ::execve(dialog.path.c_str(), argv.data(), environ);
      ::_exit(127);
    }
    ::_exit(0);
  }
  ::close(devNull);
  if (input[0] >= 0) ::close(input[0]);
  if (child > 0) {
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

void showStopNotice(const std::optional<std::string>& header, const std::string& message) {
  writeAll(STDERR_FILENO, stderrLine(header, message));
  if (!graphicalSession()) return;
  if (auto dialog = chooseDialog(header, message)) spawnDetached(*dialog);
}

}  // namespace platform
