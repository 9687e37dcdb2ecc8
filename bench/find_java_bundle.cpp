// The runtime search over a public runtime directory of 10, 100 and 1,000 candidates, of which
// only the one tried last is acceptable: every candidate is listed, ordered and checked.
//
//   scripts/build --target find_java_bundle_bench && build/bin/find_java_bundle_bench
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

#include "launcher/Launcher.h"
#include "launcher/global.h"

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

plist::Value runtimeInfo(const std::string& version) {
  return plist::Value::dictionary(
      {{"JavaVM", plist::Value::dictionary({{"JVMVersion", plist::Value::string(version)}})}});
}

// A directory tree with an application bundle whose maximum is 1.8, and `count` runtimes in
// the public directory: count - 1 of version 11.0.k (above the maximum) and one 1.8.0_311 that
// every ordering puts last (a vendor name for the name order, the oldest version for the
// release order).
class Machine {
 public:
  Machine(int count, bool linux) {
    char name[] = "/tmp/qmk-bench-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    root_ = name;
    const fs::path app = root_ / "App.app";
    writeFile(
        app / "Contents/Info.plist",
        plist::toXml(plist::Value::dictionary({{"qmk.maxVersion", plist::Value::string("1.8")}})));
    const fs::path jvm = root_ / "jvm";
    for (int k = 0; k < count; ++k) {
      bool accepted = k == count - 1;
      std::string version = accepted ? "1.8.0_311" : "11.0." + std::to_string(k);
      if (linux) {
        fs::path home = jvm / ("java-" + std::to_string(k) + "-openjdk-amd64");
        writeFile(home / "bin/java", "");
        fs::permissions(home / "bin/java", fs::perms::owner_all);
        writeFile(home / "release", "JAVA_VERSION=\"" + version + "\"\n");
      } else {
        std::string entry = accepted ? "alpha-8.jdk" : "jdk-" + version + ".jdk";
        writeFile(jvm / entry / "Contents/Info.plist", plist::toXml(runtimeInfo(version)));
      }
    }
    context_.mainBundle = platform::Bundle::create(app.string());
    context_.layout =
        linux ? platform::SystemLayout::forLinux() : platform::SystemLayout::forMacOS();
    context_.layout.publicRuntimeDirectory = jvm.string();
    context_.layout.pluginPath.reset();
    context_.homeDirectory = root_.string();
    expected_ = linux ? (jvm / ("java-" + std::to_string(count - 1) + "-openjdk-amd64")).string()
                      : (jvm / "alpha-8.jdk").string();
  }
  ~Machine() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const LaunchContext& context() const { return context_; }
  const std::string& expected() const { return expected_; }

 private:
  fs::path root_;
  LaunchContext context_;
  std::string expected_;
};

void findJavaBundle(benchmark::State& state, bool linux) {
  static std::map<std::pair<int64_t, bool>, std::unique_ptr<Machine>> machines;
  auto& machine = machines[{state.range(0), linux}];
  if (!machine) machine = std::make_unique<Machine>(static_cast<int>(state.range(0)), linux);
  Launcher launcher(machine->context());
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable is unused
    free(launchJavaVersion);
    launchJavaVersion = nullptr;
    OptionalString chosen = launcher.findJavaBundle(false);
    if (chosen != machine->expected()) {
      state.SkipWithError("the search chose the wrong runtime");
      break;
    }
    benchmark::DoNotOptimize(chosen);
  }
  state.SetComplexityN(state.range(0));
}

void BM_FindJavaBundle_MacOSLayout(benchmark::State& state) { findJavaBundle(state, false); }
void BM_FindJavaBundle_LinuxLayout(benchmark::State& state) { findJavaBundle(state, true); }

BENCHMARK(BM_FindJavaBundle_MacOSLayout)
    ->RangeMultiplier(10)
    ->Range(10, 1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);
BENCHMARK(BM_FindJavaBundle_LinuxLayout)
    ->RangeMultiplier(10)
    ->Range(10, 1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

}  // namespace

BENCHMARK_MAIN();
