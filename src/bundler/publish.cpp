// qmk-bundle publish BUNDLE --key KEYFILE --to DIR [--expires-in DAYS]: the three files of an
// update feed. The archive holds the bundle's Contents/ at its top, as the runtime archives do,
// and is made by GNU tar in a form the launchers' extractor reads; update.json describes it;
// update.json.sig is the Ed25519 signature over update.json's exact bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "bundler/command_line.h"
#include "bundler/commands.h"
#include "bundler/failure.h"
#include "bundler/json_writer.h"
#include "bundler/staged_output.h"
#include "bundler/tools.h"
#include "bundler/update_options.h"
#include "launcher/update_feed.h"
#include "launcher/update_state.h"
#include "platform/ed25519.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/sha256.h"
#include "platform/unique_fd.h"

namespace bundler {
namespace {

constexpr const char* kCommand = "publish";
constexpr int64_t kDefaultExpiryDays = 30;
// Past ten years a feed no longer protects against a frozen mirror.
constexpr int64_t kMaxExpiryDays = 3650;

CommandSyntax publishSyntax() {
  CommandSyntax syntax{
      kCommand,
      "BUNDLE --key KEYFILE --to DIR [--expires-in DAYS]",
      "Writes DIR/<identifier>-<version>.tar.gz (the bundle), DIR/update.json (what it is) and\n"
      "DIR/update.json.sig (the signature of update.json with KEYFILE's key). Upload the three\n"
      "files together to the folder that the bundle's update address names. The version is the\n"
      "bundle's CFBundleShortVersionString; installed bundles take only newer versions, and\n"
      "refuse the feed once it has expired: publish again before then.",
      {{"key", "KEYFILE", "the private key written by 'qmk-bundle keygen'"},
       {"to", "DIR", "the folder for the three files (made when missing)"},
       {"expires-in", "DAYS", "days until installed bundles refuse this feed (default 30)"}}};
  syntax.maxPositional = 1;
  return syntax;
}

struct Published {
  std::string identifier;
  std::string version;
};

Published readBundle(const std::string& bundle) {
  if (!platform::FileManager().isDirectory(bundle)) {
    throw Failure(bundle + " is not a bundle directory.");
  }
  const std::string infoPath = platform::joinPath(bundle, "Contents/Info.plist");
  plist::Reading reading = plist::readFileWithReason(infoPath);
  if (!reading.value || !reading.value->isDictionary()) {
    throw Failure(infoPath + " does not read (" + reading.reason + ").");
  }
  const plist::Value& info = *reading.value;
  Published p;
  p.identifier = info["CFBundleIdentifier"].stringValue().value_or("");
  p.version = info["CFBundleShortVersionString"].stringValue().value_or("");
  if (p.identifier.empty()) throw Failure(infoPath + " has no CFBundleIdentifier.");
  if (p.version.empty()) {
    throw Failure(infoPath +
                  " has no CFBundleShortVersionString: give the bundle the version "
                  "this release has.");
  }
  return p;
}

platform::ed25519::Seed readKey(const std::string& path) {
  auto text = platform::FileManager().readFile(path);
  if (!text) throw Failure("cannot read the key file " + path + ".");
  std::string line = *text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  auto seed = platform::ed25519::seedFromText(line);
  if (!seed) {
    throw Failure(path +
                  " is not a key written by 'qmk-bundle keygen' (one line of base64 "
                  "text of 32 bytes).");
  }
  return *seed;
}

// A feed the bundle would refuse is a mistake worth stopping for.
void checkBundleKey(const std::string& bundle, const platform::ed25519::Seed& seed) {
  auto info = plist::readFile(platform::joinPath(bundle, "Contents/Info.plist"));
  const auto key = platform::ed25519::publicKeyOf(seed);
  const std::string text = platform::ed25519::toText(key.data(), key.size());
  const auto bundleKey = (*info)[qmk::update::kPublicKeyKey].stringValue();
  if (!bundleKey) {
    warn(kCommand, bundle + " carries no " + qmk::update::kPublicKeyKey +
                       ": installed copies "
                       "of it do not check for updates. Make it with 'create --update-url URL "
                       "--update-key " +
                       text + "'.");
  } else if (*bundleKey != text) {
    throw Failure(bundle + "'s " + qmk::update::kPublicKeyKey + " is not the public key of " +
                  "this key file (" + text + "); installed copies would refuse the feed.");
  }
}

int64_t expiryDays(const ParsedOptions& options) {
  auto given = options.value("expires-in");
  if (!given) return kDefaultExpiryDays;
  auto days = wholeNumber(*given);
  if (!days || *days < 1 || *days > kMaxExpiryDays) {
    throw UsageError("--expires-in takes a whole number of days from 1 to " +
                     std::to_string(kMaxExpiryDays) + ", not '" + *given + "'.");
  }
  return *days;
}

struct ArchiveFacts {
  platform::Sha256Digest sha256;
  uint64_t size = 0;
};

ArchiveFacts digestFile(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw Failure("cannot read " + path + ".");
  platform::Sha256 hash;
  ArchiveFacts facts;
  char buffer[65536];
  ssize_t n;
  while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
    hash.update(buffer, static_cast<size_t>(n));
    facts.size += static_cast<uint64_t>(n);
  }
  if (n < 0) throw Failure("cannot read " + path + ".");
  facts.sha256 = hash.finish();
  return facts;
}

std::string feedText(const Published& p, const std::string& archive, const ArchiveFacts& facts,
                     int64_t published, int64_t expires) {
  std::string text = "{\n";
  text += "  \"identifier\": " + jsonQuoted(p.identifier) + ",\n";
  text += "  \"version\": " + jsonQuoted(p.version) + ",\n";
  text += "  \"archive\": " + jsonQuoted(archive) + ",\n";
  text += "  \"sha256\": \"" + platform::toHex(facts.sha256) + "\",\n";
  text += "  \"size\": " + std::to_string(facts.size) + ",\n";
  text += "  \"published\": \"" + qmk::update::formatTimestamp(published) + "\",\n";
  text += "  \"expires\": \"" + qmk::update::formatTimestamp(expires) + "\"\n";
  text += "}\n";
  return text;
}

int publish(const Arguments& args) {
  const CommandSyntax syntax = publishSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  if (options.positional.empty()) throw UsageError("name the bundle to publish.");
  const std::string bundle = options.positional[0];
  const std::string to = options.required("to");
  const platform::ed25519::Seed seed = readKey(options.required("key"));
  const int64_t days = expiryDays(options);
  const Published p = readBundle(bundle);
  checkBundleKey(bundle, seed);

  const std::string archive = p.identifier + "-" + p.version + ".tar.gz";
  if (!qmk::update::isArchiveName(archive)) {
    throw Failure("the archive name " + archive +
                  " would need escaping in an address: use "
                  "letters, digits, '.', '_', '-', '+' and '~' in the identifier and version.");
  }
  std::string error;
  if (!platform::FileManager().createDirectory(to, true, &error)) {
    throw Failure("cannot make " + to + ": " + error + ".");
  }
  const std::string archivePath = platform::joinPath(to, archive);
  const std::string partial = platform::joinPath(to, "." + archive + ".part");
  {
    ProgressLine progress("packing " + bundle + " (tar)");
    // No owner names and a fixed order, so that the archive is the same whoever makes it.
    runToolOrFail("tar", "/usr/bin/tar",
                  {"--format=gnu", "--owner=0", "--group=0", "--numeric-owner", "--sort=name",
                   "-czf", partial, "-C", bundle, "Contents"});
  }
  if (::rename(partial.c_str(), archivePath.c_str()) != 0) {
    ::unlink(partial.c_str());
    throw Failure("cannot write " + archivePath + ".");
  }
  const ArchiveFacts facts = digestFile(archivePath);
  const int64_t now = ::time(nullptr);
  const std::string feed = feedText(p, archive, facts, now, now + days * 86400);
  const auto signature = platform::ed25519::sign(seed, feed);
  writeFileAtomically(platform::joinPath(to, "update.json"), feed);
  writeFileAtomically(platform::joinPath(to, "update.json.sig"),
                      platform::ed25519::toText(signature.data(), signature.size()) + "\n");
  return kExitDone;
}

}  // namespace

int runPublish(const Arguments& args) {
  return runReporting(kCommand, [&] { return publish(args); });
}

}  // namespace bundler
