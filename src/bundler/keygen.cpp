// qmk-bundle keygen --out KEYFILE: a new private key for signing update feeds. The file holds
// one line, the base64 text of the 32-byte Ed25519 seed, readable by its owner alone; the public
// key goes to standard output, for `create --update-key`.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bundler/command_line.h"
#include "bundler/commands.h"
#include "bundler/failure.h"
#include "platform/ed25519.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace bundler {
namespace {

constexpr const char* kCommand = "keygen";

CommandSyntax keygenSyntax() {
  return {kCommand,
          "--out KEYFILE",
          "Writes a new private key for signing update feeds to KEYFILE (mode 0600; an existing\n"
          "file is never replaced) and prints its public key, the value for\n"
          "'create --update-key'. Keep KEYFILE safe and private: a bundle accepts updates signed\n"
          "with this key alone, and a lost key cannot be replaced in bundles already installed.",
          {{"out", "KEYFILE", "where the private key goes"}}};
}

int keygen(const Arguments& args) {
  const CommandSyntax syntax = keygenSyntax();
  const ParsedOptions options = parseOptions(syntax, args);
  if (options.helpRequested) {
    std::fputs(helpText(syntax).c_str(), stdout);
    return kExitDone;
  }
  const std::string out = options.required("out");
  auto seed = platform::ed25519::generateSeed();
  if (!seed) throw Failure("the system's random source cannot be read; try again.");
  platform::UniqueFd fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) {
    if (errno == EEXIST) {
      throw Failure(out +
                    " exists already; a key is never overwritten. Choose another --out, or "
                    "remove the file if you are sure no bundle uses its key.");
    }
    throw Failure("cannot create " + out + ": " + std::strerror(errno) + ".");
  }
  const std::string line = platform::ed25519::toText(seed->data(), seed->size()) + "\n";
  if (::fchmod(fd.get(), 0600) != 0 || !platform::writeAll(fd.get(), line) ||
      ::fsync(fd.get()) != 0 || !fd.close()) {
    const std::string reason = std::strerror(errno);
    ::unlink(out.c_str());
    throw Failure("cannot write " + out + ": " + reason + ".");
  }
  const auto key = platform::ed25519::publicKeyOf(*seed);
  std::printf("%s\n", platform::ed25519::toText(key.data(), key.size()).c_str());
  return kExitDone;
}

}  // namespace

int runKeygen(const Arguments& args) {
  return runReporting(kCommand, [&] { return keygen(args); });
}

}  // namespace bundler
