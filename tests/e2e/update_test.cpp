// Updates from a signed feed, through the real programs: qmk-bundle keygen and publish make the
// feed, a loopback server serves it, and the bundle's own checker (started by a real start, or
// run in the foreground by `check --check-update`) stages a new version or refuses, leaving
// the installed bundle untouched and nothing else behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "launcher/update_feed.h"
#include "platform/ed25519.h"
#include "platform/plist.h"
#include "platform/sha256.h"
#include "support/http_server.h"
#include "support/tar_builder.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kIdentifier = "org.example.updating";

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// Every entry below `root`: its kind, permission bits and content or link target.
std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const auto status = it->symlink_status();
    const std::string relative = fs::relative(it->path(), root).string();
    const auto perms = std::to_string(static_cast<int>(status.permissions()) & 0777);
    if (fs::is_symlink(status)) {
      tree[relative] = "link " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "dir";
    } else {
      tree[relative] = "file " + perms + " " + readFile(it->path());
    }
  }
  return tree;
}

// Bytes that do not compress, so that the archive is as large as its content.
std::string noise(size_t n) {
  std::string bytes(n, '\0');
  uint64_t x = 0x9e3779b97f4a7c15ULL;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<char>(x);
  }
  return bytes;
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Public: the refusal table's cases spoil the feed through it.
class UpdateTest : public ::testing::Test {
 public:
  void SetUp() override {
    server = std::make_unique<HttpServer>(site());
    makeDirectories(site());
    makeDirectories(tmp / "apps");
    auto jar = run({std::string(QMK_JAVA_HOME) + "/bin/jar", "--create", "--file",
                    tmp / "probe.jar", "-C", QMK_JAVA_CLASSES, "Probe.class"});
    ASSERT_EQ(jar.status, 0) << jar.err;
    publicKey = keygen(tmp / "key");
    seed = *platform::ed25519::seedFromText(trimmed(readFile(tmp / "key")));
    feedUrl = server->url("/files/update.json");
  }

  std::string site() const { return tmp / "site"; }
  std::string installed() const { return tmp / "apps/App.app"; }
  std::string staged() const { return tmp / "apps/.App.app.update"; }
  std::string stateDir() const { return tmp / std::string("state/quillmark/") + kIdentifier; }

  std::string keygen(const std::string& path) {
    auto r = run({QMK_BUNDLE, "keygen", "--out", path});
    EXPECT_EQ(r.status, 0) << r.err;
    return trimmed(r.out);
  }

  // A bundle of the probe program at `path`, of `version`, asking for updates from `url`.
  void makeBundle(const std::string& path, const std::string& version,
                  const std::string& identifier = kIdentifier, const std::string& url = "") {
    makeDirectories(fs::path(path).parent_path());
    auto r = run({QMK_BUNDLE,
                  "create",
                  "--name",
                  "App",
                  "--jar",
                  tmp / "probe.jar",
                  "--main-class",
                  "Probe",
                  "--identifier",
                  identifier,
                  "--no-startup-cache",
                  "--update-url",
                  url.empty() ? feedUrl : url,
                  "--update-key",
                  publicKey,
                  "--update-interval",
                  "3600",
                  "--version",
                  version,
                  "--out",
                  path});
    ASSERT_EQ(r.status, 0) << r.err;
    writeFile(path + "/Contents/Resources/release.txt", "release " + version + "\n");
  }

  static void setInfo(const std::string& bundle, const std::string& key, const std::string& value) {
    const std::string file = bundle + "/Contents/Info.plist";
    auto info = plist::readFile(file);
    ASSERT_TRUE(info);
    plist::Dictionary d = *info->asDictionary();
    d[key] = plist::Value::string(value);
    writeFile(file, plist::toXml(plist::Value::dictionary(d)));
  }

  // Version `version` published into the site, made from a bundle kept at tmp/src-<version>.
  std::string publishVersion(const std::string& version,
                             const std::string& identifier = kIdentifier) {
    const std::string source = tmp / ("src-" + version + "-" + identifier + "/App.app");
    if (!exists(source)) makeBundle(source, version, identifier);
    auto r = run({QMK_BUNDLE, "publish", source, "--key", tmp / "key", "--to", site()});
    EXPECT_EQ(r.status, 0) << r.err;
    return source;
  }

  void install(const std::string& version) {
    const std::string source = tmp / ("src-" + version + "-" + kIdentifier + "/App.app");
    if (!exists(source)) makeBundle(source, version);
    fs::copy(source, installed(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  std::map<std::string, std::optional<std::string>> env() const {
    return {{"XDG_STATE_HOME", tmp / "state"}, {"QUILLMARK_LOG", std::nullopt}};
  }

  RunResult checkNow() {
    return run({QMK_BUNDLE, "check", installed(), "--check-update"}, "", env());
  }

  RunResult start(const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = {installed() + "/Contents/MacOS/App"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", env(), tmp.path());
  }

  // Replaces update.json with `feed`, signed by `by` (the publisher's key when absent).
  void serveFeed(const std::string& feed, std::optional<platform::ed25519::Seed> by = {}) {
    writeFile(site() + "/update.json", feed);
    auto signature = platform::ed25519::sign(by.value_or(seed), feed);
    writeFile(site() + "/update.json.sig",
              platform::ed25519::toText(signature.data(), signature.size()) + "\n");
  }

  // The published feed with one field's text replaced ("size": 12 keeps its quotes off).
  std::string feedWith(const std::string& field, const std::string& value) {
    std::string feed = readFile(site() + "/update.json");
    const std::string key = "\"" + field + "\": ";
    const size_t at = feed.find(key);
    EXPECT_NE(at, std::string::npos) << field;
    const size_t end = feed.find_first_of(",\n", at + key.size());
    feed.replace(at + key.size(), end - at - key.size(), value);
    return feed;
  }

  // A gzip-compressed archive of `entries` served as the feed's archive, described truthfully.
  void serveArchive(const std::vector<TarEntry>& entries) {
    const std::string tar = tmp / "evil.tar";
    writeFile(tar, tarBytes(entries));
    auto gz = run({"/usr/bin/gzip", "-nf", tar});
    ASSERT_EQ(gz.status, 0) << gz.err;
    const std::string archive = readFile(tar + ".gz");
    writeFile(site() + "/evil.tar.gz", archive);
    platform::Sha256 hash;
    hash.update(archive.data(), archive.size());
    std::string feed = feedWith("archive", "\"evil.tar.gz\"");
    const std::string key = "\"sha256\": \"";
    feed.replace(feed.find(key) + key.size(), 64, platform::toHex(hash.finish()));
    serveFeedText(feed, archive.size());
  }

  void serveFeedText(std::string feed, size_t size) {
    const std::string key = "\"size\": ";
    const size_t at = feed.find(key) + key.size();
    feed.replace(at, feed.find(',', at) - at, std::to_string(size));
    serveFeed(feed);
  }

  // The published v2's bundle tree as tar entries (regular files and folders).
  std::vector<TarEntry> bundleEntries(const std::string& source) {
    std::vector<TarEntry> entries;
    for (auto it = fs::recursive_directory_iterator(source);
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = fs::relative(it->path(), source).string();
      if (it->is_directory()) {
        entries.push_back({.name = name + "/", .type = '5'});
      } else {
        entries.push_back({.name = name,
                           .data = readFile(it->path()),
                           .mode = name.starts_with("Contents/MacOS/") ? "0000755" : "0000644"});
      }
    }
    return entries;
  }

  std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    if (!exists(stateDir() + "/update.log")) return lines;
    std::string text = readFile(stateDir() + "/update.log");
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  std::optional<std::string> stagedVersionInState() {
    auto state = plist::readFile(stateDir() + "/state.plist");
    return state ? (*state)["stagedVersion"].stringValue() : std::nullopt;
  }

  TempDir tmp;
  std::unique_ptr<HttpServer> server;
  std::string publicKey;
  platform::ed25519::Seed seed{};
  std::string feedUrl;
};

TEST_F(UpdateTest, KeygenWritesAPrivateKeyOnceAndPrintsItsPublicKey) {
  struct stat st {};
  ASSERT_EQ(::stat((tmp / "key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const auto seedFromFile = platform::ed25519::seedFromText(trimmed(readFile(tmp / "key")));
  ASSERT_TRUE(seedFromFile);
  const auto key = platform::ed25519::publicKeyOf(*seedFromFile);
  EXPECT_EQ(publicKey, platform::ed25519::toText(key.data(), key.size()));

  const std::string before = readFile(tmp / "key");
  auto again = run({QMK_BUNDLE, "keygen", "--out", tmp / "key"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("never overwritten"), std::string::npos) << again.err;
  EXPECT_EQ(readFile(tmp / "key"), before);
}

TEST_F(UpdateTest, PublishWritesASignedFeedDescribingTheArchive) {
  publishVersion("2.0");
  const std::string feed = readFile(site() + "/update.json");
  auto reading = qmk::update::readFeed(feed);
  ASSERT_TRUE(reading.feed) << reading.failure;
  EXPECT_EQ(reading.feed->identifier, kIdentifier);
  EXPECT_EQ(reading.feed->version, "2.0");
  EXPECT_EQ(reading.feed->archive, std::string(kIdentifier) + "-2.0.tar.gz");
  const std::string archive = readFile(site() + "/" + reading.feed->archive);
  EXPECT_EQ(reading.feed->size, archive.size());
  platform::Sha256 hash;
  hash.update(archive.data(), archive.size());
  EXPECT_EQ(reading.feed->sha256, hash.finish());
  EXPECT_NEAR(static_cast<double>(reading.feed->expires - reading.feed->published), 30 * 86400, 1);

  auto signature =
      platform::ed25519::signatureFromText(trimmed(readFile(site() + "/update.json.sig")));
  ASSERT_TRUE(signature);
  EXPECT_TRUE(platform::ed25519::verify(platform::ed25519::publicKeyOf(seed), feed, *signature));

  // Contents/ at the top, as GNU tar lists it.
  auto list = run({"/usr/bin/tar", "-tzf", site() + "/" + reading.feed->archive});
  EXPECT_EQ(list.out.rfind("Contents/", 0), 0u) << list.out;
}

TEST_F(UpdateTest, PublishRefusesAKeyTheBundleWouldNotAccept) {
  const std::string source = tmp / "src/App.app";
  makeBundle(source, "2.0");
  keygen(tmp / "other-key");
  auto r = run({QMK_BUNDLE, "publish", source, "--key", tmp / "other-key", "--to", site()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("would refuse"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(site() + "/update.json"));
}

TEST_F(UpdateTest, ACheckStagesTheNewVersionWholeAndRecordsIt) {
  install("1.0");
  const auto before = treeOf(installed());
  const std::string v2 = publishVersion("2.0");

  auto check = checkNow();
  EXPECT_NE(check.out.find("update check: staged: staged 2.0"), std::string::npos) << check.out;
  EXPECT_EQ(treeOf(staged()), treeOf(v2));
  EXPECT_EQ(treeOf(installed()), before);
  EXPECT_EQ(stagedVersionInState(), "2.0");
  EXPECT_EQ(namesIn(tmp / "apps"), (std::vector<std::string>{".App.app.update", "App.app"}));

  // check reports the state it left.
  auto report = run({QMK_BUNDLE, "check", installed()}, "", env());
  EXPECT_NE(report.out.find("staged version: 2.0"), std::string::npos) << report.out;
  EXPECT_NE(report.out.find("updates can apply: yes"), std::string::npos) << report.out;

  // The same feed again offers nothing beyond what waits.
  auto again = checkNow();
  EXPECT_NE(again.out.find("update check: refused: nothing new"), std::string::npos) << again.out;
  EXPECT_EQ(treeOf(staged()), treeOf(v2));
}

TEST_F(UpdateTest, AStartLeavesACheckerThatStagesAndTheIntervalHolds) {
  install("1.0");
  const std::string v2 = publishVersion("2.0");
  auto first = start({"hello"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("arg[0]=hello"), std::string::npos);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (stagedVersionInState() != "2.0" && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(stagedVersionInState(), "2.0");
  EXPECT_EQ(treeOf(staged()), treeOf(v2));
  ASSERT_EQ(logLines().size(), 1u);

  // Within the interval a start leaves no checker: nothing more is logged or checked.
  auto state = plist::readFile(stateDir() + "/state.plist");
  const auto lastCheck = (*state)["lastCheck"].asInteger();
  publishVersion("3.0");
  auto second = start();
  ASSERT_EQ(second.status, 0) << second.err;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(logLines().size(), 1u);
  EXPECT_EQ((*plist::readFile(stateDir() + "/state.plist"))["lastCheck"].asInteger(), lastCheck);
}

TEST_F(UpdateTest, AFolderTheUserCannotWriteGetsNoCheckAndNoFiles) {
  install("1.0");
  publishVersion("2.0");
  // Others may read and enter, nobody but root may write: the launcher runs as another user.
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(tmp / "apps", fs::perms::owner_all | fs::perms::others_read |
                                    fs::perms::others_exec | fs::perms::group_read |
                                    fs::perms::group_exec);
  makeDirectories(tmp / "state");
  fs::permissions(tmp / "state", fs::perms::all);
  std::vector<std::string> argv = {installed() + "/Contents/MacOS/App"};
  if (::geteuid() == 0) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  } else {
    fs::permissions(tmp / "apps", fs::perms::owner_write, fs::perm_options::remove);
  }
  auto r = run(argv, "", env(), "/");
  ASSERT_EQ(r.status, 0) << r.err;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(namesIn(tmp / "apps"), std::vector<std::string>{"App.app"});
  EXPECT_FALSE(exists(stateDir()));
}

// One way a feed or its archive goes wrong, and the words its refusal carries.
struct Refusal {
  std::string name;
  std::function<void(UpdateTest&)> spoil;
  std::string expected;
};

class UpdateRefusalTest : public UpdateTest {
 protected:
  void expectRefused(const Refusal& refusal) {
    SCOPED_TRACE(refusal.name);
    refusal.spoil(*this);
    const auto before = treeOf(installed());
    const auto started = Clock::now();
    auto check = checkNow();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(40));
    EXPECT_NE(check.out.find("update check: refused: "), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(refusal.expected), std::string::npos) << check.out;
    EXPECT_EQ(treeOf(installed()), before);
    EXPECT_EQ(namesIn(tmp / "apps"), std::vector<std::string>{"App.app"});
    const auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("refused: "), std::string::npos) << lines.back();
    EXPECT_FALSE(stagedVersionInState());
  }
};

TEST_F(UpdateRefusalTest, EachSpoiledFeedOrArchiveIsRefusedAndLeavesNothing) {
  install("1.0");
  const std::string v2 = publishVersion("2.0");
  const std::string goodFeed = readFile(site() + "/update.json");
  const std::string goodSignature = readFile(site() + "/update.json.sig");
  const std::string archiveName = std::string(kIdentifier) + "-2.0.tar.gz";
  const std::string goodArchive = readFile(site() + "/" + archiveName);

  const std::vector<Refusal> refusals = {
      {"signed by another key",
       [](UpdateTest& t) {
         t.serveFeed(readFile(t.site() + "/update.json"), platform::ed25519::generateSeed());
       },
       "does not match"},
      {"a changed byte",
       [](UpdateTest& t) {
         std::string feed = readFile(t.site() + "/update.json");
         feed[feed.find("2.0")] = '3';
         writeFile(t.site() + "/update.json", feed);
       },
       "does not match"},
      {"a swapped signature",
       [](UpdateTest& t) {
         auto other = platform::ed25519::sign(t.seed, "{}");
         writeFile(t.site() + "/update.json.sig",
                   platform::ed25519::toText(other.data(), other.size()));
       },
       "does not match"},
      {"a truncated signature",
       [](UpdateTest& t) {
         writeFile(t.site() + "/update.json.sig",
                   readFile(t.site() + "/update.json.sig").substr(0, 60));
       },
       "not the base64 text of 64 bytes"},
      {"an older version replayed", [](UpdateTest& t) { t.publishVersion("0.9"); },
       "nothing new: the feed offers 0.9"},
      {"the same version", [](UpdateTest& t) { t.publishVersion("1.0"); },
       "nothing new: the feed offers 1.0"},
      {"an expired feed",
       [](UpdateTest& t) { t.serveFeed(t.feedWith("expires", "\"2020-01-01T00:00:00Z\"")); },
       "expired at 2020-01-01T00:00:00Z"},
      {"another identifier",
       [](UpdateTest& t) { t.serveFeed(t.feedWith("identifier", "\"org.example.other\"")); },
       "the feed is for org.example.other"},
      {"an archive whose digest differs",
       [](UpdateTest& t) { t.serveFeed(t.feedWith("sha256", "\"" + std::string(64, '0') + "\"")); },
       "SHA-256 digest"},
      {"an archive larger than announced",
       [](UpdateTest& t) {
         auto reading = qmk::update::readFeed(readFile(t.site() + "/update.json"));
         t.serveFeed(t.feedWith("size", std::to_string(reading.feed->size - 1)));
       },
       "larger than"},
      {"an archive smaller than announced",
       [](UpdateTest& t) {
         auto reading = qmk::update::readFeed(readFile(t.site() + "/update.json"));
         t.serveFeed(t.feedWith("size", std::to_string(reading.feed->size + 1)));
       },
       "not the announced"},
      {"an archive with ../ entries",
       [&](UpdateTest& t) {
         auto entries = t.bundleEntries(v2);
         entries.push_back({.name = "../escaped.txt", .data = "out"});
         t.serveArchive(entries);
       },
       "lead outside the bundle"},
      {"an archive with absolute paths",
       [&](UpdateTest& t) {
         auto entries = t.bundleEntries(v2);
         entries.push_back({.name = t.tmp / "absolute.txt", .data = "out"});
         t.serveArchive(entries);
       },
       "lead outside the bundle"},
      {"an archive with a link leading out",
       [&](UpdateTest& t) {
         auto entries = t.bundleEntries(v2);
         entries.push_back({.name = "Contents/Resources/out", .type = '2', .linkName = "../../.."});
         t.serveArchive(entries);
       },
       "a link leading out of the bundle"},
      {"an archive with an absolute link",
       [&](UpdateTest& t) {
         auto entries = t.bundleEntries(v2);
         entries.push_back({.name = "Contents/Resources/etc", .type = '2', .linkName = "/etc"});
         t.serveArchive(entries);
       },
       "a link leading out of the bundle"},
      {"an archive that is not a bundle",
       [](UpdateTest& t) { t.serveArchive({{.name = "hello.txt", .data = "hello"}}); },
       "not a bundle"},
      {"a bundle of another identifier",
       [](UpdateTest& t) {
         t.makeBundle(t.tmp / "other-identifier/App.app", "2.0", "org.example.other");
         t.serveArchive(t.bundleEntries(t.tmp / "other-identifier/App.app"));
       },
       "not org.example.updating"},
      {"a bundle of another version",
       [](UpdateTest& t) {
         t.makeBundle(t.tmp / "other-version/App.app", "1.5");
         t.serveArchive(t.bundleEntries(t.tmp / "other-version/App.app"));
       },
       "not the announced 2.0"},
      {"a 10 MB feed",
       [](UpdateTest& t) { writeFile(t.site() + "/update.json", std::string(10 << 20, ' ')); },
       "larger than 65536 bytes"},
      {"a server error",
       [](UpdateTest& t) { setInfo(t.installed(), "qmk.updateURL", t.server->url("/status/500")); },
       "could not be fetched"},
      {"a server that stalls",
       [](UpdateTest& t) { setInfo(t.installed(), "qmk.updateURL", t.server->url("/stall")); },
       "could not be fetched"},
      {"a feed that is not JSON", [](UpdateTest& t) { t.serveFeed("{\"identifier\": \"x\",}"); },
       "not a JSON object"},
  };
  for (const auto& refusal : refusals) {
    // Each case starts from the good feed and archive.
    writeFile(site() + "/update.json", goodFeed);
    writeFile(site() + "/update.json.sig", goodSignature);
    writeFile(site() + "/" + archiveName, goodArchive);
    setInfo(installed(), "qmk.updateURL", feedUrl);
    expectRefused(refusal);
  }
}

// A checker killed at any moment leaves either nothing or a whole staged version, and the next
// check stages the new version whole.
TEST_F(UpdateTest, ACheckerKilledAtAnyPointLeavesNoMixture) {
  install("1.0");
  const std::string v2 = publishVersion("2.0");
  // A larger archive that arrives slowly: the kills fall during the fetches, the download and
  // the extraction.
  writeFile(v2 + "/Contents/Resources/bulk.bin", noise(3 << 20));
  publishVersion("2.0");
  const auto whole = treeOf(v2);
  struct Phase {
    std::string name;
    std::string url;
    int killAfterMs;
  };
  const std::vector<Phase> phases = {
      {"feed fetch", server->url("/stall"), 500},
      {"download", server->url("/slow/200000/update.json"), 1500},
      {"download or extraction", server->url("/files/update.json"), 150},
      {"after staging", server->url("/files/update.json"), 8000},
  };
  for (const auto& phase : phases) {
    SCOPED_TRACE(phase.name);
    fs::remove_all(staged());
    fs::remove_all(stateDir());
    setInfo(installed(), "qmk.updateURL", phase.url);
    const auto installedTree = treeOf(installed());
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("XDG_STATE_HOME", (tmp / "state").c_str(), 1);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(QMK_BUNDLE, QMK_BUNDLE, "check", installed().c_str(), "--check-update", nullptr);
      ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(phase.killAfterMs));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(treeOf(installed()), installedTree);
    if (exists(staged())) {
      EXPECT_EQ(treeOf(staged()), whole);
    }

    // The next check (a good feed) removes what the killed one left and stages v2 whole.
    setInfo(installed(), "qmk.updateURL", feedUrl);
    auto next = checkNow();
    EXPECT_EQ(treeOf(staged()), whole) << next.out;
    EXPECT_EQ(namesIn(tmp / "apps"), (std::vector<std::string>{".App.app.update", "App.app"}));
  }
}

}  // namespace
