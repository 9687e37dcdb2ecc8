// The single-instance socket: the later start's side (forwarding) and the instance's side (the
// lock, the socket and the thread that serves it).
#include "launcher/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "launcher/global.h"
#include "launcher/open_requests.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace qmk::services {

namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

// Names the lock and socket descriptors a restarted launcher takes over; never seen by the
// application.
constexpr const char* kHandoverVariable = "QMK_INSTANCE_HANDOVER";
constexpr char kMagic[4] = {'Q', 'M', 'K', 'O'};
constexpr uint32_t kMaxRequest = 1u << 20;
constexpr char kAcknowledgement = 0x06;
// How long a later start tries to reach the instance and waits for its answer, all told.
constexpr auto kForwardBudget = std::chrono::seconds(5);
// A client that connects and then sends nothing must not hold up the requests behind it.
constexpr int kReadTimeoutSeconds = 2;

std::string socketFolder() {
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && runtimeDir[0] == '/') return std::string(runtimeDir) + "/quillmark";
  return "/tmp/quillmark-" + std::to_string(getuid());
}

// The folder must be this user's alone: anyone else who could write it could put a socket of
// their own in the instance's place and read every later start's command line.
std::optional<std::string> folderRefusal(const std::string& folder, bool create) {
  struct stat st {};
  int looked = lstat(folder.c_str(), &st);
  if (looked != 0 && errno == ENOENT && create) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return platform::format("%@ could not be created (%s)", folder, std::strerror(errno));
    }
    looked = lstat(folder.c_str(), &st);
  }
  if (looked != 0) {
    return platform::format("%@ cannot be read (%s)", folder, std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode)) return platform::format("%@ is not a folder", folder);
  if (st.st_uid != getuid()) {
    return platform::format("%@ belongs to user %u, not to this user", folder,
                            static_cast<unsigned>(st.st_uid));
  }
  if ((st.st_mode & 077) != 0) {
    return platform::format("%@ has mode %04o; only its owner may use it (mode 0700)", folder,
                            static_cast<unsigned>(st.st_mode & 07777));
  }
  return std::nullopt;
}

// A name that stays one file inside the folder.
bool usableIdentifier(const std::string& identifier) {
  return !identifier.empty() && identifier != "." && identifier != ".." &&
         identifier.find('/') == std::string::npos;
}

std::optional<sockaddr_un> socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

UniqueFd openLock(const std::string& path) {
  return UniqueFd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
}

bool tryLock(const UniqueFd& lock) { return flock(lock.get(), LOCK_EX | LOCK_NB) == 0; }

// --- The later start ------------------------------------------------------------------------

std::string encodeRequest(const std::string& workingDirectory,
                          const std::vector<std::string>& arguments) {
  std::string body = workingDirectory + '\0';
  for (const auto& argument : arguments) body += argument + '\0';
  std::string request(kMagic, sizeof kMagic);
  const auto size = static_cast<uint32_t>(body.size());
  for (int shift = 24; shift >= 0; shift -= 8) request += static_cast<char>((size >> shift) & 0xff);
  return request + body;
}

UniqueFd connectTo(const sockaddr_un& address) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

bool awaitAcknowledgement(const UniqueFd& fd, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char answer = 0;
    return read(fd.get(), &answer, 1) == 1 && answer == kAcknowledgement;
  }
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// --- The instance ---------------------------------------------------------------------------

// The instance's lock and socket, held until the process ends. One per process: the serving
// thread, the exit handler that removes the socket and a restart's hand-over all reach it here.
struct Instance {
  UniqueFd lock;
  UniqueFd listener;
  std::string socketPath;
  bool handedOver = false;
  bool serving = false;
};

Instance*& runningInstance() {
  static Instance* instance = nullptr;
  return instance;
}

bool readFully(int fd, char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = read(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<OpenRequest> decodeBody(const std::string& body) {
  if (body.empty() || body.back() != '\0') return std::nullopt;
  OpenRequest request;
  size_t start = 0;
  bool first = true;
  while (start < body.size()) {
    const size_t end = body.find('\0', start);
    std::string part = body.substr(start, end - start);
    if (first) {
      request.workingDirectory = std::move(part);
    } else {
      request.arguments.push_back(std::move(part));
    }
    first = false;
    start = end + 1;
  }
  return request;
}

bool samePeerUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid();
}

// Reads one request; anything wrong with it is said in an always-on line and the request is
// dropped, and the instance goes on serving.
std::optional<OpenRequest> readRequest(int fd) {
  if (!samePeerUser(fd)) {
    ALOG("%s [Line %d] refused an open request from another user");
    return std::nullopt;
  }
  timeval timeout{kReadTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  unsigned char header[8];
  if (!readFully(fd, reinterpret_cast<char*>(header), sizeof header) ||
      std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    ALOG("%s [Line %d] dropped a malformed open request: it does not start as one");
    return std::nullopt;
  }
  const uint32_t size = (uint32_t{header[4]} << 24) | (uint32_t{header[5]} << 16) |
                        (uint32_t{header[6]} << 8) | uint32_t{header[7]};
  if (size > kMaxRequest) {
    ALOG("%s [Line %d] dropped an open request of %u bytes: requests are limited to 1 MiB",
         static_cast<unsigned>(size));
    return std::nullopt;
  }
  std::string body(size, '\0');
  if (!readFully(fd, body.data(), body.size())) {
    ALOG("%s [Line %d] dropped a malformed open request: it ended before its %u bytes",
         static_cast<unsigned>(size));
    return std::nullopt;
  }
  auto request = decodeBody(body);
  if (!request) ALOG("%s [Line %d] dropped a malformed open request: its last entry is not ended");
  return request;
}

void serveConnection(UniqueFd connection) {
  auto request = readRequest(connection.get());
  if (!request) return;
  DLOG("%s [Line %d] open request %@ in %@", request->arguments, request->workingDirectory);
  pushOpenRequest(std::move(*request));
  platform::writeAll(connection.get(), &kAcknowledgement, 1);
}

void serve(int listener) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      serveConnection(UniqueFd(fd));
    } else if (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) {
      return;
    } else if (errno != EINTR && errno != ECONNABORTED) {
      // Out of descriptors or memory: wait instead of spinning; the socket stays.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

void removeSocketAtExit() {
  Instance* instance = runningInstance();
  if (instance != nullptr && !instance->handedOver) unlink(instance->socketPath.c_str());
}

// Holds the lock and the bound socket for the rest of the process. Connections wait in the
// socket's backlog until serveInstance() starts the thread that takes them.
void becomeInstance(UniqueFd lock, UniqueFd listener, const std::string& socketPath) {
  runningInstance() = new Instance{std::move(lock), std::move(listener), socketPath};
  std::atexit(removeSocketAtExit);
}

UniqueFd listenAt(const std::string& path, const sockaddr_un& address) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  const auto* name = reinterpret_cast<const sockaddr*>(&address);
  bool bound = bind(fd.get(), name, sizeof address) == 0;
  if (!bound && errno == EADDRINUSE) {
    // Whoever holds the lock owns the name: a socket still there was left by a crashed
    // instance.
    unlink(path.c_str());
    bound = bind(fd.get(), name, sizeof address) == 0;
  }
  if (!bound || listen(fd.get(), SOMAXCONN) != 0) return UniqueFd();
  return fd;
}

// The descriptors a restarted launcher was handed, when they are still this identifier's lock,
// held by this process, and its listening socket.
std::optional<std::pair<int, int>> handedOverDescriptors(const InstancePaths& paths) {
  const char* value = std::getenv(kHandoverVariable);
  if (value == nullptr) return std::nullopt;
  int lock = -1;
  int listener = -1;
  const bool parsed = std::sscanf(value, "%d,%d", &lock, &listener) == 2;
  unsetenv(kHandoverVariable);
  if (!parsed || lock < 0 || listener < 0) return std::nullopt;
  struct stat held {};
  struct stat named {};
  if (fstat(lock, &held) != 0 || stat(paths.lock.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino ||
      flock(lock, LOCK_EX | LOCK_NB) != 0) {
    return std::nullopt;
  }
  int listening = 0;
  socklen_t size = sizeof listening;
  sockaddr_un bound{};
  socklen_t boundSize = sizeof bound;
  if (getsockopt(listener, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &boundSize) != 0 ||
      paths.socket != bound.sun_path) {
    return std::nullopt;
  }
  fcntl(lock, F_SETFD, FD_CLOEXEC);
  fcntl(listener, F_SETFD, FD_CLOEXEC);
  return std::make_pair(lock, listener);
}

InstanceRole forwardOrBecome(const InstancePaths& paths, const sockaddr_un& address,
                             const std::vector<std::string>& arguments) {
  if (auto handed = handedOverDescriptors(paths)) {
    becomeInstance(UniqueFd(handed->first), UniqueFd(handed->second), paths.socket);
    return InstanceRole::serving;
  }
  UniqueFd lock = openLock(paths.lock);
  if (!lock) {
    ALOG("%s [Line %d] single instance is off for this start: %@ cannot be opened (%s)",
         paths.lock, std::strerror(errno));
    return InstanceRole::alone;
  }
  const auto deadline = Clock::now() + kForwardBudget;
  std::optional<std::string> request;
  // The instance may be between taking the lock and binding, or restarting: try both until one
  // of them works.
  for (;;) {
    if (tryLock(lock)) {
      UniqueFd listener = listenAt(paths.socket, address);
      if (!listener) {
        ALOG("%s [Line %d] single instance is off for this start: %@ cannot be bound (%s)",
             paths.socket, std::strerror(errno));
        return InstanceRole::alone;
      }
      becomeInstance(std::move(lock), std::move(listener), paths.socket);
      return InstanceRole::serving;
    }
    if (UniqueFd connection = connectTo(address)) {
      if (!request) request = encodeRequest(currentDirectory(), arguments);
      if (platform::writeAll(connection.get(), *request) &&
          awaitAcknowledgement(connection, deadline)) {
        return InstanceRole::forwarded;
      }
      break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ALOG("%s [Line %d] the running instance did not take this start's request within 5 s; "
       "starting another instance without single instance");
  return InstanceRole::alone;
}

}  // namespace

std::optional<InstancePaths> instancePaths(const std::string& identifier, std::string& refusal) {
  if (!usableIdentifier(identifier)) {
    refusal = platform::format("the bundle identifier \"%@\" cannot name a socket", identifier);
    return std::nullopt;
  }
  InstancePaths paths;
  paths.folder = socketFolder();
  if (auto why = folderRefusal(paths.folder, true)) {
    refusal = *why;
    return std::nullopt;
  }
  paths.socket = paths.folder + "/" + identifier + ".socket";
  paths.lock = paths.folder + "/" + identifier + ".lock";
  return paths;
}

InstanceRole forwardOrServe(const std::optional<std::string>& identifier,
                            const std::vector<std::string>& arguments) {
  if (!identifier) {
    dropInstanceHandover();
    ALOG("%s [Line %d] single instance is off: the bundle has no CFBundleIdentifier");
    return InstanceRole::alone;
  }
  std::string refusal;
  auto paths = instancePaths(*identifier, refusal);
  std::optional<sockaddr_un> address;
  if (paths) {
    address = socketAddress(paths->socket);
    if (!address) refusal = platform::format("the socket path %@ is too long", paths->socket);
  }
  if (!paths || !address) {
    dropInstanceHandover();
    ALOG("%s [Line %d] single instance is off for this start: %@", refusal);
    return InstanceRole::alone;
  }
  return forwardOrBecome(*paths, *address, arguments);
}

void serveInstance() {
  Instance* instance = runningInstance();
  if (instance == nullptr || instance->serving) return;
  instance->serving = true;
  // The thread runs until the process ends; the instance is never freed for it.
  std::thread(serve, instance->listener.get()).detach();
}

std::optional<std::string> handOverInstance() {
  Instance* instance = runningInstance();
  if (instance == nullptr) return std::nullopt;
  fcntl(instance->lock.get(), F_SETFD, 0);
  fcntl(instance->listener.get(), F_SETFD, 0);
  instance->handedOver = true;
  return platform::format("%s=%d,%d", kHandoverVariable, instance->lock.get(),
                          instance->listener.get());
}

void dropInstanceHandover() {
  if (std::getenv(kHandoverVariable) != nullptr) unsetenv(kHandoverVariable);
}

bool instanceRunning(const std::string& identifier) {
  if (!usableIdentifier(identifier)) return false;
  const std::string folder = socketFolder();
  if (folderRefusal(folder, false)) return false;
  UniqueFd lock(open((folder + "/" + identifier + ".lock").c_str(), O_RDONLY | O_CLOEXEC));
  if (!lock) return false;
  if (flock(lock.get(), LOCK_SH | LOCK_NB) == 0) return false;
  return errno == EWOULDBLOCK;
}

}  // namespace qmk::services
