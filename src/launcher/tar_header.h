// The tar header block and the records that extend it: ustar names with their prefix, GNU
// long-name and long-link entries, pax extended headers (path, linkpath, size), octal and
// base-256 numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tar {

constexpr size_t kBlockSize = 512;

// Type flags of the entries the extractor tells apart.
namespace type {
constexpr char kRegular = '0';
constexpr char kOldRegular = '\0';
constexpr char kHardLink = '1';
constexpr char kSymbolicLink = '2';
constexpr char kDirectory = '5';
constexpr char kContiguous = '7';
constexpr char kPaxExtended = 'x';
constexpr char kPaxGlobal = 'g';
constexpr char kGnuLongName = 'L';
constexpr char kGnuLongLink = 'K';
constexpr char kGnuSparse = 'S';
}  // namespace type

struct Header {
  std::string name;      // the ustar prefix joined in front when the header carries one
  std::string linkName;  // link target of a symbolic or hard link
  uint64_t size = 0;     // length of the data that follows the header
  uint32_t mode = 0;
  char type = type::kRegular;

  bool isRegularFile() const {
    return type == type::kRegular || type == type::kOldRegular || type == type::kContiguous;
  }
};

// "ustar" on the five magic bytes: both the POSIX "ustar\0" and GNU's "ustar " match.
bool hasMagic(std::string_view block);
// The end-of-archive marker is a block of zero bytes.
bool isZeroBlock(std::string_view block);

// A numeric field. Octal text: a NUL ends it, spaces and zeros before the first significant
// digit are skipped, a space after it ends the number. A first byte with the high bit set
// holds a big-endian binary number instead (GNU tar's form for sizes of 8 GiB and more).
// Absent when the field holds anything else, a negative binary number, or does not fit 64 bits.
std::optional<uint64_t> parseNumber(std::string_view field);

// The fields of a full header block; absent when a numeric field is not a number.
std::optional<Header> parseHeader(std::string_view block);

// The records of a pax extended header that matter here.
struct PaxRecords {
  std::optional<std::string> path;
  std::optional<std::string> linkPath;
  std::optional<uint64_t> size;
  // GNU's sparse-file records: the data that follows is a map and fragments, not the file.
  bool sparse = false;
};
// Parses "<length> <key>=<value>\n" records; stops at the first malformed one.
PaxRecords parsePaxRecords(std::string_view data);

// The text of a GNU long-name or long-link entry's data: up to the first NUL.
std::string textUpToNul(std::string_view data);

// Zero bytes after `size` bytes of data up to the next block boundary.
uint64_t paddingFor(uint64_t size);

}  // namespace tar
