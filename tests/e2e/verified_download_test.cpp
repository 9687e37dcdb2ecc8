// The pinned runtime download, through the real setupstub and the loopback server: with
// "qmk.jreSha256" the downloaded archive must have that digest, or nothing of it is extracted
// or run; a value that is not a digest stops the road instead of being ignored.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/plist.h"
#include "support/http_server.h"
#include "support/installer_fixture.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::arr;
using testing_support::dict;
using testing_support::HttpServer;
using testing_support::probeValue;
using testing_support::RunResult;
using testing_support::SetupstubTest;
using testing_support::str;

namespace {

// The digest sha256sum gives for `path`, in lower-case hex.
std::string sha256sum(const std::string& path) {
  RunResult r = testing_support::run({"/usr/bin/sha256sum", "-b", path});
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out.substr(0, 64);
}

// A file holding the first `length` bytes of `path`.
std::string prefixOf(const std::string& path, size_t length) {
  const std::string prefix = path + ".prefix";
  testing_support::writeFile(prefix, testing_support::readFile(path).substr(0, length));
  return prefix;
}

std::string upperCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

enum class Outcome {
  kInstallerRuns,  // the archive was verified, extracted and its runtime started
  kMismatch,       // "DownloadJreError" and a line with both digests
  kMalformed,      // "DownloadJreError" and a line saying the pin is malformed
  kTransferFails,  // "DownloadJreError" for the transfer's own failure
};

struct PinCase {
  const char* what;
  const char* path;  // on the loopback server
  // The pin: the archive's digest is handed in; absent leaves the key out.
  std::function<std::optional<plist::Value>(const std::string& digest)> pin;
  Outcome outcome;
  // What arrives when the server cuts the transfer short; absent for the whole archive.
  std::optional<size_t> receivedBytes = std::nullopt;
};

class VerifiedDownloadTest : public SetupstubTest {
 protected:
  HttpServer server{*shared / ""};

  std::string makePinnedInstaller(const std::string& path, const std::optional<plist::Value>& pin) {
    plist::Dictionary info = {{"qmk.jreLocation", str(server.url(path))},
                              {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}};
    if (pin) info["qmk.jreSha256"] = *pin;
    fs::remove_all(dir / "Demo.app");
    return makeInstaller(info, false);
  }
};

TEST_F(VerifiedDownloadTest, ThePinDecidesWhetherTheDownloadedRuntimeRuns) {
  const std::string wrong(64, '0');
  auto digestText = [](std::string text) {
    return [text](const std::string&) { return std::optional(str(text)); };
  };
  const PinCase cases[] = {
      {"no pin", "/files/jre.tar.gz", [](const std::string&) { return std::nullopt; },
       Outcome::kInstallerRuns},
      {"right digest", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str(d)); }, Outcome::kInstallerRuns},
      {"right digest, upper case", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str(upperCase(d))); },
       Outcome::kInstallerRuns},
      {"right digest on a line of its own", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str("\n  " + d + "\n")); },
       Outcome::kInstallerRuns},
      {"right digest, chunked", "/files/jre.tar.gz?length=none",
       [](const std::string& d) { return std::optional(str(d)); }, Outcome::kInstallerRuns},
      {"wrong digest", "/files/jre.tar.gz", digestText(wrong), Outcome::kMismatch},
      // The connection's end is the body's end: the transfer itself looks complete.
      {"cut short without a length", "/files/jre.tar.gz?length=close&drop=3000000",
       [](const std::string& d) { return std::optional(str(d)); }, Outcome::kMismatch, 3000000},
      {"cut short against its length", "/files/jre.tar.gz?drop=3000000",
       [](const std::string& d) { return std::optional(str(d)); }, Outcome::kTransferFails},
      {"63 digits", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str(d.substr(1))); }, Outcome::kMalformed},
      {"65 digits", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str(d + "0")); }, Outcome::kMalformed},
      {"not hexadecimal", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str("g" + d.substr(1))); },
       Outcome::kMalformed},
      {"with a prefix", "/files/jre.tar.gz",
       [](const std::string& d) { return std::optional(str("sha256:" + d)); }, Outcome::kMalformed},
      {"empty", "/files/jre.tar.gz", digestText(""), Outcome::kMalformed},
      {"an integer", "/files/jre.tar.gz",
       [](const std::string&) { return std::optional(plist::Value::integer(12345)); },
       Outcome::kMalformed},
  };
  const std::string digest = sha256sum(runtimeArchive());
  ASSERT_EQ(digest.size(), 64u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string app = makePinnedInstaller(c.path, c.pin(digest));
    RunResult r = runInstaller(app, {"exit=5"});
    EXPECT_TRUE(temporaryDirectoriesGone()) << "archive and temporary directory are removed";
    if (c.outcome == Outcome::kInstallerRuns) {
      EXPECT_EQ(r.status, 5) << r.err;
      EXPECT_NE(probeValue(r.out, "prop:qmk.jreBundle"), "<absent>") << r.out;
      EXPECT_FALSE(anyNotice(r)) << r.err;
      continue;
    }
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(noticeShown(r, "The runtime could not be downloaded.")) << r.err;
    EXPECT_EQ(r.out.find("arg["), std::string::npos) << "nothing was extracted or run";
    if (c.outcome == Outcome::kMismatch) {
      // Both digests: what arrived (all of it, or the part before the cut) and the pin.
      const std::string received =
          c.receivedBytes ? sha256sum(prefixOf(runtimeArchive(), *c.receivedBytes)) : digest;
      const std::string expected = c.pin(digest)->stringValue().value();
      EXPECT_NE(r.err.find("Download failed! Error - The content's SHA-256 digest is " + received +
                           ", not the expected " + expected + "."),
                std::string::npos)
          << r.err;
    }
    if (c.outcome == Outcome::kMalformed) {
      EXPECT_NE(r.err.find("qmk.jreSha256 is malformed"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("Downloading Java"), std::string::npos) << "no transfer: " << r.err;
    }
  }
}

}  // namespace
