// The startup cache's builder: a detached process that waits for the creating start to end,
// then has the runtime dump an archive of the classes that start loaded and renames it into
// place once it is complete.
//
// The launcher never regains control after handing over to the runtime (System.exit ends the
// process inside it), so the builder learns of the end from a pipe whose only writer is the
// starting process: end of file means the application is gone.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "launcher/global.h"
#include "launcher/startup_cache.h"

extern char** environ;

namespace qmk::cache {
namespace {

constexpr int kWaitFd = 3;

void waitForEndOfFile(int fd) {
  char buffer[64];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EINTR)) return;
  }
}

// A start that was killed may have left half a line; the dump would stop at it.
void dropUnfinishedLine(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  off_t size = lseek(fd, 0, SEEK_END);
  off_t end = size;
  char c = 0;
  while (end > 0 && pread(fd, &c, 1, end - 1) == 1 && c != '\n') end--;
  if (end != size && ftruncate(fd, end) != 0) end = size;
  close(fd);
}

int runAndWait(const std::vector<std::string>& command) {
  std::vector<char*> argv;
  for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Holds the folder's lock: one build at a time per application, and no rename while another
// builder looks for the archive it would replace.
class FolderLock {
 public:
  explicit FolderLock(const std::string& directory)
      : fd_(open((directory + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

void placeArchive(const CacheBuild& build) {
  // The runtime writes archives read-only; the owner may replace them.
  chmod(build.temporaryArchive.c_str(), 0600);
  struct stat st {};
  if (stat(build.temporaryArchive.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !hasArchiveHeader(build.temporaryArchive)) {
    return;
  }
  const int64_t modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                           st.st_mtim.tv_nsec;
  const std::string name = archiveName(build.runtimeTag, build.key,
                                       static_cast<uint64_t>(st.st_size), modified);
  if (rename(build.temporaryArchive.c_str(), (build.directory + "/" + name).c_str()) == 0) {
    removeOtherArchives(build.directory, build.standInBase, build.runtimeTag, name);
  }
}

bool alreadyBuilt(const CacheBuild& build) {
  return findArchive(build.directory, build.runtimeTag, build.key, true) &&
         (!build.standIns || standInsInPlace(*build.standIns));
}

// The dump, with the stand-ins it reads through when there are any; an archive whose stand-ins
// are not all in place is not placed.
void dumpAndPlace(const CacheBuild& build) {
  if (!build.standIns) {
    if (runAndWait(build.dumpCommand) == 0) placeArchive(build);
    return;
  }
  if (makeStandIns(*build.standIns) && runAndWait(build.dumpCommand) == 0 &&
      linkStandInsToTargets(*build.standIns)) {
    placeArchive(build);
  }
  if (!standInsInPlace(*build.standIns)) removeStandIns(*build.standIns);
}

void build(const CacheBuild& build) {
  dropUnfinishedLine(build.classList);
  {
    FolderLock lock(build.directory);
    // A start at the same moment may have built it already.
    if (lock.held() && !alreadyBuilt(build)) dumpAndPlace(build);
  }
  unlink(build.temporaryArchive.c_str());
  unlink(build.classList.c_str());
}

// In the detached process: nothing of the application's, no terminal, no signals of its group.
void detach(int waitFd) {
  setsid();
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
  }
  if (waitFd != kWaitFd) dup2(waitFd, kWaitFd);
  close_range(kWaitFd + 1, ~0U, 0);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGHUP, SIG_IGN);
  umask(077);
  setpriority(PRIO_PROCESS, 0, 10);
}

}  // namespace

void startCacheBuild(const CacheBuild& plan) {
  int fds[2];
  // Not closed on exec: the runtime library may re-execute this process, which stays the
  // application, and the builder must go on waiting for it.
  if (pipe(fds) != 0) {
    DLOG("%s [Line %d] startup cache: no builder, no pipe");
    return;
  }
  pid_t child = fork();
  if (child < 0) {
    DLOG("%s [Line %d] startup cache: no builder, fork failed");
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (child == 0) {
    // Forked again so that the builder is nobody's child here and never a zombie of the
    // application.
    if (fork() == 0) {
      close(fds[1]);
      detach(fds[0]);
      waitForEndOfFile(kWaitFd);
      build(plan);
    }
    _exit(0);
  }
  close(fds[0]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  // fds[1] stays open until this process ends: its closing is the builder's signal.
}

}  // namespace qmk::cache
