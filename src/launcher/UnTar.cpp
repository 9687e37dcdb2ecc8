#include "launcher/UnTar.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "launcher/global.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"
#include "launcher/tar_header.h"

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

constexpr size_t kCopyChunk = 32768;
// Larger input buffer than zlib's default: fewer read calls on big archives.
constexpr unsigned kGzipBufferSize = 128 * 1024;
// Long names and pax records beyond this are not from a runtime archive.
constexpr uint64_t kMaxExtendedHeader = 1 << 20;

struct GzipCloser {
  void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzipStream = std::unique_ptr<gzFile_s, GzipCloser>;

std::string errorText(int error) { return std::strerror(error); }

// Reads up to `length` bytes, fewer only where the stream ends; -1 on a read error.
int64_t readFully(gzFile in, char* buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    int n = gzread(in, buffer + got, static_cast<unsigned>(length - got));
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

// True when zlib saw the compressed data end before its trailer (a cut-off download). Call at
// the end of the stream.
bool streamCutShort(gzFile in) {
  // When the data before a cut in the last bytes (the trailer) fills zlib's output buffer
  // exactly, gzread ends without noticing the cut; gzgets decompresses once more and does.
  char probe[2];
  gzgets(in, probe, sizeof probe);
  int error = Z_OK;
  gzerror(in, &error);
  return error != Z_OK;
}

// Removes whatever is at `path` unless it is a directory; a symbolic link is removed, never
// followed.
void removeNonDirectory(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(path.c_str());
}

// The entry name as a path relative to the destination: "." and empty components dropped.
// Absent when the name is absolute or climbs with "..".
std::optional<std::string> relativeEntryPath(const std::string& name) {
  if (!name.empty() && name[0] == '/') return std::nullopt;
  std::string relative;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string component = name.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return std::nullopt;
    if (!relative.empty()) relative += '/';
    relative += component;
  }
  return relative;
}

// Files that the archiving platform adds beside real ones to carry its own metadata.
bool isCompanionFile(const std::string& relative) {
  return ("/" + relative).find("/._") != std::string::npos;
}

std::string parentOf(const std::string& relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// One walk over the entries of an open stream.
class Extraction {
 public:
  Extraction(gzFile in, const std::string& destination, int32_t uncompressedLength,
             const ProgressBlock& progress)
      : in_(in), destination_(destination), length_(uncompressedLength), progress_(progress) {
    char* real = ::realpath(destination.c_str(), nullptr);
    realDestination_ = real ? real : destination;
    std::free(real);
  }

  UnTar::Result run() {
    walk();
    return std::move(result_);
  }

 private:
  // Names and sizes that GNU and pax extension entries give the entry after them.
  struct Pending {
    std::optional<std::string> path;
    std::optional<std::string> linkPath;
    std::optional<uint64_t> size;
    bool sparse = false;
  };

  // Ends with the result filled in; the return value only lets every exit be one statement.
  bool walk() {
    std::array<char, tar::kBlockSize> block;
    for (;;) {
      int64_t n = readFully(in_, block.data(), block.size());
      if (n < 0) {
        ALOG("%s [Line %d] ERROR: gzread failed");
        return fail("it cannot be decompressed");
      }
      if (n == 0) return orphanedExtension() ? false : endOfStream();
      if (n < static_cast<int64_t>(block.size())) {
        ALOG("%s [Line %d] ERROR: header cut short after %d bytes", n);
        return fail("it ends in the middle of an entry header");
      }
      std::string_view view(block.data(), block.size());
      if (!tar::hasMagic(view)) {
        if (!fileHandled_) return noMagicBeforeAnyFile(view);
        if (tar::isZeroBlock(view)) return orphanedExtension() ? false : endOfArchive();
        ALOG("%s [Line %d] ERROR: no magic number");
        return fail("an entry header is not a tar header");
      }
      auto header = tar::parseHeader(view);
      if (!header) {
        ALOG("%s [Line %d] ERROR: malformed number in header");
        return fail("an entry header is malformed");
      }
      if (!handle(*header)) return false;
    }
  }

  // Handles one entry and its data; false when the walk must end (the result says why).
  bool handle(tar::Header& header) {
    switch (header.type) {
      case tar::type::kGnuLongName:
      case tar::type::kGnuLongLink: {
        auto data = readExtendedData(header.size);
        if (!data) return false;
        std::string text = tar::textUpToNul(*data);
        (header.type == tar::type::kGnuLongName ? pending_.path : pending_.linkPath) = text;
        return true;
      }
      case tar::type::kPaxExtended: {
        auto data = readExtendedData(header.size);
        if (!data) return false;
        tar::PaxRecords records = tar::parsePaxRecords(*data);
        if (records.path) pending_.path = records.path;
        if (records.linkPath) pending_.linkPath = records.linkPath;
        if (records.size) pending_.size = records.size;
        if (records.sparse) pending_.sparse = true;
        return true;
      }
      case tar::type::kGnuSparse:
        return refuseSparse(header.name);
      case tar::type::kPaxGlobal:
        return skipData(header.size);
      default: {
        bool sparse = pending_.sparse;
        applyPending(header);
        if (sparse) return refuseSparse(header.name);
        return handleEntry(header);
      }
    }
  }

  void applyPending(tar::Header& header) {
    if (pending_.path) header.name = *pending_.path;
    if (pending_.linkPath) header.linkName = *pending_.linkPath;
    if (pending_.size) header.size = *pending_.size;
    pending_ = {};
  }

  bool handleEntry(const tar::Header& header) {
    rememberTopLevelDirectory(header.name);
    DLOG("%s [Line %d] extracting %@", header.name);
    auto relative = relativeEntryPath(header.name);
    if (!relative) {
      ALOG("%s [Line %d] skipping %@: its name leads outside the destination", header.name);
      result_.unsafeEntries++;
      return skipData(header.size);
    }
    if (header.isRegularFile()) return extractRegularFile(header, *relative);
    switch (header.type) {
      case tar::type::kDirectory:
        return createDirectory(*relative) && skipData(header.size);
      case tar::type::kSymbolicLink:
        createSymbolicLink(header, *relative);
        return skipData(header.size);
      case tar::type::kHardLink:
        createHardLink(header, *relative);
        return skipData(header.size);
      default:
        return skipData(header.size);
    }
  }

  bool extractRegularFile(const tar::Header& header, const std::string& relative) {
    if (progress_) progress_(std::nullopt, UnTar::percentage(in_, length_));
    fileHandled_ = true;
    if (relative.empty() || isCompanionFile(relative)) return skipData(header.size);
    if (!prepareParent(relative)) return skipData(header.size);
    if (header.size > static_cast<uint64_t>(INT64_MAX)) {
      ALOG("%s [Line %d] ERROR: extract file failed");
      return fail("an entry is larger than any file can be");
    }
    if (!UnTar::extractFile(in_, path(relative), static_cast<int64_t>(header.size), header.mode,
                            length_, progress_)) {
      ALOG("%s [Line %d] ERROR: extract file failed");
      return fail("the file " + relative + " could not be extracted whole");
    }
    return skipPadding(header.size);
  }

  // A sparse file's data is a map and the fragments it names. Skipping it would leave a runtime
  // without one of its files, and writing the data as it stands would corrupt the file, so the
  // archive cannot be used. Runtime archives are never made with sparse files.
  bool refuseSparse(const std::string& name) {
    ALOG("%s [Line %d] ERROR: %@ is a sparse file, which cannot be extracted", name);
    return fail("it holds a sparse file (" + name + "), which cannot be extracted");
  }

  bool createDirectory(const std::string& relative) {
    if (relative.empty()) return true;
    if (!insideDestination(path(relative))) {
      ALOG(
          "%s [Line %d] skipping %@: it would be written through a link leading outside the "
          "destination",
          relative);
      result_.unsafeEntries++;
      return true;
    }
    std::error_code error;
    fs::create_directories(path(relative), error);
    if (error) {
      ALOG("%s [Line %d] ERROR: extract creating directory");
      return fail("the directory " + relative + " could not be created");
    }
    return true;
  }

  void createSymbolicLink(const tar::Header& header, const std::string& relative) {
    if (relative.empty() || !prepareParent(relative)) return;
    std::string target = path(relative);
    std::error_code ignored;
    fs::remove_all(target, ignored);
    if (::symlink(header.linkName.c_str(), target.c_str()) != 0) {
      ALOG("%s [Line %d] ERROR: could not create symlink at %@ (%@)", target, errorText(errno));
    }
  }

  void createHardLink(const tar::Header& header, const std::string& relative) {
    auto existing = relativeEntryPath(header.linkName);
    if (!existing || existing->empty()) {
      ALOG("%s [Line %d] skipping %@: its link target leads outside the destination", header.name);
      result_.unsafeEntries++;
      return;
    }
    if (relative.empty() || !prepareParent(relative)) return;
    if (!insideDestination(path(parentOf(*existing)))) {
      ALOG(
          "%s [Line %d] skipping %@: its link target lies behind a link leading outside the "
          "destination",
          header.name);
      result_.unsafeEntries++;
      return;
    }
    std::string link = path(relative);
    removeNonDirectory(link);
    if (::link(path(*existing).c_str(), link.c_str()) != 0) {
      ALOG("%s [Line %d] ERROR: could not create hard link at %@ (%@)", link, errorText(errno));
    }
  }

  // Makes sure the parent of an entry lies inside the destination, creating it when missing.
  // False (with a log line) when the entry must be skipped.
  bool prepareParent(const std::string& relative) {
    std::string parent = path(parentOf(relative));
    if (!insideDestination(parent)) {
      ALOG(
          "%s [Line %d] skipping %@: it would be written through a link leading outside the "
          "destination",
          relative);
      result_.unsafeEntries++;
      return false;
    }
    std::error_code error;
    fs::create_directories(parent, error);
    return true;  // a missing parent shows up as a file that cannot be created
  }

  // Whether `target` resolves to a place inside the destination: its deepest existing ancestor,
  // links followed, must be the destination or lie below it.
  bool insideDestination(const std::string& target) const {
    std::string existing = target;
    struct stat st;
    while (::lstat(existing.c_str(), &st) != 0) {
      size_t slash = existing.rfind('/');
      if (slash == std::string::npos || slash == 0) return false;
      existing.resize(slash);
    }
    char* real = ::realpath(existing.c_str(), nullptr);
    if (!real) return false;  // a dangling link: where it leads is unknown
    std::string resolved = real;
    std::free(real);
    return resolved == realDestination_ ||
           resolved.compare(0, realDestination_.size() + 1, realDestination_ + "/") == 0;
  }

  std::string path(const std::string& relative) const {
    return relative.empty() ? destination_ : destination_ + "/" + relative;
  }

  void rememberTopLevelDirectory(const std::string& name) {
    size_t slash = name.find('/');
    if (slash != std::string::npos && slash + 1 < name.size()) {
      result_.topLevelDirectory = name.substr(0, slash);
    }
  }

  std::optional<std::string> readExtendedData(uint64_t size) {
    if (size > kMaxExtendedHeader) {
      ALOG("%s [Line %d] ERROR: extended header of %d bytes", size);
      fail("an extended header is implausibly long");
      return std::nullopt;
    }
    std::string data(size, '\0');
    if (readFully(in_, data.data(), data.size()) != static_cast<int64_t>(size)) {
      ALOG("%s [Line %d] ERROR: gzread failed");
      fail("it ends in the middle of an extended header");
      return std::nullopt;
    }
    if (!skipPadding(size)) return std::nullopt;
    return data;
  }

  bool skipData(uint64_t size) {
    if (size > static_cast<uint64_t>(INT64_MAX) || !UnTar::skip(in_, static_cast<int64_t>(size))) {
      return fail("it ends in the middle of an entry");
    }
    return skipPadding(size);
  }

  bool skipPadding(uint64_t size) {
    if (!UnTar::skip(in_, static_cast<int64_t>(tar::paddingFor(size)))) {
      return fail("it ends in the middle of an entry");
    }
    return true;
  }

  // A long name, long link or pax header names the entry after it; an archive that ends before
  // that entry lost it. True (with the result filled in) in that case.
  bool orphanedExtension() {
    if (!pending_.path && !pending_.linkPath && !pending_.size && !pending_.sparse) return false;
    ALOG("%s [Line %d] ERROR: archive ends after an extended header");
    fail("it ends after an extended header, before the entry it names");
    return true;
  }

  // The stream ended where a header was expected, without the end-of-archive blocks.
  bool endOfStream() {
    if (streamCutShort(in_)) {
      ALOG("%s [Line %d] ERROR: unexpected end of compressed data");
      return fail("its compressed data is cut short");
    }
    if (!fileHandled_) {
      ALOG("%s [Line %d] ERROR: unexpected eof");
      return fail("it holds no files");
    }
    result_.complete = true;
    return true;
  }

  // A header without magic before any regular file: the end blocks of an empty archive (or one
  // of directories and links only) give no runtime either, so they end the walk as damage.
  bool noMagicBeforeAnyFile(std::string_view block) {
    ALOG("%s [Line %d] ERROR: no magic number");
    if (tar::isZeroBlock(block)) return fail("it holds no files");
    return fail("an entry header is not a tar header");
  }

  // The end-of-archive blocks: read the rest so that zlib checks the data against its checksum.
  bool endOfArchive() {
    std::array<char, kCopyChunk> scratch;
    int64_t n;
    while ((n = readFully(in_, scratch.data(), scratch.size())) > 0) {
    }
    if (n < 0 || streamCutShort(in_)) {
      ALOG("%s [Line %d] ERROR: gzread failed");
      return fail("its compressed data is corrupt or cut short");
    }
    result_.complete = true;
    return true;
  }

  bool fail(const std::string& reason) {
    if (result_.failure.empty()) result_.failure = reason;
    result_.complete = false;
    return false;
  }

  gzFile in_;
  std::string destination_;
  std::string realDestination_;
  int32_t length_;
  const ProgressBlock& progress_;
  bool fileHandled_ = false;
  Pending pending_;
  UnTar::Result result_;
};

}  // namespace

UnTar::Result UnTar::untar(const std::string& archive, const std::string& destination,
                           int32_t uncompressedLength, const ProgressBlock& progress) {
  UniqueFd file(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) {
    std::string error = archive + ": " + errorText(errno);
    ALOG("%s [Line %d] error reading JRE %@", error);
    return {std::nullopt, false, "it cannot be read (" + error + ")"};
  }
  if (progress) progress(destination, 0);

  Result result;
  int duplicate = ::fcntl(file.get(), F_DUPFD_CLOEXEC, 0);
  GzipStream in(duplicate >= 0 ? gzdopen(duplicate, "r") : nullptr);
  if (!in) {
    ALOG("%s [Line %d] error opening gzip file");
    if (duplicate >= 0) ::close(duplicate);
    result.failure = "it cannot be opened as a compressed stream";
  } else {
    gzbuffer(in.get(), kGzipBufferSize);
    result = Extraction(in.get(), destination, uncompressedLength, progress).run();
    in.reset();
  }
  if (progress) progress(std::string(), 100);
  return result;
}

bool UnTar::extractFile(gzFile in, const std::string& path, int64_t length, uint32_t permissions,
                        int32_t uncompressedLength, const ProgressBlock& progress) {
  // Owner read and write so the installer can update the file; never set-id or sticky.
  const mode_t mode = (permissions & 0777) | 0600;
  removeNonDirectory(path);
  UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!out) {
    int error = errno;
    ALOG("%s [Line %d] Could not create file %@ %d %s\n", path, error, errorText(error));
    return skip(in, length);
  }
  ::fchmod(out.get(), mode);  // exactly these bits, whatever the umask

  std::array<char, kCopyChunk> buffer;
  int64_t written = 0;
  double lastReported = 0;
  bool streamError = false;
  while (written < length) {
    auto chunk = static_cast<unsigned>(std::min<int64_t>(length - written, kCopyChunk));
    int n = gzread(in, buffer.data(), chunk);
    if (n <= 0) break;
    written += n;
    if (!platform::writeAll(out.get(), buffer.data(), static_cast<size_t>(n))) {
      streamError = true;
      break;
    }
    if (progress) {
      double percent = percentage(in, uncompressedLength);
      if (percent != lastReported) {
        lastReported = percent;
        progress(std::nullopt, percent);
      }
    }
  }
  if (!out.close()) streamError = true;

  if (streamError) {
    ALOG("%s [Line %d] ERROR: stream error");
    return false;
  }
  if (written < length) {
    ALOG("%s [Line %d] ERROR: sizes don't match: %d, %d", written, length);
    return false;
  }
  return true;
}

bool UnTar::skip(gzFile in, int64_t length) {
  // Read rather than gzseek: a seek in a read stream is only done at the next read, so it could
  // not tell that the stream ended too early.
  std::array<char, kCopyChunk> scratch;
  while (length > 0) {
    int n =
        gzread(in, scratch.data(), static_cast<unsigned>(std::min<int64_t>(length, kCopyChunk)));
    if (n <= 0) {
      ALOG("%s [Line %d] ERROR: gzseek 3 failed");
      return false;
    }
    length -= n;
  }
  return true;
}

double UnTar::percentage(gzFile in, int32_t uncompressedLength) {
  if (uncompressedLength <= 0) return 0;
  // Single precision, as the progress display has always been computed. An archive larger
  // than its stated length stays at 100 rather than running past the bar.
  float percent = static_cast<float>(gztell(in)) / static_cast<float>(uncompressedLength) * 100.0f;
  return static_cast<double>(std::clamp(percent, 0.0f, 100.0f));
}
