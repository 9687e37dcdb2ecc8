// The tar walk. The input is a tar archive (compressed first unless it already begins with the
// gzip magic), extracted into a destination inside a sandbox that also holds files, a directory
// and a link of its own. Whatever the archive holds, nothing outside the destination may be
// created, changed, linked or removed: the guard checks every such call while the walk runs,
// and the sandbox is compared with its first state afterwards. Progress stays within 0 to 100,
// and a walk that does not complete says why.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "launcher/UnTar.h"
#include "untar_guard.h"

namespace fs = std::filesystem;

namespace {

// What can be seen of one entry of the sandbox: type, mode, link target or content.
using Snapshot = std::map<std::string, std::string>;

std::string describe(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  std::string text = std::to_string(st.st_mode) + ":" + std::to_string(st.st_nlink) + ":";
  if (S_ISLNK(st.st_mode)) return text + fs::read_symlink(path).string();
  if (S_ISREG(st.st_mode)) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return text + "unreadable";
    char buffer[256];
    size_t n = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    return text + std::string(buffer, n);
  }
  return text;
}

// Everything in the sandbox except the destination's contents; links are not followed.
Snapshot snapshot(const std::string& sandbox) {
  Snapshot entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(sandbox, error), end; !error && it != end;
       it.increment(error)) {
    const std::string relative = fs::relative(it->path(), sandbox).string();
    entries[relative] = relative == "dest" ? "destination" : describe(it->path());
    if (relative == "dest") it.disable_recursion_pending();
  }
  return entries;
}

struct Setup {
  Setup() {
    ::unsetenv("QUILLMARK_LOG");
    fs::create_directories(sandbox / "outside-dir");
    fuzz::writeFile(sandbox / "outside.txt", "must stay");
    fuzz::writeFile(sandbox / "outside-dir/inner.txt", "must stay too");
    fs::create_directory_symlink("outside-dir", sandbox / "outside-link");
    fs::create_directory(destination());
    before = snapshot(sandbox.path());
  }
  std::string destination() const { return sandbox / "dest"; }

  fuzz::TempDir sandbox{"qmk-fuzz-untar"};
  fuzz::TempDir work{"qmk-fuzz-untar-in"};
  Snapshot before;
};

void writeArchive(const std::string& path, std::string_view input) {
  if (input.size() >= 2 && static_cast<unsigned char>(input[0]) == 0x1f &&
      static_cast<unsigned char>(input[1]) == 0x8b) {
    fuzz::writeFile(path, input);
    return;
  }
  gzFile out = gzopen(path.c_str(), "wb1");
  FUZZ_CHECK(out != nullptr);
  if (!input.empty()) gzwrite(out, input.data(), static_cast<unsigned>(input.size()));
  gzclose(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  const std::string archive = setup.work / "jre.tar.gz";
  writeArchive(archive, fuzz::asText(data, size));
  // A stated length shorter than the archive, to see that progress never passes 100.
  const auto statedLength = static_cast<int32_t>(size / 2 + 1);

  untar_guard_arm(setup.destination().c_str());
  UnTar::Result result = UnTar::untar(archive, setup.destination(), statedLength,
                                      [](const std::optional<std::string>&, double percent) {
                                        FUZZ_CHECK(percent >= 0 && percent <= 100);
                                      });
  untar_guard_disarm();

  FUZZ_CHECK(result.complete || !result.failure.empty());
  FUZZ_CHECK(snapshot(setup.sandbox.path()) == setup.before);

  // Empty the destination for the next input; entries made read-only are removable, their
  // directories are made writable first.
  std::error_code error;
  for (const auto& entry : fs::recursive_directory_iterator(setup.destination(), error)) {
    if (entry.is_directory() && !entry.is_symlink()) ::chmod(entry.path().c_str(), 0700);
  }
  for (const auto& entry : fs::directory_iterator(setup.destination(), error)) {
    fs::remove_all(entry.path(), error);
  }
  return 0;
}
