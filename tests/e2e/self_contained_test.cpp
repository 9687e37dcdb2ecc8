// The launchers travel to machines that have nothing but a C library and a Java runtime: what
// their ELF headers say they need, and the programs started in a mount namespace where the
// libraries they must do without (libplist, libcurl, libexpat, libz, GTK, and libstdc++ where
// the runtime itself does not need it) are hidden behind /dev/null.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "support/demo_bundle.h"
#include "support/http_server.h"
#include "support/installer_fixture.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::arr;
using testing_support::dict;
using testing_support::Env;
using testing_support::HttpServer;
using testing_support::probeValue;
using testing_support::run;
using testing_support::RunResult;
using testing_support::SetupstubTest;
using testing_support::str;
using testing_support::TempDir;

namespace {

// The C library's parts; libdl and libpthread are separate files on C libraries before 2.34.
const std::set<std::string> kAllowedNeeded = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2",
                                              "libdl.so.2", "libpthread.so.0"};

std::vector<std::string> neededLibraries(const std::string& program) {
  RunResult r = run({"/usr/bin/readelf", "-d", "-W", program});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> needed;
  const std::regex entry(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), entry), end; it != end; ++it) {
    needed.push_back((*it)[1].str());
  }
  return needed;
}

TEST(NeededLibrariesTest, TheLaunchersNeedOnlyTheCLibrary) {
  for (const char* program : {QMK_APPSTUB, QMK_SETUPSTUB}) {
    const std::vector<std::string> needed = neededLibraries(program);
    EXPECT_FALSE(needed.empty()) << program << ": readelf found no NEEDED entry at all";
    for (const auto& library : needed) {
      EXPECT_TRUE(kAllowedNeeded.count(library)) << program << " needs " << library;
    }
  }
}

// --- The programs without the libraries ------------------------------------------------------

// The machine's files of the libraries the launchers must do without (the files themselves,
// not the links to them: a bind mount over a link would cover its target anyway).
std::vector<std::string> libraryFiles(bool withCxxRuntime) {
  std::string pattern = R"(lib(plist|curl|expat|gtk-3|gdk-3).*\.so.*|libz\.so.*)";
  if (withCxxRuntime) pattern += R"(|libstdc\+\+\.so.*)";
  const std::regex names(pattern);
  std::set<std::string> files;
  for (const char* dir :
       {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib", "/lib"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
      if (entry.is_symlink() || !entry.is_regular_file()) continue;
      if (std::regex_match(entry.path().filename().string(), names)) {
        files.insert(fs::canonical(entry.path()).string());
      }
    }
  }
  return {files.begin(), files.end()};
}

// The library files a runtime's own code loads (bin/java and every library under lib/, with
// what those need in turn), as the dynamic loader resolves them.
std::set<std::string> filesTheRuntimeNeeds(const std::string& home) {
  std::vector<std::string> objects = {home + "/bin/java"};
  for (const auto& entry : fs::recursive_directory_iterator(home + "/lib")) {
    if (entry.is_regular_file() && entry.path().extension() == ".so") {
      objects.push_back(entry.path().string());
    }
  }
  std::set<std::string> files;
  const std::regex resolved(R"(=> (/\S+))");
  for (const auto& object : objects) {
    RunResult r = run({"/usr/bin/ldd", object});
    for (std::sregex_iterator it(r.out.begin(), r.out.end(), resolved), end; it != end; ++it) {
      std::error_code error;
      fs::path file = fs::canonical((*it)[1].str(), error);
      if (!error) files.insert(file.string());
    }
  }
  return files;
}

// What to hide for a run with the runtime at `home` (none: no runtime starts): every library
// file of the list, but those the runtime's own code needs. Debian's JDK 17 needs libstdc++ for
// its libjvm and libz for its libzip; a self-contained runtime needs neither.
std::vector<std::string> filesToHide(const std::optional<std::string>& home) {
  const std::vector<std::string> all = libraryFiles(/*withCxxRuntime=*/true);
  if (!home) return all;
  const std::set<std::string> needed = filesTheRuntimeNeeds(*home);
  std::vector<std::string> hidden;
  for (const auto& file : all) {
    if (!needed.count(file)) hidden.push_back(file);
  }
  return hidden;
}

bool namespacesWork() { return run({"/usr/bin/unshare", "-m", "/bin/true"}).status == 0; }

// Runs `argv` in a mount namespace of its own with `hidden` covered by /dev/null. Status 125
// means a file could not be hidden.
RunResult runWithout(const std::vector<std::string>& hidden, const std::vector<std::string>& argv,
                     const Env& env) {
  std::string script;
  for (const auto& file : hidden) {
    script += "mount --bind /dev/null '" + file + "' && [ ! -s '" + file +
              "' ] || { echo 'cannot hide " + file + "' >&2; exit 125; }\n";
  }
  script += "exec \"$@\"\n";
  std::vector<std::string> command = {"/usr/bin/unshare", "-m", "--propagation", "private",
                                      "/bin/sh",          "-c", script,          "sh"};
  command.insert(command.end(), argv.begin(), argv.end());
  return run(command, "", env);
}

std::string describe(const std::vector<std::string>& files) {
  std::ostringstream text;
  for (const auto& file : files) text << "\n  hidden: " << file;
  return text.str();
}

// The runtimes to start: the test JDK, and a Temurin JDK where one is installed.
std::vector<std::string> runtimes() {
  std::vector<std::string> homes = {QMK_JAVA_HOME};
  const std::string temurin = "/usr/lib/jvm/temurin-25-jdk-amd64";
  if (fs::exists(temurin + "/bin/java")) homes.push_back(temurin);
  return homes;
}

#define SKIP_WITHOUT_NAMESPACES()                                                     \
  if (!namespacesWork())                                                              \
  GTEST_SKIP() << "unshare -m is refused here (it needs root or CAP_SYS_ADMIN): the " \
                  "launchers cannot be started without the hidden libraries"

TEST(WithoutLibrariesTest, TheDemoBundleStarts) {
  SKIP_WITHOUT_NAMESPACES();
  TempDir dir;
  const std::string app = testing_support::makeDemoBundle(dir.path(), QMK_APPSTUB);
  for (const auto& home : runtimes()) {
    SCOPED_TRACE(home);
    const std::vector<std::string> hidden = filesToHide(home);
    RunResult r = runWithout(hidden, {app + "/Contents/MacOS/Hello", "one arg"},
                             {{"QMK_TEST_JDK", home}, {"QUILLMARK_LOG", std::nullopt}});
    EXPECT_EQ(r.status, 0) << r.err << describe(hidden);
    EXPECT_NE(r.out.find("  runtime chosen:    " + home + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  argument 1:        one arg\n"), std::string::npos) << r.out;
  }
}

class WithoutLibrariesInstallerTest : public SetupstubTest {
 protected:
  // A display that cannot be reached: setupstub tries to load GTK, and must do without it.
  Env environmentWithoutGtk() const {
    Env env = environment();
    env["DISPLAY"] = ":97";
    return env;
  }
};

TEST_F(WithoutLibrariesInstallerTest, TheShippedArchiveRoadRunsItsInstaller) {
  SKIP_WITHOUT_NAMESPACES();
  for (const auto& home : runtimes()) {
    SCOPED_TRACE(home);
    // The archive the bundle ships: a runtime made from this JDK.
    TempDir work;
    std::string archive = runtimeArchive();
    if (home != QMK_JAVA_HOME) {
      testing_support::makeJlinkRuntime(work / "jre.bundle", home, "25");
      archive = work / "jre.tar.gz";
      ASSERT_EQ(run({"/usr/bin/tar", "-czf", archive, "-C", work / "jre.bundle", "."}).status, 0);
    }
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeInstaller({}, /*shipArchive=*/false);
    shipArchiveIn(app, archive);
    const std::vector<std::string> hidden = filesToHide(home);
    RunResult r = runWithout(hidden, {program(app), "exit=3"}, environmentWithoutGtk());
    EXPECT_EQ(r.status, 3) << r.err << describe(hidden);
    EXPECT_NE(probeValue(r.out, "prop:qmk.jreBundle"), "<absent>") << r.out;
    EXPECT_FALSE(anyNotice(r)) << r.err;
    EXPECT_TRUE(temporaryDirectoriesGone());
  }
}

TEST_F(WithoutLibrariesInstallerTest, TheDownloadRoadEndsWithItsNotice) {
  SKIP_WITHOUT_NAMESPACES();
  HttpServer server{*shared / ""};
  const std::string app = makeInstaller({{"qmk.jreLocation", str(server.url("/files/jre.tar.gz"))},
                                         {"JavaVM", dict({{"SearchSequence", arr({"Rnone"})}})}},
                                        false);
  const std::vector<std::string> hidden = filesToHide(std::nullopt);
  RunResult r = runWithout(hidden, {program(app)}, environmentWithoutGtk());
  EXPECT_EQ(r.status, 1) << r.err << describe(hidden);
  EXPECT_TRUE(noticeShown(r, "The runtime could not be downloaded.")) << r.err;
  EXPECT_NE(r.err.find("Download failed! Error - libcurl.so.4 could not be loaded: "),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
  EXPECT_EQ(r.out.find("arg["), std::string::npos);
}

}  // namespace
