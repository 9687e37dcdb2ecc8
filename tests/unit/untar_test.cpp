#include "launcher/UnTar.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "launcher/tar_header.h"
#include "support/tar_builder.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing_support::exists;
using testing_support::readFile;
using testing_support::tarBytes;
using testing_support::tarHeaderBlock;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Hand-made archives for what GNU tar will not write.
using Entry = testing_support::TarEntry;

void writeGzip(const std::string& path, const std::string& bytes) {
  gzFile out = gzopen(path.c_str(), "wb1");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(gzwrite(out, bytes.data(), static_cast<unsigned>(bytes.size())),
            static_cast<int>(bytes.size()));
  gzclose(out);
}

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

ino_t inodeOf(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

void gnuTar(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/tar"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = testing_support::run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
}

UnTar::Result untar(const std::string& archive, const std::string& destination,
                    int32_t length = 6000000) {
  fs::create_directories(destination);
  return UnTar::untar(archive, destination, length, {});
}

class UnTarGnuFormats : public ::testing::TestWithParam<std::string> {};

// A runtime-like tree with everything GNU tar writes differently in each format.
TEST_P(UnTarGnuFormats, ExtractsWhatGnuTarPacked) {
  TempDir dir;
  const std::string src = dir / "src/jre.bundle";
  const std::string deep = "Contents/Home/lib/" + std::string(70, 'd') + "/" + std::string(60, 'e');
  const std::string longName = deep + "/" + std::string(90, 'f') + ".jar";  // > 100 bytes
  writeFile(src + "/Contents/Info.plist", "<plist/>");
  writeFile(src + "/Contents/Home/bin/java", "#!/bin/sh\n", 0755);
  writeFile(src + "/Contents/Home/lib/readonly.txt", "r/o", 0444);
  writeFile(src + "/Contents/Home/lib/setuid", "s", 04755);
  writeFile(src + "/Contents/Home/lib/empty", "");
  writeFile(src + "/Contents/Home/lib/._modules", "companion");
  writeFile(src + "/" + longName, randomBytes(70000, 1));
  fs::create_directory_symlink("Home", src + "/Contents/Current");
  // Plain ustar cannot hold a link target of more than 100 bytes.
  const std::string linkTarget = "../" + std::string(GetParam() == "ustar" ? 90 : 120, 'x');
  fs::create_symlink(linkTarget, src + "/Contents/Home/long-target");
  fs::create_hard_link(src + "/Contents/Home/bin/java", src + "/Contents/Home/bin/java2");
  fs::create_directories(src + "/Contents/Home/conf/empty-dir");

  const std::string archive = dir / "jre.tar.gz";
  gnuTar({"--format=" + GetParam(), "-czf", archive, "-C", src, "."});

  const std::string out = dir / "out";
  UnTar::Result result = untar(archive, out);
  EXPECT_TRUE(result.complete) << result.failure;
  EXPECT_EQ(result.topLevelDirectory, ".");

  EXPECT_EQ(readFile(out + "/Contents/Info.plist"), "<plist/>");
  EXPECT_EQ(readFile(out + "/" + longName), randomBytes(70000, 1));
  EXPECT_EQ(modeOf(out + "/Contents/Home/bin/java"), 0755u);
  EXPECT_EQ(modeOf(out + "/Contents/Home/lib/readonly.txt"), 0644u);  // owner write added
  EXPECT_EQ(modeOf(out + "/Contents/Home/lib/setuid"), 0755u);        // set-id dropped
  EXPECT_EQ(fs::file_size(out + "/Contents/Home/lib/empty"), 0u);
  EXPECT_FALSE(exists(out + "/Contents/Home/lib/._modules"));
  EXPECT_EQ(fs::read_symlink(out + "/Contents/Current"), "Home");
  EXPECT_EQ(fs::read_symlink(out + "/Contents/Home/long-target"), linkTarget);
  EXPECT_EQ(inodeOf(out + "/Contents/Home/bin/java2"), inodeOf(out + "/Contents/Home/bin/java"));
  EXPECT_TRUE(fs::is_directory(out + "/Contents/Home/conf/empty-dir"));
}

INSTANTIATE_TEST_SUITE_P(Formats, UnTarGnuFormats, ::testing::Values("gnu", "posix", "ustar"));

TEST(UnTar, HandMadeEntriesOfEveryKind) {
  TempDir dir;
  const std::string archive = dir / "a.tar.gz";
  std::vector<Entry> entries = {
      {.name = "top/", .type = '5', .mode = "0000555"},
      // GNU tar's own spelling of the size, then the next entry right after 24 bytes of padding.
      {.name = "top/thousand",
       .data = std::string(1000, 'k'),
       .sizeField = "00000001750 ",
       .magic = "ustar  \0"s},
      {.name = "top/old-style", .type = '\0', .data = "type NUL"},
      {.name = "top/contiguous", .type = '7', .data = "type 7"},
      {.name = "top/fifo", .type = '6'},
      {.name = "top/hard", .type = '1', .linkName = "top/old-style"},
      {.name = "top/sub/nested/file", .data = "parents made"},  // no directory entries before
  };
  writeGzip(archive, tarBytes(entries));
  UnTar::Result result = untar(archive, dir / "out");
  EXPECT_TRUE(result.complete) << result.failure;
  EXPECT_EQ(result.topLevelDirectory, "top");
  EXPECT_EQ(readFile(dir / "out/top/thousand"), std::string(1000, 'k'));
  EXPECT_EQ(readFile(dir / "out/top/old-style"), "type NUL");
  EXPECT_EQ(readFile(dir / "out/top/contiguous"), "type 7");
  EXPECT_EQ(readFile(dir / "out/top/hard"), "type NUL");
  EXPECT_FALSE(exists(dir / "out/top/fifo"));
  EXPECT_EQ(readFile(dir / "out/top/sub/nested/file"), "parents made");
  // The directory's own mode is not applied: the installer must be able to write into it.
  EXPECT_EQ(modeOf(dir / "out/top") & 0200, 0200u);
}

TEST(UnTar, SymbolicLinkAndFileReplaceWhatIsThere) {
  TempDir dir;
  const std::string outside = dir / "outside.txt";
  writeFile(outside, "precious");
  fs::create_directories(dir / "out");
  writeFile(dir / "out/link", "old file");
  fs::create_symlink(outside, dir / "out/victim");  // a regular entry must not write through it
  const std::string archive = dir / "a.tar.gz";
  writeGzip(archive, tarBytes({{.name = "link", .type = '2', .linkName = "target"},
                               {.name = "victim", .data = "new"}}));
  UnTar::Result result = untar(archive, dir / "out");
  EXPECT_TRUE(result.complete) << result.failure;
  EXPECT_EQ(fs::read_symlink(dir / "out/link"), "target");
  EXPECT_FALSE(fs::is_symlink(dir / "out/victim"));
  EXPECT_EQ(readFile(dir / "out/victim"), "new");
  EXPECT_EQ(readFile(outside), "precious");
}

TEST(UnTar, NamesLeadingOutsideAreSkipped) {
  TempDir dir;
  fs::create_directories(dir / "elsewhere");
  const std::string archive = dir / "a.tar.gz";
  std::vector<Entry> entries = {
      {.name = "../escaped", .data = "x"},
      {.name = "ok/../../escaped2", .data = "x"},
      {.name = dir / "absolute", .data = "x"},
      {.name = "../escaped-dir/", .type = '5'},
      {.name = "out-link", .type = '2', .linkName = dir / "elsewhere"},
      {.name = "out-link/through", .data = "x"},
      {.name = "out-link/sub/", .type = '5'},
      {.name = "up", .type = '2', .linkName = ".."},
      {.name = "up/through-up", .data = "x"},
      {.name = "steal", .type = '1', .linkName = "../secret"},
      {.name = "steal2", .type = '1', .linkName = "up/secret"},
      {.name = "in-link", .type = '2', .linkName = "real"},
      {.name = "real/", .type = '5'},
      {.name = "in-link/fine", .data = "inside"},  // a link that stays inside is followed
      {.name = "safe", .data = "still extracted"},
  };
  writeFile(dir / "secret", "secret");
  writeGzip(archive, tarBytes(entries));
  UnTar::Result result = untar(archive, dir / "out");
  EXPECT_TRUE(result.complete) << result.failure;
  for (const char* p : {"escaped", "escaped2", "absolute", "escaped-dir", "elsewhere/through",
                        "elsewhere/sub", "through-up"}) {
    EXPECT_FALSE(exists(dir / p)) << p;
  }
  EXPECT_FALSE(exists(dir / "out/steal"));
  EXPECT_FALSE(exists(dir / "out/steal2"));
  EXPECT_EQ(readFile(dir / "out/real/fine"), "inside");
  EXPECT_EQ(readFile(dir / "out/safe"), "still extracted");
}

TEST(UnTar, GnuAndPaxExtensionsOnHandMadeArchive) {
  TempDir dir;
  const std::string longName = "p/" + std::string(150, 'n');
  const std::string longLink = std::string(130, 'l');
  std::string pax = "18 path=pax/named\n";
  std::vector<Entry> entries = {
      {.name = "././@LongLink", .type = 'L', .data = longName + '\0'},
      {.name = "truncated", .data = "long name"},
      {.name = "././@LongLink", .type = 'K', .data = longLink + '\0'},
      {.name = "sym", .type = '2', .linkName = "short"},
      {.name = "PaxHeaders/x", .type = 'x', .data = pax},
      {.name = "ignored", .data = "pax name"},
      {.name = "global", .type = 'g', .data = "19 path=not/a/name\n"},
      {.name = "after-global", .data = "g"},
  };
  const std::string archive = dir / "a.tar.gz";
  writeGzip(archive, tarBytes(entries));
  UnTar::Result result = untar(archive, dir / "out");
  EXPECT_TRUE(result.complete) << result.failure;
  EXPECT_EQ(readFile(dir / "out" + "/" + longName), "long name");
  EXPECT_EQ(fs::read_symlink(dir / "out/sym"), longLink);
  EXPECT_EQ(readFile(dir / "out/pax/named"), "pax name");
  EXPECT_FALSE(exists(dir / "out/ignored"));
  EXPECT_EQ(readFile(dir / "out/after-global"), "g");
  EXPECT_FALSE(exists(dir / "out/not"));
}

struct DamageCase {
  const char* what;
  std::function<std::string(const std::string& good)> archive;  // from a good .tar.gz
};

TEST(UnTar, DamagedArchivesFail) {
  TempDir dir;
  const std::string src = dir / "src";
  writeFile(src + "/a", randomBytes(300000, 2));
  writeFile(src + "/b", randomBytes(300000, 3));
  gnuTar({"-czf", dir / "good.tar.gz", "-C", src, "."});
  const std::string good = readFile(dir / "good.tar.gz");
  std::string tarOnly = tarBytes({{.name = "a", .data = "aaaa"}, {.name = "b", .data = "bbbb"}});

  const DamageCase cases[] = {
      {"cut in the middle of a file",
       [](const std::string& g) { return g.substr(0, g.size() / 2); }},
      {"gzip trailer missing", [](const std::string& g) { return g.substr(0, g.size() - 4); }},
      {"corrupt compressed data",
       [](const std::string& g) {
         std::string d = g;
         for (size_t i = d.size() / 3; i < d.size() / 3 + 64; i++) d[i] = static_cast<char>(~d[i]);
         return d;
       }},
      {"not compressed at all, not a tar",
       [](const std::string&) { return std::string(4096, 'z'); }},
      {"empty file", [](const std::string&) { return std::string(); }},
      {"empty tar",
       [&](const std::string&) {
         gnuTar({"-czf", dir / "tmp.gz", "-T", "/dev/null"});
         return readFile(dir / "tmp.gz");
       }},
      {"directories only",
       [&](const std::string&) {
         fs::create_directories(dir / "dirs/Contents/Home/bin");
         gnuTar({"-czf", dir / "tmp.gz", "-C", dir / "dirs", "."});
         return readFile(dir / "tmp.gz");
       }},
      {"header cut short",
       [&](const std::string&) {
         std::string t = tarOnly.substr(0, 512 + 512 + 300);  // second header half there
         std::string path = dir / "tmp.gz";
         writeGzip(path, t);
         return readFile(path);
       }},
      {"second header without magic",
       [&](const std::string&) {
         std::string t = tarOnly;
         t.replace(1024 + 257, 5, "xxxxx");
         std::string path = dir / "tmp.gz";
         writeGzip(path, t);
         return readFile(path);
       }},
      {"ends after a long name, before its entry",
       [&](const std::string&) {
         std::string t = tarOnly.substr(0, 1024) +
                         tarBytes({{.name = "././@LongLink", .type = 'L', .data = "long/name"}},
                                  /*endMarker=*/false);
         std::string path = dir / "tmp.gz";
         writeGzip(path, t);
         return readFile(path);
       }},
      {"end blocks right after a pax header",
       [&](const std::string&) {
         std::string t = tarOnly.substr(0, 1024) +
                         tarBytes({{.name = "pax", .type = 'x', .data = "12 path=abc\n"}});
         std::string path = dir / "tmp.gz";
         writeGzip(path, t);
         return readFile(path);
       }},
  };
  for (const auto& c : cases) {
    const std::string archive = dir / "damaged.tar.gz";
    writeFile(archive, c.archive(good));
    fs::remove_all(dir / "out");
    UnTar::Result result = untar(archive, dir / "out");
    EXPECT_FALSE(result.complete) << c.what;
    EXPECT_FALSE(result.failure.empty()) << c.what;
  }

  // Without an end marker the archive still counts whole once files came through.
  writeGzip(dir / "no-marker.tar.gz",
            tarBytes({{.name = "a", .data = "aaaa"}}, /*endMarker=*/false));
  EXPECT_TRUE(untar(dir / "no-marker.tar.gz", dir / "out2").complete);
}

TEST(UnTar, MissingArchiveMakesNoProgressCall) {
  TempDir dir;
  int calls = 0;
  UnTar::Result result = UnTar::untar(dir / "missing.tar.gz", dir.path(), 100,
                                      [&](const std::optional<std::string>&, double) { calls++; });
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(calls, 0);
}

TEST(UnTar, ProgressAgainstTheStatedLength) {
  TempDir dir;
  // One 3 000 000-byte file against the default 6 000 000: the copy ends just past 50 %.
  const std::string archive = dir / "a.tar.gz";
  writeGzip(archive, tarBytes({{.name = "d/", .type = '5'},
                               {.name = "d/half", .data = randomBytes(3000000, 4)},
                               {.name = "d/small", .data = "x"}}));
  std::vector<std::pair<std::optional<std::string>, double>> calls;
  fs::create_directories(dir / "out");
  UnTar::Result result = UnTar::untar(archive, dir / "out", 6000000,
                                      [&](const std::optional<std::string>& m, double p) {
                                        calls.push_back({m, p});
                                      });
  ASSERT_TRUE(result.complete) << result.failure;
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls.front().first, dir / "out");
  EXPECT_EQ(calls.front().second, 0);
  EXPECT_EQ(calls.back().first, "");
  EXPECT_EQ(calls.back().second, 100);
  // Before the first file: two headers read.
  EXPECT_FLOAT_EQ(calls[1].second, 1024.0f / 6000000.0f * 100.0f);
  double previous = 0;
  for (size_t i = 1; i + 1 < calls.size(); i++) {
    EXPECT_FALSE(calls[i].first);
    EXPECT_GT(calls[i].second, previous) << "each call reports a new value";
    previous = calls[i].second;
  }
  // Before "d/small": past the 3 000 000 bytes, their padding and its header; then its one byte.
  const float beforeSmall = 1024.0f + 3000000.0f + tar::paddingFor(3000000) + 512.0f;
  EXPECT_FLOAT_EQ(calls[calls.size() - 3].second, beforeSmall / 6000000.0f * 100.0f);
  EXPECT_FLOAT_EQ(calls[calls.size() - 2].second, (beforeSmall + 1) / 6000000.0f * 100.0f);
}

TEST(UnTar, EntryOfTwoGibibytesAndMoreIsCopiedWhole) {
  TempDir dir;
  const uint64_t size = (1ULL << 31) + 1000;
  const std::string archive = dir / "big.tar.gz";
  {
    gzFile out = gzopen(archive.c_str(), "wb1");
    Entry e{.name = "big", .sizeField = "20000001750 "};
    std::string header = tarHeaderBlock(e);
    gzwrite(out, header.data(), 512);
    std::string zeros(1 << 20, '\0');
    uint64_t left = size - 3;
    while (left > 0) {
      auto n = static_cast<unsigned>(std::min<uint64_t>(left, zeros.size()));
      gzwrite(out, zeros.data(), n);
      left -= n;
    }
    gzwrite(out, "end", 3);
    std::string tail = std::string(tar::paddingFor(size), '\0') + std::string(1024, '\0');
    tail += tarHeaderBlock({.name = "after", .data = "a"}) + "a" + std::string(511 + 1024, '\0');
    gzwrite(out, tail.data(), static_cast<unsigned>(tail.size()));
    gzclose(out);
  }
  UnTar::Result result = untar(archive, dir / "out");
  EXPECT_TRUE(result.complete) << result.failure;
  EXPECT_EQ(fs::file_size(dir / "out/big"), size);
  std::ifstream in(dir / "out/big", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - 3));
  char end[4] = {};
  in.read(end, 3);
  EXPECT_STREQ(end, "end");
  EXPECT_FALSE(exists(dir / "out/after")) << "the walk stops at the end marker";
}

}  // namespace

// GNU tar stores a file with holes as a map and its fragments (type 'S' in its own format,
// GNU.sparse records in pax). Neither the skip nor a plain copy gives the file back, so the
// archive is refused as a whole.
TEST(UnTar, SparseFilesMakeTheArchiveUnusable) {
  for (const std::string format : {"gnu", "posix"}) {
    TempDir dir;
    writeFile(dir / "src/first.txt", "first");
    const std::string holes = dir / "src/holes.bin";
    writeFile(holes, "");
    ASSERT_EQ(::truncate(holes.c_str(), 4 << 20), 0);
    { std::ofstream(holes, std::ios::app) << "end"; }
    const std::string archive = dir / "a.tar.gz";
    gnuTar({"--format=" + format, "--sparse", "-czf", archive, "-C", dir / "src", "first.txt",
            "holes.bin"});

    UnTar::Result result = untar(archive, dir / "out");
    EXPECT_FALSE(result.complete) << format;
    EXPECT_NE(result.failure.find("sparse"), std::string::npos) << format << ": " << result.failure;
    EXPECT_FALSE(exists(dir / "out/holes.bin")) << format;
  }
}

// zlib's gzread missed a cut within the gzip trailer when the data before it filled zlib's
// output buffer exactly: an archive whose length is a multiple of 256 KiB (the java.base
// runtime's GNU tar archive is one) passed as whole with its last bytes gone, its checksum never
// checked.
TEST(UnTar, GzipTrailerCutIsDamagedWhateverTheArchiveLength) {
  TempDir dir;
  for (size_t total : {64 << 10, 128 << 10, 256 << 10, 512 << 10, 1 << 20}) {
    // One file that fills the archive, end blocks included, to exactly `total` bytes.
    const std::string tar = tarBytes({{.name = "f", .data = randomBytes(total - 3 * 512, 5)}});
    ASSERT_EQ(tar.size(), total);
    writeGzip(dir / "whole.tar.gz", tar);
    const std::string whole = readFile(dir / "whole.tar.gz");
    EXPECT_TRUE(untar(dir / "whole.tar.gz", dir / "whole").complete) << total;
    for (size_t cut = 1; cut <= 8; cut++) {
      writeFile(dir / "cut.tar.gz", whole.substr(0, whole.size() - cut));
      fs::remove_all(dir / "out");
      UnTar::Result result = untar(dir / "cut.tar.gz", dir / "out");
      EXPECT_FALSE(result.complete) << total << " bytes, the last " << cut << " cut";
      EXPECT_EQ(result.failure, "its compressed data is corrupt or cut short")
          << total << " bytes, the last " << cut << " cut";
    }
  }
}
