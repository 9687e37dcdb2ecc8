#include "launcher/Unpacker.h"

#include "launcher/global.h"
#include "platform/process.h"

namespace {

constexpr std::string_view kPackedSuffix = ".jar.pack";
constexpr size_t kPackSuffixLength = 5;  // ".pack"

}  // namespace

void Unpacker::addPackedFiles(std::vector<std::string>& list, const std::string& subDir,
                              const std::string& jreDir, platform::FileManager& fileManager) {
  auto names = fileManager.contentsOfDirectory(platform::joinPath(jreDir, subDir));
  if (!names) return;
  for (const std::string& name : *names) {
    if (name.ends_with(kPackedSuffix)) list.push_back(subDir + "/" + name);
  }
}

bool Unpacker::unpack(const std::string& jreDir, const ProgressBlock& progress) {
  platform::FileManager fileManager;
  // The tool gets absolute paths: it runs in our working directory, which says nothing about
  // where the runtime is.
  const std::string home = platform::absolutePath(jreDir);
  const std::string tool = platform::joinPath(home, "bin/unpack200");

  std::vector<std::string> packed;
  addPackedFiles(packed, "lib", home, fileManager);
  addPackedFiles(packed, "lib/ext", home, fileManager);
  DLOG("%s [Line %d] found %@", packed);

  double percent = 0;
  for (const std::string& relative : packed) {
    const std::string packedPath = platform::joinPath(home, relative);
    const std::string jarPath = packedPath.substr(0, packedPath.size() - kPackSuffixLength);
    if (fileManager.fileExists(packedPath)) {
      DLOG("%s [Line %d] unpacking %@", relative);
      // -r: the tool removes the packed file once expanded, so a second run has nothing to do.
      platform::Process::Options command;
      command.path = tool;
      command.arguments = {"-r", packedPath, jarPath};
      platform::Process child = platform::Process::launch(command);
      if (child.waitUntilExit() != 0) {
        ALOG("%s [Line %d] Unpack task failed.");
        return false;
      }
    }
    if (progress) {
      percent += 100.0 / static_cast<double>(packed.size());
      progress(std::nullopt, percent);
    }
  }
  return true;
}
