#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  std::string base = fs::temp_directory_path().string() + "/qmk-test-XXXXXX";
  std::vector<char> buf(base.begin(), base.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  // The real path, so that tests compare what the launcher sees after resolving links.
  path_ = fs::canonical(buf.data()).string();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again (tests create unwritable directories).
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(path_.c_str(), 0700);
  fs::remove_all(path_, ec);
}

void makeDirectories(const std::string& path) { fs::create_directories(path); }

void writeFile(const std::string& path, const std::string& content, int mode) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
  out.close();
  if (mode >= 0) ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::optional<std::string>& value)
    : name_(name) {
  if (const char* v = ::getenv(name.c_str())) old_ = v;
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& path)
    : old_(fs::current_path().string()) {
  fs::current_path(path);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  std::error_code ec;
  fs::current_path(old_, ec);
}

plist::Value str(const std::string& s) { return plist::Value::string(s); }

plist::Value arr(const std::vector<std::string>& items) {
  plist::Array a;
  for (const auto& i : items) a.push_back(plist::Value::string(i));
  return plist::Value::array(std::move(a));
}

plist::Value dict(std::map<std::string, plist::Value> entries) {
  plist::Dictionary d(entries.begin(), entries.end());
  return plist::Value::dictionary(std::move(d));
}

std::string makeAppBundle(const std::string& dir, const std::string& name,
                          const plist::Value& info) {
  std::string bundle = dir + "/" + name;
  fs::create_directories(bundle + "/Contents/MacOS");
  fs::create_directories(bundle + "/Contents/Resources");
  writeFile(bundle + "/Contents/Info.plist", plist::toXml(info));
  return bundle;
}

void makeRuntimeBundle(const std::string& path, const std::optional<std::string>& version,
                       std::map<std::string, plist::Value> extraInfo) {
  fs::create_directories(path + "/Contents/Home/bin");
  fs::create_directories(path + "/Contents/Home/lib");
  plist::Dictionary info(extraInfo.begin(), extraInfo.end());
  if (version) {
    plist::Dictionary javaVM = info.contains("JavaVM") && info["JavaVM"].asDictionary()
                                   ? *info["JavaVM"].asDictionary()
                                   : plist::Dictionary{};
    javaVM["JVMVersion"] = plist::Value::string(*version);
    info["JavaVM"] = plist::Value::dictionary(std::move(javaVM));
  }
  writeFile(path + "/Contents/Info.plist", plist::toXml(plist::Value::dictionary(std::move(info))));
}

void makePlainRuntimeHome(const std::string& path, const std::string& version) {
  writeFile(path + "/bin/java", "#!/bin/sh\nexit 0\n", 0755);
  fs::create_directories(path + "/lib");
  writeFile(path + "/release", "IMPLEMENTOR=\"Test\"\nJAVA_VERSION=\"" + version + "\"\n");
}

LaunchContext makeContext(const std::string& bundlePath, const platform::SystemLayout& layout,
                          std::vector<std::string> arguments, const std::string& home,
                          std::vector<Notice>* notices) {
  LaunchContext context;
  context.mainBundle = platform::Bundle::create(bundlePath);
  if (!context.mainBundle) throw std::runtime_error("no bundle at " + bundlePath);
  context.arguments = std::move(arguments);
  context.layout = layout;
  context.homeDirectory = home;
  if (notices) {
    context.showNotice = [notices](const std::optional<std::string>& header,
                                   const std::string& message) {
      notices->push_back({header, message});
    };
  }
  return context;
}

platform::SystemLayout layoutUnder(const std::string& root, platform::SystemLayout base,
                                   bool withPlugin) {
  base.publicRuntimeDirectory = root + "/jvm";
  if (withPlugin) {
    base.pluginPath = root + "/plugin/JavaAppletPlugin.plugin";
    base.pluginLibrary = *base.pluginPath + "/Contents/Home/lib/jli/libjli.so";
  } else {
    base.pluginPath.reset();
    base.pluginLibrary.reset();
  }
  return base;
}

RunResult run(const std::vector<std::string>& args, const std::string& input,
              const std::map<std::string, std::optional<std::string>>& env,
              const std::optional<std::string>& workingDirectory) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    signal(SIGPIPE, SIG_DFL);
    for (const auto& [k, v] : env) {
      if (v)
        setenv(k.c_str(), v->c_str(), 1);
      else
        unsetenv(k.c_str());
    }
    if (workingDirectory && chdir(workingDirectory->c_str()) != 0) _exit(126);
    std::vector<char*> cargs;
    cargs.reserve(args.size() + 1);
    for (const auto& a : args) cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  RunResult result;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  } else
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) {
      fds[n] = {out[0], POLLIN, 0};
      outIdx = n++;
    }
    if (errOpen) {
      fds[n] = {err[0], POLLIN, 0};
      errIdx = n++;
    }
    if (inFd >= 0) {
      fds[n] = {inFd, POLLOUT, 0};
      inIdx = n++;
    }
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (outIdx >= 0 && fds[outIdx].revents) {
      ssize_t r = read(out[0], buf, sizeof buf);
      if (r <= 0)
        outOpen = false;
      else
        result.out.append(buf, r);
    }
    if (errIdx >= 0 && fds[errIdx].revents) {
      ssize_t r = read(err[0], buf, sizeof buf);
      if (r <= 0)
        errOpen = false;
      else
        result.err.append(buf, r);
    }
    if (inIdx >= 0 && fds[inIdx].revents) {
      ssize_t w = write(inFd, input.data() + written, input.size() - written);
      if (w > 0) written += w;
      if (w < 0 && errno != EAGAIN) written = input.size();
      if (written >= input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace testing_support
