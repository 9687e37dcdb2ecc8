// Reliability scenarios for runtime archives: archives that try to write outside the destination,
// a real runtime archive cut at block boundaries and at compressed offsets, entries of 4 GiB and
// headers that only claim such sizes, and random bytes. Each is handed to UnTar (and where it
// makes sense to the whole setupstub) and checked for what must hold: the walk ends, a damaged
// archive is reported with a reason, and nothing outside the destination is created, changed,
// linked or removed. Each scenario records a figure line (support/reliability.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "launcher/UnTar.h"
#include "support/installer_fixture.h"
#include "support/reliability.h"
#include "support/tar_builder.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const std::string kArea = "Tar archives";

// ---- Archives written block by block -----------------------------------------------------------

using Entry = TarEntry;

// One pax record, its length counting itself.
std::string paxRecord(const std::string& key, const std::string& value) {
  const std::string body = " " + key + "=" + value + "\n";
  size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) length++;
  return std::to_string(length) + body;
}

// Deflate with a gzip wrapper, as gzip writes it.
std::string gzipped(const std::string& bytes, int level = Z_DEFAULT_COMPRESSION) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  std::string out(deflateBound(&z, bytes.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// ---- A sandbox around the destination ---------------------------------------------------------

// sandbox/ holds things worth stealing or spoiling (outside.txt, elsewhere/keep.txt) beside the
// destination, sandbox/dest; its state is taken before and compared after.
class Sandbox {
 public:
  Sandbox() {
    writeFile(root() + "/outside.txt", "precious");
    writeFile(root() + "/elsewhere/keep.txt", "kept");
    fs::create_directories(destination());
    before_ = now();
  }
  std::string root() const { return dir_ / "sandbox"; }
  std::string destination() const { return dir_ / "sandbox/dest"; }
  std::string scratch(const std::string& name) const { return dir_ / name; }

  TreeSnapshot now() const { return TreeSnapshot::of(root(), {"dest"}); }
  std::vector<std::string> changes() const { return before_.differences(now()); }
  size_t compared() const { return before_.size(); }

  // Removes what the destination holds, leaving the directory itself (and so the sandbox) as
  // it was.
  void emptyDestination() {
    for (const auto& entry : fs::directory_iterator(destination())) fs::remove_all(entry.path());
  }

  // Regular files, links and directories the destination holds, by relative path.
  std::set<std::string> extracted() const {
    std::set<std::string> out;
    for (auto it = fs::recursive_directory_iterator(destination());
         it != fs::recursive_directory_iterator(); ++it) {
      out.insert(it->path().lexically_relative(destination()).string());
    }
    return out;
  }

 private:
  TempDir dir_;
  TreeSnapshot before_;
};

struct Extraction {
  UnTar::Result result;
  std::string log;
  double seconds = 0;
  double highestPercentage = 0;
};

// Extracts with a progress block. Whatever length is stated, the percentages stay within 0 to
// 100.
Extraction extract(const std::string& archive, const std::string& destination,
                   int32_t uncompressedLength = 6000000) {
  Extraction e;
  bool negative = false;
  ::testing::internal::CaptureStderr();
  Stopwatch clock;
  e.result = UnTar::untar(archive, destination, uncompressedLength,
                          [&](const std::optional<std::string>&, double percent) {
                            negative |= percent < 0;
                            e.highestPercentage = std::max(e.highestPercentage, percent);
                          });
  e.seconds = clock.seconds();
  e.log = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(negative) << archive;
  EXPECT_LE(e.highestPercentage, 100) << archive;
  return e;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// "reason (n); reason (n)", most frequent first.
std::string tally(const std::map<std::string, size_t>& reasons) {
  std::vector<std::pair<size_t, std::string>> sorted;
  for (const auto& [reason, n] : reasons) sorted.push_back({n, reason});
  std::sort(sorted.rbegin(), sorted.rend());
  std::string out;
  for (const auto& [n, reason] : sorted)
    out += (out.empty() ? "" : "; ") + reason + " (" + grouped(n) + ")";
  return out;
}

// Reasons name files; for a tally only the kind counts.
std::string kindOf(const std::string& failure) {
  if (failure.rfind("the file ", 0) == 0) return "a file could not be extracted whole";
  if (failure.rfind("the directory ", 0) == 0) return "a directory could not be created";
  return failure;
}

std::string names(const std::set<std::string>& paths) {
  std::string out;
  for (const auto& p : paths) out += (out.empty() ? "" : ", ") + p;
  return out;
}

// ---- Escape attempts ----------------------------------------------------------------------------

struct EscapeCase {
  std::string input;  // for the figure
  std::function<std::vector<Entry>(const std::string& sandbox)> entries;
  std::set<std::string> inside;  // what the destination holds afterwards
  size_t skipped;                // entries refused with a log line
};

TEST(TarEscapes, NothingOutsideTheDestinationIsWrittenChangedOrLinked) {
  const Entry ok{.name = "ok.txt", .data = "extracted"};
  const EscapeCase cases[] = {
      {"absolute names: a file over a file outside, a file and a directory beside the destination",
       [&](const std::string& s) {
         return std::vector<Entry>{{.name = s + "/outside.txt", .data = "overwritten"},
                                   {.name = s + "/elsewhere/new", .data = "new"},
                                   {.name = s + "/newdir/", .type = '5'},
                                   ok};
       },
       {"ok.txt"},
       3},
      {"\"..\" components: ../outside.txt, a/../../outside.txt, ./../x, "
       "a/b/../../../elsewhere/new, "
       "../newdir/, a pax path and a GNU long name climbing out",
       [&](const std::string&) {
         std::string climb;
         for (int i = 0; i < 40; i++) climb += "../";
         return std::vector<Entry>{
             {.name = "../outside.txt", .data = "overwritten"},
             {.name = "a/../../outside.txt", .data = "overwritten"},
             {.name = "./../x", .data = "x"},
             {.name = "a/b/../../../elsewhere/new", .data = "new"},
             {.name = "../newdir/", .type = '5'},
             {.name = "PaxHeaders/p", .type = 'x', .data = paxRecord("path", "../outside.txt")},
             {.name = "innocent", .data = "overwritten"},
             {.name = "././@LongLink", .type = 'L', .data = climb + "outside.txt" + '\0'},
             {.name = "innocent2", .data = "overwritten"},
             ok};
       },
       {"ok.txt"},
       7},
      {"symbolic links leading out (absolute, \"..\", a chain, one two levels down, a dangling "
       "one), each followed by files and directories written through it",
       [&](const std::string& s) {
         return std::vector<Entry>{{.name = "abs", .type = '2', .linkName = s + "/elsewhere"},
                                   {.name = "abs/new", .data = "new"},
                                   {.name = "abs/sub/", .type = '5'},
                                   {.name = "abs/deeper/file", .data = "new"},
                                   {.name = "up", .type = '2', .linkName = ".."},
                                   {.name = "up/outside.txt", .data = "overwritten"},
                                   {.name = "chain1", .type = '2', .linkName = "chain2"},
                                   {.name = "chain2", .type = '2', .linkName = "../elsewhere"},
                                   {.name = "chain1/new", .data = "new"},
                                   {.name = "d/up2", .type = '2', .linkName = "../../elsewhere"},
                                   {.name = "d/up2/keep.txt", .data = "overwritten"},
                                   {.name = "dangling", .type = '2', .linkName = "../not-yet"},
                                   {.name = "dangling/", .type = '5'},
                                   {.name = "dangling/x", .data = "x"},
                                   ok};
       },
       {"abs", "up", "chain1", "chain2", "d", "d/up2", "dangling", "ok.txt"},
       8},
      {"a link to a file or directory outside, then an entry of the same name",
       [&](const std::string& s) {
         return std::vector<Entry>{{.name = "s", .type = '2', .linkName = s + "/outside.txt"},
                                   {.name = "s", .data = "replaces the link"},
                                   {.name = "t", .type = '2', .linkName = s + "/elsewhere"},
                                   {.name = "t/", .type = '5'},
                                   ok};
       },
       {"s", "t", "ok.txt"},
       1},
      {"hard links to a file outside (absolute, \"..\", through a link to \"..\", to a link "
       "leading out), each then written as a file",
       [&](const std::string& s) {
         return std::vector<Entry>{{.name = "h1", .type = '1', .linkName = s + "/outside.txt"},
                                   {.name = "h1", .data = "overwritten"},
                                   {.name = "h2", .type = '1', .linkName = "../outside.txt"},
                                   {.name = "up", .type = '2', .linkName = ".."},
                                   {.name = "h3", .type = '1', .linkName = "up/outside.txt"},
                                   {.name = "h3", .data = "overwritten"},
                                   {.name = "so", .type = '2', .linkName = s + "/outside.txt"},
                                   {.name = "h4", .type = '1', .linkName = "so"},
                                   {.name = "h4", .data = "overwritten"},
                                   ok};
       },
       {"h1", "up", "h3", "so", "h4", "ok.txt"},
       3},
      {"a character device, a block device and a FIFO",
       [&](const std::string&) {
         return std::vector<Entry>{{.name = "null", .type = '3'},
                                   {.name = "disk", .type = '4'},
                                   {.name = "fifo", .type = '6'},
                                   ok};
       },
       {"ok.txt"},
       0},
  };
  for (const auto& c : cases) {
    Sandbox sandbox;
    const std::string archive = sandbox.scratch("escape.tar.gz");
    writeFile(archive, gzipped(tarBytes(c.entries(sandbox.root()))));
    Extraction e = extract(archive, sandbox.destination());
    EXPECT_TRUE(e.result.complete) << c.input << ": " << e.result.failure;
    const std::vector<std::string> changes = sandbox.changes();
    EXPECT_TRUE(changes.empty()) << c.input << "\n" << joined(changes);
    EXPECT_EQ(sandbox.extracted(), c.inside) << c.input;
    EXPECT_EQ(readFile(sandbox.destination() + "/ok.txt"), "extracted") << c.input;
    EXPECT_EQ(count(e.log, "skipping"), c.skipped) << c.input << "\n" << e.log;
    figure(
        kArea, c.input,
        "the walk ran to the end (reported whole); " +
            (c.skipped == 0   ? std::string("nothing made of them, no log line")
             : c.skipped == 1 ? std::string("1 entry skipped with a log line")
                              : std::to_string(c.skipped) + " entries skipped, a log line each") +
            "; the destination holds " + names(c.inside),
        "sandbox unchanged (" + std::to_string(sandbox.compared()) +
            " entries compared, link counts included)");
  }
}

// ---- The real runtime archive, cut
// ---------------------------------------------------------------

// The members of an uncompressed tar stream, read without the code under test.
struct Member {
  size_t header;  // block index of its header
  size_t blocks;  // data blocks after the header
  char type;
  std::string name;
};

std::vector<Member> membersOf(const std::string& tar, size_t& endBlock) {
  std::vector<Member> members;
  size_t block = 0;
  while ((block + 1) * kTarBlock <= tar.size()) {
    std::string_view header(tar.data() + block * kTarBlock, kTarBlock);
    if (header.find_first_not_of('\0') == std::string_view::npos) break;
    const uint64_t size = std::stoull(std::string(header.substr(124, 12)), nullptr, 8);
    members.push_back({block, (size + kTarBlock - 1) / kTarBlock, header[156],
                       std::string(header.substr(0, header.find('\0')))});
    block += 1 + members.back().blocks;
  }
  endBlock = block;
  return members;
}

class RuntimeArchives : public SetupstubTest {
 protected:
  // The runtime as GNU tar packs it with the two files of more than 1 MiB last (tar reads the
  // member list from a file): cuts among the small members then cost little to extract.
  static std::string bigLastTar() { return *shared / "jre-big-last.tar"; }

  static void SetUpTestSuite() {
    SetupstubTest::SetUpTestSuite();
    std::vector<std::string> small, big;
    for (auto it = fs::recursive_directory_iterator(runtimeBundle());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string name = "./" + it->path().lexically_relative(runtimeBundle()).string();
      const bool large = it->is_regular_file() && !it->is_symlink() && it->file_size() > (1 << 20);
      (large ? big : small).push_back(name);
    }
    std::string list = ".\n";
    for (const auto& names : {small, big}) {
      for (const auto& name : names) list += name + "\n";
    }
    writeFile(*shared / "members", list);
    RunResult r = run({"/usr/bin/tar", "-cf", bigLastTar(), "-C", runtimeBundle(), "--no-recursion",
                       "-T", *shared / "members"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

// One gzip stream of a whole tar stream that can be ended cleanly at chosen offsets: the
// compressor is flushed to a byte boundary at each, so the stream up to there, an empty final
// block and the trailer for that much data make a complete gzip file of exactly that prefix.
class CuttableGzip {
 public:
  CuttableGzip(const std::string& data, const std::vector<size_t>& cuts) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::vector<char> buffer(1 << 20);
    uLong crc = crc32(0, nullptr, 0);
    size_t done = 0;
    auto feed = [&](size_t upTo, int flush) {
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + done));
      z.avail_in = static_cast<uInt>(upTo - done);
      crc = crc32(crc, z.next_in, z.avail_in);
      done = upTo;
      do {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        deflate(&z, flush);
        stream_.append(buffer.data(), buffer.size() - z.avail_out);
      } while (z.avail_out == 0);
    };
    for (size_t cut : cuts) {
      feed(cut, Z_SYNC_FLUSH);
      ends_[cut] = {stream_.size(), crc};
    }
    deflateEnd(&z);
  }

  const std::string& stream() const { return stream_; }

  // The bytes that end the stream at `cut`, and where they go.
  size_t endOffset(size_t cut) const { return ends_.at(cut).first; }
  std::string ending(size_t cut) const {
    std::string tail("\x01\x00\x00\xff\xff", 5);  // an empty final stored block
    auto le32 = [&](uint32_t v) {
      for (int i = 0; i < 4; i++) tail += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    le32(static_cast<uint32_t>(ends_.at(cut).second));
    le32(static_cast<uint32_t>(cut));
    return tail;
  }

 private:
  std::string stream_;
  std::map<size_t, std::pair<size_t, uLong>> ends_;
};

TEST_F(RuntimeArchives, TarStreamCutAtBlockBoundaries) {
  const std::string tar = readFile(bigLastTar());
  size_t endBlock = 0;
  const std::vector<Member> members = membersOf(tar, endBlock);
  const size_t totalBlocks = tar.size() / kTarBlock;
  ASSERT_GT(members.size(), 50u);

  // Every boundary, except inside the data of the members of more than 1 MiB: there the first
  // 8, the last 8 and 16 spread between.
  std::set<size_t> cuts;
  std::vector<std::string> sampled;
  for (const Member& m : members) {
    const size_t first = m.header + 1, last = first + m.blocks;  // data blocks [first, last)
    cuts.insert(m.header);
    if (m.blocks * kTarBlock <= (1 << 20)) {
      for (size_t b = first; b < last; b++) cuts.insert(b);
      continue;
    }
    sampled.push_back(m.name.substr(m.name.rfind('/') + 1) + " (" + grouped(m.blocks) + " blocks)");
    for (size_t i = 0; i < 8; i++) {
      cuts.insert(first + i);
      cuts.insert(last - 1 - i);
    }
    for (size_t i = 1; i <= 16; i++) cuts.insert(first + 8 + (m.blocks - 16) * i / 17);
  }
  for (size_t b = endBlock; b <= totalBlocks; b++) cuts.insert(b);

  // Where a cut leaves a well-formed archive: at a member's header once a regular file came
  // before (the end-of-archive blocks are not required), and anywhere in the end blocks.
  std::set<size_t> whole;
  size_t regularBefore = 0;
  std::map<size_t, size_t> regularFilesBefore;
  for (const Member& m : members) {
    if (regularBefore > 0) whole.insert(m.header);
    regularFilesBefore[m.header] = regularBefore;
    if (m.type == '0') regularBefore++;
  }
  for (size_t b = endBlock; b <= totalBlocks; b++) {
    whole.insert(b);
    regularFilesBefore[b] = regularBefore;
  }

  std::vector<size_t> offsets;
  for (size_t b : cuts) offsets.push_back(b * kTarBlock);
  Stopwatch preparing;
  CuttableGzip gzip(tar, offsets);
  const double preparation = preparing.seconds();

  // From the longest cut down: each file is the last one cut shorter and given a new ending.
  Sandbox sandbox;
  const std::string archive = sandbox.scratch("cut.tar.gz");
  writeFile(archive, gzip.stream());
  const int fd = ::open(archive.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  size_t reportedWhole = 0, reportedDamaged = 0, unexpected = 0;
  double slowest = 0, extracting = 0;
  std::map<std::string, size_t> reasons;
  for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
    const size_t cut = *it * kTarBlock;
    const std::string ending = gzip.ending(cut);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(gzip.endOffset(cut))), 0);
    ASSERT_EQ(::pwrite(fd, ending.data(), ending.size(), static_cast<off_t>(gzip.endOffset(cut))),
              static_cast<ssize_t>(ending.size()));
    sandbox.emptyDestination();
    Extraction e = extract(archive, sandbox.destination(), static_cast<int32_t>(tar.size()));
    extracting += e.seconds;
    slowest = std::max(slowest, e.seconds);
    const bool expectWhole = whole.count(*it) > 0;
    if (e.result.complete != expectWhole || (!e.result.complete && e.result.failure.empty())) {
      if (++unexpected <= 5) {
        ADD_FAILURE() << "cut at block " << *it << ": complete=" << e.result.complete << " ("
                      << e.result.failure << "), expected " << expectWhole;
      }
    }
    if (e.result.complete) {
      reportedWhole++;
      size_t files = 0;
      for (auto f = fs::recursive_directory_iterator(sandbox.destination());
           f != fs::recursive_directory_iterator(); ++f) {
        files += f->is_regular_file() && !f->is_symlink();
      }
      EXPECT_EQ(files, regularFilesBefore[*it]) << "cut at block " << *it;
    } else {
      reportedDamaged++;
      reasons[kindOf(e.result.failure)]++;
    }
    const std::vector<std::string> changes = sandbox.changes();
    ASSERT_TRUE(changes.empty()) << "cut at block " << *it << "\n" << joined(changes);
  }
  ::close(fd);
  EXPECT_EQ(unexpected, 0u);
  EXPECT_EQ(reportedWhole, whole.size());

  std::string bigOnes;
  for (const auto& s : sampled) bigOnes += (bigOnes.empty() ? "" : ", ") + s;
  figure(kArea,
         "the java.base runtime (" + std::to_string(members.size()) + " members, " +
             grouped(tar.size()) + " bytes uncompressed, big files last), its tar stream cut at " +
             grouped(cuts.size()) + " of its " + grouped(totalBlocks + 1) +
             " block boundaries and each cut compressed again: every boundary except inside " +
             bigOnes + ", where the first 8, the last 8 and 16 spread between",
         "every run ended: " + grouped(reportedDamaged) + " reported damaged (" + tally(reasons) +
             "); " + grouped(reportedWhole) +
             " extracted as whole, exactly the cuts at a member boundary after the first file or "
             "in the end blocks (well-formed archives), each with the files before the cut; " +
             secondsText(extracting) + " extracting (slowest run " + secondsText(slowest, 2) +
             "), " + secondsText(preparation) + " compressing",
         "sandbox unchanged after every run (" + std::to_string(sandbox.compared()) +
             " entries compared)");
}

TEST_F(RuntimeArchives, CompressedStreamCutAtASpreadOfOffsets) {
  const std::string full = readFile(runtimeArchive());
  const auto uncompressed = static_cast<int32_t>(fs::file_size(bigLastTar()));
  std::set<size_t> offsets;
  for (size_t i = 0; i < 32; i++) {
    offsets.insert(i);                    // the gzip header and the first compressed bytes
    offsets.insert(full.size() - 1 - i);  // the end of the data and the trailer
  }
  std::mt19937_64 random(20240601);
  while (offsets.size() < 64 + 40) offsets.insert(random() % full.size());

  Sandbox sandbox;
  const std::string archive = sandbox.scratch("cut.tar.gz");
  writeFile(archive, full);
  size_t damaged = 0;
  double extracting = 0;
  std::map<std::string, size_t> reasons;
  for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) {
    ASSERT_EQ(::truncate(archive.c_str(), static_cast<off_t>(*it)), 0);
    sandbox.emptyDestination();
    Extraction e = extract(archive, sandbox.destination(), uncompressed);
    extracting += e.seconds;
    EXPECT_FALSE(e.result.complete) << "cut at " << *it << " of " << full.size();
    EXPECT_FALSE(e.result.failure.empty()) << "cut at " << *it;
    if (!e.result.complete) {
      damaged++;
      reasons[kindOf(e.result.failure)]++;
    }
    const std::vector<std::string> changes = sandbox.changes();
    ASSERT_TRUE(changes.empty()) << "cut at " << *it << "\n" << joined(changes);
  }
  figure(kArea,
         "the runtime's .tar.gz (" + grouped(full.size()) + " bytes) cut at " +
             grouped(offsets.size()) +
             " offsets: each of its first and last 32 bytes, and 40 seeded random ones",
         "every run ended; " + grouped(damaged) + " of " + grouped(offsets.size()) +
             " reported damaged (" + tally(reasons) + "); " + secondsText(extracting) + " in all",
         "sandbox unchanged after every run (" + std::to_string(sandbox.compared()) +
             " entries compared)");
}

// The whole installer on cut archives: where a cut shows, the run ends with the notice and
// nothing else; where it cannot show, the runtime fails at its own start.
TEST_F(RuntimeArchives, CutArchivesThroughTheWholeInstaller) {
  const std::string tar = readFile(bigLastTar());
  size_t endBlock = 0;
  const std::vector<Member> members = membersOf(tar, endBlock);
  const auto libjvm = std::find_if(members.begin(), members.end(), [](const Member& m) {
    return m.name.find("/libjvm.so") != std::string::npos;
  });
  ASSERT_NE(libjvm, members.end());
  struct Case {
    std::string input;
    size_t cut;
  };
  const Case cases[] = {
      {"inside lib/server/libjvm.so", (libjvm->header + 1 + libjvm->blocks / 2) * kTarBlock},
      {"at the member boundary before lib/server/libjvm.so", libjvm->header * kTarBlock},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir / "Demo.app");
    const std::string app = makeInstaller({}, false);
    writeFile(dir / "cut.tar.gz", gzipped(tar.substr(0, c.cut), 1));
    shipArchiveIn(app, dir / "cut.tar.gz");
    fs::remove(dir / "cut.tar.gz");
    // The temporary folder itself changes (the run's directory comes and goes): it must end empty.
    const TreeSnapshot before = TreeSnapshot::of(dir.path(), {"tmp"});
    Stopwatch clock;
    RunResult r = runInstaller(app);
    const double seconds = clock.seconds();
    EXPECT_NE(r.status, 0) << c.input << r.err;
    EXPECT_EQ(r.out.find("arg["), std::string::npos) << "the installer never ran";
    EXPECT_TRUE(temporaryDirectoriesGone()) << c.input;
    const std::vector<std::string> changes =
        before.differences(TreeSnapshot::of(dir.path(), {"tmp"}));
    EXPECT_TRUE(changes.empty()) << c.input << "\n" << joined(changes);
    std::string outcome;
    if (c.cut == libjvm->header * kTarBlock) {
      // A well-formed archive of a runtime without its VM: the runtime's launcher says so.
      EXPECT_FALSE(anyNotice(r)) << r.err;
      EXPECT_NE(r.err.find("libjvm.so"), std::string::npos) << r.err;
      // Its message up to the path, which differs from run to run.
      std::smatch said;
      EXPECT_TRUE(std::regex_search(r.err, said, std::regex("Error: [^\n]*? at ")));
      outcome =
          "extracted as whole (nothing shows the cut); the runtime's own launcher then "
          "fails (\"" +
          said.str() + "...\"), its status " + std::to_string(r.status) + " passed on";
    } else {
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_TRUE(noticeShown(r, "Internal error: The runtime archive")) << r.err;
      EXPECT_NE(r.err.find("could not be extracted whole"), std::string::npos) << r.err;
      outcome =
          "the \"runtime archive is damaged\" notice (the file lib/server/libjvm.so could "
          "not be extracted whole), status 1, the installer never started";
    }
    figure(kArea, "setupstub shipping the runtime archive cut " + c.input,
           outcome + "; " + secondsText(seconds, 2),
           "temporary directory removed; the test directory (" + std::to_string(before.size()) +
               " entries) unchanged");
  }
}

// The whole installer on an archive that aims at the user's home and at the installer itself,
// around a runtime whose java is a script: the run goes on to the installer with nothing
// written outside its temporary directory.
TEST_F(RuntimeArchives, EscapingArchiveThroughTheWholeInstaller) {
  writeFile(home + "/.profile", "precious");
  const std::string climb =
      "../../../";  // from <tmp>/setupstub-XXXXXX/jre.bundle to the test directory
  const std::vector<Entry> entries = {
      {.name = "Contents/Home/bin/java",
       .data = "#!/bin/sh\necho installer ran\n",
       .mode = "0000755"},
      {.name = home + "/.profile", .data = "overwritten"},
      {.name = climb + "home/.profile", .data = "overwritten"},
      {.name = climb + "Demo.app/Contents/MacOS/setupstub", .data = "replaced"},
      {.name = "h", .type = '2', .linkName = home},
      {.name = "h/.bashrc", .data = "planted"},
      {.name = "u", .type = '2', .linkName = climb},
      {.name = "u/home/.ssh/authorized_keys", .data = "planted"},
      {.name = "k", .type = '1', .linkName = climb + "home/.profile"},
      {.name = "k2", .type = '1', .linkName = "u/home/.profile"},
  };
  const std::string app = makeInstaller({}, false);
  writeFile(dir / "escape.tar.gz", gzipped(tarBytes(entries)));
  shipArchiveIn(app, dir / "escape.tar.gz");
  fs::remove(dir / "escape.tar.gz");
  const TreeSnapshot before = TreeSnapshot::of(dir.path(), {"tmp"});
  RunResult r = runInstaller(app);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "installer ran\n");
  EXPECT_EQ(count(r.err, "skipping"), 7u) << r.err;
  EXPECT_TRUE(temporaryDirectoriesGone());
  const std::vector<std::string> changes =
      before.differences(TreeSnapshot::of(dir.path(), {"tmp"}));
  EXPECT_TRUE(changes.empty()) << joined(changes);
  figure(kArea,
         "setupstub shipping an archive with a runtime (its java a script) and 9 entries aimed "
         "at the user's home and at the installer's own program (absolute, \"..\", through "
         "links, hard links)",
         "the installer ran (status 0); 7 entries skipped with a log line each, the 2 links "
         "themselves made inside the temporary directory",
         "temporary directory removed; home and the installer bundle unchanged (" +
             std::to_string(before.size()) + " entries compared)");
}

// ---- Entries of 4 GiB and more ------------------------------------------------------------------

// A gzip stream of `head`, `mebibytes` MiB of zeros and `tail`, made without compressing each
// MiB: after a full flush that took all its input, deflate starts afresh, so every MiB of zeros
// compresses to the same bytes, and the checksum of the whole is combined from the parts'.
std::string gzipAroundZeros(const std::string& head, uint64_t mebibytes, const std::string& tail) {
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<char> buffer(1 << 21);
  auto compress = [&](const std::string& data, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer.data());
      z.avail_out = static_cast<uInt>(buffer.size());
      deflate(&z, flush);
      out.append(buffer.data(), buffer.size() - z.avail_out);
    } while (z.avail_out == 0);
    return out;
  };
  const std::string zeros(1 << 20, '\0');
  std::string out("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10);
  out += compress(head, Z_FULL_FLUSH);
  const std::string first = compress(zeros, Z_FULL_FLUSH);
  const std::string second = compress(zeros, Z_FULL_FLUSH);
  if (first != second || mebibytes < 2) throw std::logic_error("deflate did not start afresh");
  for (uint64_t i = 0; i < mebibytes; i++) out += first;
  out += compress(tail, Z_FINISH);
  deflateEnd(&z);

  const uLong zerosCrc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), 1 << 20);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(head.data()), static_cast<uInt>(head.size()));
  for (uint64_t i = 0; i < mebibytes; i++) crc = crc32_combine(crc, zerosCrc, 1 << 20);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(tail.data()), static_cast<uInt>(tail.size()));
  const uint64_t length = head.size() + (mebibytes << 20) + tail.size();
  for (uint64_t v : {static_cast<uint64_t>(crc), length}) {
    for (int i = 0; i < 4; i++) out += static_cast<char>((v >> (8 * i)) & 0xff);
  }
  return out;
}

TEST(HugeEntries, FourGibibyteEntryOfZerosIsExtractedWhole) {
  Sandbox sandbox;
  const uint64_t size = (4ULL << 30) + 4096 + 3;
  if (fs::space(sandbox.root()).available < size + (1ULL << 30)) {
    GTEST_SKIP() << "less than 5 GiB free in " << sandbox.root();
  }
  const std::string archive = sandbox.scratch("zeros.tar.gz");
  Stopwatch making;
  {
    char field[16];
    std::snprintf(field, sizeof field, "%011llo", static_cast<unsigned long long>(size));
    const std::string header = tarHeaderBlock({.name = "zeros", .sizeField = field});
    const std::string tail = std::string(4096, '\0') + "end" + tarPadding(size) +
                             tarHeaderBlock({.name = "after", .data = "a"}) + "a" + tarPadding(1) +
                             std::string(2 * kTarBlock, '\0');
    writeFile(archive, gzipAroundZeros(header, 4096, tail));
  }
  const double makingSeconds = making.seconds();
  const uint64_t compressed = fs::file_size(archive);

  // The stated length cannot reach 4 GiB: the percentages stop at 100.
  Extraction e = extract(archive, sandbox.destination(), INT32_MAX);
  const std::string big = sandbox.destination() + "/zeros";
  const uint64_t extracted = fs::exists(big) ? fs::file_size(big) : 0;
  std::string end(3, '\0');
  if (std::FILE* f = std::fopen(big.c_str(), "rb")) {
    std::fseek(f, static_cast<long>(size - 3), SEEK_SET);
    EXPECT_EQ(std::fread(end.data(), 1, 3, f), 3u);
    std::fclose(f);
  }
  fs::remove(big);  // 4 GiB on disk: gone at once
  EXPECT_TRUE(e.result.complete) << e.result.failure;
  EXPECT_EQ(extracted, size);
  EXPECT_EQ(end, "end");
  EXPECT_EQ(readFile(sandbox.destination() + "/after"), "a");
  const std::vector<std::string> changes = sandbox.changes();
  EXPECT_TRUE(changes.empty()) << joined(changes);
  figure(kArea,
         "one entry of " + grouped(size) +
             " bytes (4 GiB + 4,099) of zeros ending in \"end\", "
             "then a small file; " +
             grouped(compressed) + " bytes compressed",
         "extracted whole with 64-bit sizes: " + grouped(extracted) +
             " bytes, the last three \"end\", the file after it too; " + secondsText(e.seconds) +
             " (" + secondsText(makingSeconds) +
             " to make the archive); progress against the "
             "largest length that can be stated (2^31 - 1) held at " +
             std::to_string(static_cast<int>(e.highestPercentage)) + " %",
         "sandbox unchanged; the 4 GiB file deleted at once");
}

TEST(HugeEntries, HeadersClaimingGibibytesWithoutTheDataAreCutShort) {
  const std::string data(1 << 20, 'd');
  std::string base256(12, '\0');
  base256[0] = static_cast<char>(0x80);
  base256[6] = 1;  // 2^40
  struct Case {
    std::string input;
    std::vector<Entry> entries;
    std::string reason;
  };
  const Case cases[] = {
      {"a file header claiming 4 GiB (octal) with 1 MiB behind it",
       {{.name = "f", .data = data, .sizeField = "40000000000"}},
       "the file f could not be extracted whole"},
      {"a file header claiming 1 TiB (base-256) with 1 MiB behind it",
       {{.name = "f", .data = data, .sizeField = base256}},
       "the file f could not be extracted whole"},
      {"a pax size of 4 GiB for a file with 1 MiB behind it",
       {{.name = "PaxHeaders/f", .type = 'x', .data = paxRecord("size", "4294967296")},
        {.name = "f", .data = data}},
       "the file f could not be extracted whole"},
      {"a directory header claiming 4 GiB of data with 1 MiB behind it",
       {{.name = "d/", .type = '5', .data = data, .sizeField = "40000000000"}},
       "it ends in the middle of an entry"},
  };
  for (const auto& c : cases) {
    Sandbox sandbox;
    std::string tar;
    for (const auto& e : c.entries) tar += tarHeaderBlock(e) + e.data + tarPadding(e.data.size());
    writeFile(sandbox.scratch("claim.tar.gz"), gzipped(tar));
    Extraction e = extract(sandbox.scratch("claim.tar.gz"), sandbox.destination());
    EXPECT_FALSE(e.result.complete) << c.input;
    EXPECT_EQ(e.result.failure, c.reason) << c.input;
    EXPECT_LT(e.seconds, 10) << c.input;
    const std::vector<std::string> changes = sandbox.changes();
    EXPECT_TRUE(changes.empty()) << c.input << "\n" << joined(changes);
    const uint64_t written =
        exists(sandbox.destination() + "/f") ? fs::file_size(sandbox.destination() + "/f") : 0;
    figure(kArea, c.input,
           "reported damaged (\"" + e.result.failure + "\") after " + secondsText(e.seconds, 3) +
               "; " + grouped(written) + " bytes written into the destination",
           "sandbox unchanged");
  }
}

// ---- Random bytes -------------------------------------------------------------------------------

TEST(RandomArchives, SeededRandomBytesAllFail) {
  constexpr int kPerKind = 700;
  Sandbox sandbox;
  const std::string archive = sandbox.scratch("random");
  std::mt19937_64 random(42);
  std::map<std::string, size_t> reasons;
  size_t failed = 0, runs = 0, bytes = 0;
  Stopwatch clock;
  for (const std::string kind : {"raw", "gzip", "gzip header"}) {
    for (int i = 0; i < kPerKind; i++) {
      std::string input(random() % (64 * 1024 + 1), '\0');
      for (auto& c : input) c = static_cast<char>(random());
      if (kind == "gzip") input = gzipped(input, 1);
      if (kind == "gzip header")
        input = std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + input;
      writeFile(archive, input);
      bytes += input.size();
      sandbox.emptyDestination();
      Extraction e = extract(archive, sandbox.destination());
      runs++;
      EXPECT_FALSE(e.result.complete) << kind << " #" << i;
      EXPECT_FALSE(e.result.failure.empty()) << kind << " #" << i;
      EXPECT_TRUE(sandbox.extracted().empty()) << kind << " #" << i;
      if (!e.result.complete) {
        failed++;
        reasons[kindOf(e.result.failure)]++;
      }
      const std::vector<std::string> changes = sandbox.changes();
      ASSERT_TRUE(changes.empty()) << kind << " #" << i << "\n" << joined(changes);
    }
  }
  figure(kArea,
         grouped(runs) + " seeded random inputs of 0 to 64 KiB (" + std::to_string(kPerKind) +
             " raw, " + std::to_string(kPerKind) + " gzip-compressed, " + std::to_string(kPerKind) +
             " behind a gzip header; " + grouped(bytes) + " bytes)",
         "every run ended; " + grouped(failed) + " reported damaged (" + tally(reasons) + "); " +
             secondsText(clock.seconds()) + " in all",
         "nothing created in the destination, sandbox unchanged after every run");
}

}  // namespace
