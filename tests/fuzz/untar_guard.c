// The escape guard of the tar target: while armed, every C library call that creates, changes,
// links or removes a file is checked before it happens, and a call that would touch anything
// outside the destination stops the program. The program defines these functions itself (and
// exports them), so the extractor and the C++ library's filesystem calls reach them first; each
// passes the call on to the C library when it is allowed.
//
// Plain C on purpose: the C++ declarations of these functions carry exception specifications
// that a definition would have to repeat exactly.
#define _GNU_SOURCE
#include "untar_guard.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char destination[PATH_MAX];
static size_t destination_length;
static int armed;

void untar_guard_arm(const char* real_destination) {
  snprintf(destination, sizeof destination, "%s", real_destination);
  destination_length = strlen(destination);
  armed = 1;
}

void untar_guard_disarm(void) { armed = 0; }

typedef void (*any_function)(void);

static any_function next_function(const char* name) {
  void* address = dlsym(RTLD_NEXT, name);
  if (address == NULL) {
    fprintf(stderr, "untar guard: no next %s\n", name);
    abort();
  }
  // dlsym hands back an object pointer; copying is the portable way to a function pointer.
  any_function function;
  memcpy(&function, &address, sizeof function);
  return function;
}

#define NEXT(name, type) ((type)next_function(name))

static int is_inside(const char* resolved) {
  return strncmp(resolved, destination, destination_length) == 0 &&
         (resolved[destination_length] == '\0' || resolved[destination_length] == '/');
}

static void stop(const char* call, const char* path, const char* why) {
  fprintf(stderr, "untar guard: %s(%s) %s (destination %s)\n", call, path, why, destination);
  abort();
}

// `first` and `second` joined by `separator` (may be empty) into `out` of PATH_MAX bytes; a
// path that long cannot be created anyway, but the guard must not judge a cut-off one.
static void join(char* out, const char* first, const char* separator, const char* second) {
  int n = snprintf(out, PATH_MAX, "%s%s%s", first, separator, second);
  if (n < 0 || n >= PATH_MAX) stop("join", second, "gives a path too long to check");
}

// `path` made absolute against `dirfd` (AT_FDCWD: the working directory).
static void absolute_path(int dirfd, const char* path, char* out) {
  if (path[0] == '/') {
    join(out, path, "", "");
    return;
  }
  char base[PATH_MAX];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == NULL) stop("getcwd", path, "failed");
  } else {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
    ssize_t n = readlink(link, base, sizeof base - 1);
    if (n < 0) stop("readlink", link, "failed");
    base[n] = '\0';
  }
  join(out, base, "/", path);
}

// The directory part of `path` (an absolute path) in `out`.
static void parent_of(const char* path, char* out) {
  join(out, path, "", "");
  char* slash = strrchr(out, '/');
  if (slash == out)
    slash[1] = '\0';
  else if (slash != NULL)
    *slash = '\0';
}

// Checks the place that a call acting on `path` changes: its parent directory, links followed,
// must be the destination or lie below it. When `follows` is set, a symbolic link at `path` is
// followed first (dangling ones included: creating through one creates where it points).
// `whole` allows the destination itself.
static void check(const char* call, int dirfd, const char* path, int follows, int whole) {
  if (!armed) return;
  // The kernel refuses a path argument this long (ENAMETOOLONG) before touching anything.
  if (strlen(path) >= PATH_MAX) return;
  char full[PATH_MAX];
  absolute_path(dirfd, path, full);
  // Trailing slashes name the same entry.
  size_t length = strlen(full);
  while (length > 1 && full[length - 1] == '/') full[--length] = '\0';

  struct stat st;
  for (int hops = 0; follows && lstat(full, &st) == 0 && S_ISLNK(st.st_mode); ++hops) {
    if (hops == 40) return;  // a loop of links: the call fails with ELOOP
    char target[PATH_MAX];
    ssize_t n = readlink(full, target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    char directory[PATH_MAX];
    parent_of(full, directory);
    if (target[0] == '/')
      join(full, target, "", "");
    else
      join(full, directory, "/", target);
  }

  char resolved[PATH_MAX];
  if (realpath(full, resolved) != NULL && strcmp(resolved, destination) == 0) {
    if (whole) return;
    stop(call, path, "changes the destination itself");
  }
  char parent[PATH_MAX];
  parent_of(full, parent);
  // A missing parent makes the call fail; nothing can be created there.
  if (realpath(parent, resolved) == NULL) return;
  if (!is_inside(resolved)) stop(call, path, "changes a place outside the destination");
}

static int writes(int flags) {
  return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY ||
         (flags & __O_TMPFILE) == __O_TMPFILE;
}

static void check_open(const char* call, int dirfd, const char* path, int flags) {
  if (writes(flags)) check(call, dirfd, path, (flags & O_NOFOLLOW) == 0, 0);
}

static mode_t mode_argument(int flags, va_list arguments) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(arguments, mode_t) : 0;
}

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  check_open("open", AT_FDCWD, path, flags);
  return NEXT("open", int (*)(const char*, int, ...))(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  check_open("open64", AT_FDCWD, path, flags);
  return NEXT("open64", int (*)(const char*, int, ...))(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  check_open("openat", dirfd, path, flags);
  return NEXT("openat", int (*)(int, const char*, int, ...))(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  check_open("openat64", dirfd, path, flags);
  return NEXT("openat64", int (*)(int, const char*, int, ...))(dirfd, path, flags, mode);
}

// The C library opens its streams without passing through open().
static int stream_writes(const char* mode) { return strpbrk(mode, "wa+") != NULL; }

FILE* fopen(const char* path, const char* mode) {
  if (stream_writes(mode)) check("fopen", AT_FDCWD, path, 1, 0);
  return NEXT("fopen", FILE * (*)(const char*, const char*))(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
  if (stream_writes(mode)) check("fopen64", AT_FDCWD, path, 1, 0);
  return NEXT("fopen64", FILE * (*)(const char*, const char*))(path, mode);
}

int creat(const char* path, mode_t mode) {
  check("creat", AT_FDCWD, path, 1, 0);
  return NEXT("creat", int (*)(const char*, mode_t))(path, mode);
}

int creat64(const char* path, mode_t mode) {
  check("creat64", AT_FDCWD, path, 1, 0);
  return NEXT("creat64", int (*)(const char*, mode_t))(path, mode);
}

int mkdir(const char* path, mode_t mode) {
  check("mkdir", AT_FDCWD, path, 0, 1);
  return NEXT("mkdir", int (*)(const char*, mode_t))(path, mode);
}

int mkdirat(int dirfd, const char* path, mode_t mode) {
  check("mkdirat", dirfd, path, 0, 1);
  return NEXT("mkdirat", int (*)(int, const char*, mode_t))(dirfd, path, mode);
}

// A link may point anywhere; only where it is made matters.
int symlink(const char* target, const char* path) {
  check("symlink", AT_FDCWD, path, 0, 0);
  return NEXT("symlink", int (*)(const char*, const char*))(target, path);
}

int symlinkat(const char* target, int dirfd, const char* path) {
  check("symlinkat", dirfd, path, 0, 0);
  return NEXT("symlinkat", int (*)(const char*, int, const char*))(target, dirfd, path);
}

// A hard link to a file outside would let a later entry change that file: both ends count.
int link(const char* existing, const char* path) {
  check("link", AT_FDCWD, existing, 0, 0);
  check("link", AT_FDCWD, path, 0, 0);
  return NEXT("link", int (*)(const char*, const char*))(existing, path);
}

int linkat(int existing_dirfd, const char* existing, int dirfd, const char* path, int flags) {
  check("linkat", existing_dirfd, existing, (flags & AT_SYMLINK_FOLLOW) != 0, 0);
  check("linkat", dirfd, path, 0, 0);
  return NEXT("linkat", int (*)(int, const char*, int, const char*, int))(existing_dirfd, existing,
                                                                          dirfd, path, flags);
}

int unlink(const char* path) {
  check("unlink", AT_FDCWD, path, 0, 0);
  return NEXT("unlink", int (*)(const char*))(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  check("unlinkat", dirfd, path, 0, 0);
  return NEXT("unlinkat", int (*)(int, const char*, int))(dirfd, path, flags);
}

int rmdir(const char* path) {
  check("rmdir", AT_FDCWD, path, 0, 0);
  return NEXT("rmdir", int (*)(const char*))(path);
}

int remove(const char* path) {
  check("remove", AT_FDCWD, path, 0, 0);
  return NEXT("remove", int (*)(const char*))(path);
}

int rename(const char* from, const char* to) {
  check("rename", AT_FDCWD, from, 0, 0);
  check("rename", AT_FDCWD, to, 0, 0);
  return NEXT("rename", int (*)(const char*, const char*))(from, to);
}

int renameat(int from_dirfd, const char* from, int to_dirfd, const char* to) {
  check("renameat", from_dirfd, from, 0, 0);
  check("renameat", to_dirfd, to, 0, 0);
  return NEXT("renameat", int (*)(int, const char*, int, const char*))(from_dirfd, from, to_dirfd,
                                                                       to);
}

int chmod(const char* path, mode_t mode) {
  check("chmod", AT_FDCWD, path, 1, 1);
  return NEXT("chmod", int (*)(const char*, mode_t))(path, mode);
}

int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
  check("fchmodat", dirfd, path, (flags & AT_SYMLINK_NOFOLLOW) == 0, 1);
  return NEXT("fchmodat", int (*)(int, const char*, mode_t, int))(dirfd, path, mode, flags);
}

int truncate(const char* path, off_t length) {
  check("truncate", AT_FDCWD, path, 1, 0);
  return NEXT("truncate", int (*)(const char*, off_t))(path, length);
}
