// The VM options file reader with its includes. The input is cut at NUL bytes into up to eight
// files, "0" to "7" in one directory that is also the bundle's parent and the home directory;
// file "0" is read first and may include the others (and itself) under any spelling: relative,
// quoted, "~/", "$APP_PACKAGE/../". However they include each other, reading must end, and
// nothing may be read twice along one chain.
#include "fuzz_support.h"
#include "launcher/Launcher.h"

namespace {

constexpr size_t kFiles = 8;

struct Setup {
  Setup() : launcher(fuzz::makeLauncher(dir.path())) {
    ::setenv("QMK_FUZZ_A", "alpha", 1);
    ::setenv("QMK_FUZZ_B", "${QMK_FUZZ_A}:b", 1);
    ::setenv("QMK_FUZZ_EMPTY", "", 1);
    ::setenv("QMK_FUZZ_FILE", "1", 1);
    ::unsetenv("QUILLMARK_LOG");
  }
  fuzz::TempDir dir{"qmk-fuzz-options"};
  std::unique_ptr<Launcher> launcher;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  const std::vector<std::string> files = fuzz::split(fuzz::asText(data, size), '\0', kFiles);
  for (size_t i = 0; i < kFiles; ++i) {
    const std::string path = setup.dir / std::to_string(i);
    if (i < files.size()) {
      fuzz::writeFile(path, files[i]);
    } else {
      ::unlink(path.c_str());
    }
  }

  std::vector<std::string> options;
  OptionalString classPath = setup.launcher->readOptionsFile(
      setup.dir / "0", options, std::string("start"), setup.launcher->bundlePath());
  // The class path given is never lost: it is only ever replaced by a line that sets it.
  FUZZ_CHECK(classPath.has_value());
  for (const auto& option : options) FUZZ_CHECK(!option.starts_with("-include-options "));
  return 0;
}
