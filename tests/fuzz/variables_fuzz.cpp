// Variable substitution and class-path entry resolution, as the launch parameters apply them:
// substitution first, then resolution. The bundle holds lib/ with two archives and a text file
// for directory entries to find; three environment variables are set for references to use.
#include "fuzz_support.h"
#include "launcher/Launcher.h"

namespace {

struct Setup {
  Setup() : launcher(fuzz::makeLauncher(dir.path())) {
    const std::string lib = launcher->bundlePath() + "/lib";
    std::filesystem::create_directories(lib);
    for (const char* name : {"a.jar", "b.zip", "c.txt"}) fuzz::writeFile(lib + "/" + name, "");
    std::filesystem::create_directories(dir / "jvm/bin");
    launcher->javaBundlePath = dir / "jvm";
    ::setenv("QMK_FUZZ_A", "alpha", 1);
    ::setenv("QMK_FUZZ_B", "${QMK_FUZZ_A}:b", 1);
    ::setenv("QMK_FUZZ_EMPTY", "", 1);
    ::unsetenv("QUILLMARK_LOG");
  }
  fuzz::TempDir dir{"qmk-fuzz-variables"};
  std::unique_ptr<Launcher> launcher;
};

// Whether resolution leaves `s` as it stands: no entry names a variable or a directory scan.
bool isPlainList(const std::string& s) {
  size_t start = 0;
  for (;;) {
    size_t colon = s.find(':', start);
    std::string_view entry = std::string_view(s).substr(start, colon - start);
    if (entry.starts_with('$') || entry.ends_with("/*")) return false;
    if (colon == std::string::npos) return true;
    start = colon + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  const std::string input(fuzz::asText(data, size));
  const Launcher& launcher = *setup.launcher;

  FUZZ_CHECK(!launcher.replaceVariables(std::nullopt));
  FUZZ_CHECK(!launcher.resolveArtifactPath(std::nullopt));

  const OptionalString replaced = launcher.replaceVariables(input);
  FUZZ_CHECK(replaced.has_value());
  if (input.find('$') == std::string::npos) FUZZ_CHECK(*replaced == input);

  for (const std::string& s : {input, *replaced}) {
    const OptionalString resolved = launcher.resolveArtifactPath(s);
    if (isPlainList(s)) FUZZ_CHECK(resolved == s);
  }
  return 0;
}
