// Single instance through the real appstub and JDK: later starts hand their command line and
// working directory to the running instance and end without a runtime; crashed instances,
// simultaneous starts, unsafe socket folders and bad requests are handled.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "support/background_process.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr const char* kIdentifier = "org.example.single";

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = makeAppBundle(
        tmp.path(), "Single.app",
        dict({{"CFBundleIdentifier", str(kIdentifier)},
              {"qmk.singleInstance", plist::Value::boolean(true)},
              {"JavaVM", dict({{"MainClass", str("Probe")},
                               {"ClassPath", str("$APP_PACKAGE/Contents/Java/probe.jar")},
                               {"SearchSequence", arr({"EQMK_TEST_JDK"})}})}}));
    program = bundle + "/Contents/MacOS/Single";
    fs::copy_file(QMK_APPSTUB, program);
    fs::permissions(program, fs::perms::owner_all);
    makeDirectories(bundle + "/Contents/Java");
    auto jar = run({std::string(QMK_JAVA_HOME) + "/bin/jar", "--create", "--file",
                    bundle + "/Contents/Java/probe.jar", "-C", QMK_JAVA_CLASSES, "Probe.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
    makeDirectories(tmp / "run");
    chmod((tmp / "run").c_str(), 0700);
    makeDirectories(tmp / "work/docs");
    socket = tmp / "run/quillmark/" + kIdentifier + ".socket";
  }

  std::map<std::string, std::optional<std::string>> env(bool log = false) {
    return {{"QMK_TEST_JDK", QMK_JAVA_HOME},
            {"XDG_RUNTIME_DIR", tmp / "run"},
            {"QUILLMARK_LOG", log ? std::optional<std::string>("yes") : std::nullopt}};
  }

  // A first instance that runs until its standard input is closed, logging what it receives.
  std::unique_ptr<BackgroundProcess> startInstance(const std::string& name) {
    auto instance = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{program, "echo", name}, tmp / name, env(true));
    EXPECT_TRUE(eventually([&] { return exists(socket); })) << instance->err();
    return instance;
  }

  RunResult laterStart(const std::vector<std::string>& args, bool log = false) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", env(log), tmp / "work");
  }

  // Sends raw bytes on the instance's socket, as a misbehaving client would.
  void sendRaw(const std::string& bytes) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the instance may close on us once it has seen enough
      sent += static_cast<size_t>(n);
    }
    char answer = 0;
    EXPECT_LE(read(fd, &answer, 1), 0) << "a bad request was acknowledged";
    close(fd);
  }

  TempDir tmp;
  std::string bundle;
  std::string program;
  std::string socket;
};

TEST_F(SingleInstanceTest, LaterStartsHandOverTheirArgumentsInOrderAndEndWithoutARuntime) {
  auto instance = startInstance("first");
  RunResult later = laterStart({"docs/a b.txt", "-x"}, true);
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(later.out, "");
  EXPECT_EQ(later.err.find("launching"), std::string::npos) << later.err;
  for (int i = 0; i < 10; i++) {
    RunResult burst = laterStart({"n=" + std::to_string(i)});
    EXPECT_EQ(burst.status, 0) << burst.err;
    EXPECT_EQ(burst.out, "");
  }
  RunResult check = run({QMK_BUNDLE, "check", bundle}, "", env());
  EXPECT_NE(check.out.find("an instance of yours runs now"), std::string::npos)
      << check.out << check.err;
  instance->closeInput();
  ASSERT_EQ(instance->wait(), 0);
  check = run({QMK_BUNDLE, "check", bundle}, "", env());
  EXPECT_NE(check.out.find("no instance of yours runs now"), std::string::npos)
      << check.out << check.err;
  const std::string log = instance->err();
  size_t at = log.find("docs/a b.txt");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.find("-x", at), std::string::npos);
  EXPECT_NE(log.find("in " + tmp / "work", at), std::string::npos) << log;
  for (int i = 0; i < 10; i++) {
    const size_t next = log.find("n=" + std::to_string(i), at);
    ASSERT_NE(next, std::string::npos) << "request " << i << " missing or out of order\n" << log;
    at = next;
  }
  // The first instance ran the application once, with its own arguments only.
  EXPECT_NE(instance->out().find("arg[1]=first"), std::string::npos);
  EXPECT_EQ(instance->out().find("n=0"), std::string::npos);
  EXPECT_FALSE(exists(socket)) << "the socket outlived a normal end";
}

TEST_F(SingleInstanceTest, ASocketLeftByAKilledInstanceIsReplaced) {
  auto crashed = startInstance("crashed");
  kill(crashed->pid(), SIGKILL);
  ASSERT_EQ(crashed->wait(), 128 + SIGKILL);
  ASSERT_TRUE(exists(socket));
  auto next = startInstance("next");
  ASSERT_TRUE(eventually([&] { return next->out().find("arg[1]=next") != std::string::npos; }))
      << next->err();
  RunResult later = laterStart({"after"});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(later.out, "");
  next->closeInput();
  ASSERT_EQ(next->wait(), 0);
  EXPECT_NE(next->err().find("after"), std::string::npos);
}

TEST_F(SingleInstanceTest, TwoStartsAtTheSameMomentGiveOneInstance) {
  BackgroundProcess a({program, "echo", "a"}, tmp / "a", env(true));
  BackgroundProcess b({program, "echo", "b"}, tmp / "b", env(true));
  ASSERT_TRUE(eventually([&] { return a.poll() || b.poll(); })) << a.err() << b.err();
  BackgroundProcess& forwarded = a.poll() ? a : b;
  BackgroundProcess& instance = a.poll() ? b : a;
  EXPECT_EQ(forwarded.poll(), 0) << forwarded.err();
  EXPECT_EQ(forwarded.out(), "");
  EXPECT_FALSE(instance.poll()) << "both starts ended";
  instance.closeInput();
  ASSERT_EQ(instance.wait(), 0);
  EXPECT_NE(instance.out().find("arg[0]=echo"), std::string::npos);
  EXPECT_NE(instance.err().find("open request"), std::string::npos) << instance.err();
}

TEST_F(SingleInstanceTest, AnUnsafeSocketFolderIsRefusedAndTheStartRunsAlone) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> unsafe = {
      {"mode 0777", [](const std::string& folder) { chmod(folder.c_str(), 0777); }},
      {"another user's",
       [](const std::string& folder) { ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0); }},
  };
  const std::string folder = tmp / "run/quillmark";
  for (const auto& [name, spoil] : unsafe) {
    if (name == "another user's" && geteuid() != 0) continue;  // only root can give it away
    fs::remove_all(folder);
    makeDirectories(folder);
    chmod(folder.c_str(), 0700);
    spoil(folder);
    for (const char* start : {"one", "two"}) {
      RunResult alone = laterStart({start});
      EXPECT_EQ(alone.status, 0) << name;
      EXPECT_NE(alone.out.find(std::string("arg[0]=") + start), std::string::npos) << name;
      EXPECT_NE(alone.err.find("single instance is off for this start: " + folder),
                std::string::npos)
          << name << ": " << alone.err;
    }
    EXPECT_FALSE(exists(socket)) << name;
  }
}

TEST_F(SingleInstanceTest, OversizedAndMalformedRequestsLeaveTheInstanceServing) {
  auto instance = startInstance("first");
  std::string oversized = std::string("QMKO") + '\x00' + '\x20' + '\x00' + '\x00';
  oversized += std::string(2 << 20, 'x');
  sendRaw(oversized);
  sendRaw("garbage \xff\xfe\n and more garbage");
  sendRaw(std::string("QMKO\0\0\0\x10", 8) + "short");
  sendRaw(std::string("QMKO\0\0\0\x03", 8) + "abc");  // entries not ended
  RunResult later = laterStart({"still serving"});
  EXPECT_EQ(later.status, 0) << later.err;
  EXPECT_EQ(later.out, "");
  instance->closeInput();
  ASSERT_EQ(instance->wait(), 0);
  const std::string log = instance->err();
  EXPECT_NE(log.find("dropped an open request of 2097152 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("dropped a malformed open request: it does not start as one"),
            std::string::npos);
  EXPECT_NE(log.find("dropped a malformed open request: it ended before its 16 bytes"),
            std::string::npos);
  EXPECT_NE(log.find("dropped a malformed open request: its last entry is not ended"),
            std::string::npos);
  EXPECT_NE(log.find("still serving"), std::string::npos);
}

}  // namespace
