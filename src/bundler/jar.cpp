#include "bundler/jar.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr uint32_t kEndOfDirectory = 0x06054b50;
constexpr uint32_t kDirectoryEntry = 0x02014b50;
constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kLongestComment = 0xffff;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
constexpr uint32_t kDataDescriptor = 0x08074b50;
constexpr uint16_t kHasDataDescriptor = 0x0008;

uint32_t le16(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8;
}
uint32_t le32(const std::string& b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

void put16(std::string& b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v & 0xff);
  b[at + 1] = static_cast<char>((v >> 8) & 0xff);
}
void put32(std::string& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xffff);
  put16(b, at + 2, v >> 16);
}

std::string trim(const std::string& s) {
  size_t begin = s.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return s.substr(begin, s.find_last_not_of(" \t\r\n") - begin + 1);
}

std::string inflateRaw(const std::string& compressed, uint32_t size, const std::string& what) {
  std::string out(size, '\0');
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw Failure("zlib could not start");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&stream, Z_FINISH);
  const bool whole = result == Z_STREAM_END && stream.total_out == size;
  inflateEnd(&stream);
  if (!whole) throw Failure(what + " is damaged (it does not inflate). Rebuild the jar.");
  return out;
}

}  // namespace

Jar::Jar(std::string path) : path_(std::move(path)) {
  auto bytes = platform::FileManager().readFile(path_);
  if (!bytes) throw Failure("cannot read the jar " + path_ + ": no such file, or not readable.");
  bytes_ = std::move(*bytes);
  const std::string notZip = path_ + " is not a jar (no zip directory found). Give a jar file.";
  if (bytes_.size() < kEndRecordSize) throw Failure(notZip);
  const size_t lowest =
      bytes_.size() > kEndRecordSize + kLongestComment ? bytes_.size() - kEndRecordSize - kLongestComment : 0;
  size_t end = std::string::npos;
  for (size_t at = bytes_.size() - kEndRecordSize + 1; at-- > lowest;) {
    if (le32(bytes_, at) == kEndOfDirectory) {
      end = at;
      break;
    }
  }
  if (end == std::string::npos) throw Failure(notZip);
  endRecord_ = end;
  const uint32_t count = le16(bytes_, end + 10);
  size_t at = le32(bytes_, end + 16);
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 46 > bytes_.size() || le32(bytes_, at) != kDirectoryEntry) throw Failure(notZip);
    Entry entry{static_cast<uint16_t>(le16(bytes_, at + 10)), le32(bytes_, at + 20),
                le32(bytes_, at + 24), le32(bytes_, at + 42)};
    const uint32_t nameLength = le16(bytes_, at + 28);
    const size_t next = at + 46 + nameLength + le16(bytes_, at + 30) + le16(bytes_, at + 32);
    if (next > bytes_.size()) throw Failure(notZip);
    entries_.emplace(bytes_.substr(at + 46, nameLength), entry);
    directory_.push_back(at);
    at = next;
  }
}

std::optional<std::string> Jar::read(const std::string& name) const {
  auto found = entries_.find(name);
  if (found == entries_.end()) return std::nullopt;
  const Entry& entry = found->second;
  const std::string what = "the entry " + name + " of " + path_;
  const size_t header = entry.localHeader;
  if (header + 30 > bytes_.size() || le32(bytes_, header) != kLocalHeader) {
    throw Failure(what + " is damaged (no local header). Rebuild the jar.");
  }
  const size_t data = header + 30 + le16(bytes_, header + 26) + le16(bytes_, header + 28);
  if (data + entry.compressedSize > bytes_.size()) {
    throw Failure(what + " is cut short. Rebuild the jar.");
  }
  const std::string compressed = bytes_.substr(data, entry.compressedSize);
  if (entry.method == kStored) return compressed;
  if (entry.method == kDeflated) return inflateRaw(compressed, entry.size, what);
  throw Failure(what + " uses zip method " + std::to_string(entry.method) +
                ", which qmk-bundle cannot read. Rebuild the jar with the jar tool.");
}

std::optional<std::map<std::string, std::string>> Jar::manifest() const {
  auto text = read(kManifestEntry);
  if (!text) return std::nullopt;
  return parseManifest(*text);
}

std::optional<std::string> Jar::mainClass() const {
  auto attributes = manifest();
  if (!attributes) return std::nullopt;
  for (const auto& [name, value] : *attributes) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "main-class" && !trim(value).empty()) return trim(value);
  }
  return std::nullopt;
}

std::optional<int> Jar::classFileVersion(const std::string& className) const {
  std::string entry = className;
  std::replace(entry.begin(), entry.end(), '.', '/');
  auto bytes = read(entry + ".class");
  if (!bytes || bytes->size() < 8 || le32(*bytes, 0) != 0xbebafeca) return std::nullopt;
  return static_cast<uint8_t>((*bytes)[6]) << 8 | static_cast<uint8_t>((*bytes)[7]);
}

bool Jar::isSigned() const {
  for (const auto& [name, entry] : entries_) {
    if (!name.starts_with("META-INF/") || name.find('/', 9) != std::string::npos) continue;
    if (name.ends_with(".SF") || name.ends_with(".RSA") || name.ends_with(".DSA") ||
        name.ends_with(".EC")) {
      return true;
    }
  }
  return false;
}

std::string Jar::withManifest(const std::string& manifest) const {
  if (!contains(kManifestEntry)) throw Failure(path_ + " has no manifest to replace.");
  const std::string damaged = path_ + " is damaged (an entry runs past its end). Rebuild the jar.";
  std::string out;
  std::string central;
  for (size_t record : directory_) {
    const uint32_t nameLength = le16(bytes_, record + 28);
    const size_t recordEnd =
        record + 46 + nameLength + le16(bytes_, record + 30) + le16(bytes_, record + 32);
    std::string copy = bytes_.substr(record, recordEnd - record);
    const size_t header = le32(bytes_, record + 42);
    put32(copy, 42, static_cast<uint32_t>(out.size()));
    if (bytes_.compare(record + 46, nameLength, kManifestEntry) == 0) {
      // Stored, so that its sizes are known before its bytes and need no data descriptor.
      const uint32_t crc = static_cast<uint32_t>(
          crc32(0, reinterpret_cast<const Bytef*>(manifest.data()), static_cast<uInt>(manifest.size())));
      const uint32_t flags = le16(bytes_, record + 8) & ~kHasDataDescriptor;
      std::string local(30, '\0');
      put32(local, 0, kLocalHeader);
      put16(local, 4, 20);
      put16(local, 6, flags);
      put16(local, 8, kStored);
      put32(local, 10, le32(bytes_, record + 12));  // time and date
      put32(local, 14, crc);
      put32(local, 18, static_cast<uint32_t>(manifest.size()));
      put32(local, 22, static_cast<uint32_t>(manifest.size()));
      put16(local, 26, nameLength);
      out += local + kManifestEntry + manifest;
      put16(copy, 8, flags);
      put16(copy, 10, kStored);
      put32(copy, 16, crc);
      put32(copy, 20, static_cast<uint32_t>(manifest.size()));
      put32(copy, 24, static_cast<uint32_t>(manifest.size()));
    } else {
      if (header + 30 > bytes_.size() || le32(bytes_, header) != kLocalHeader) throw Failure(damaged);
      size_t end = header + 30 + le16(bytes_, header + 26) + le16(bytes_, header + 28) +
                   le32(bytes_, record + 20);
      if (le16(bytes_, header + 6) & kHasDataDescriptor) {
        end += end + 4 <= bytes_.size() && le32(bytes_, end) == kDataDescriptor ? 16 : 12;
      }
      if (end > bytes_.size()) throw Failure(damaged);
      out.append(bytes_, header, end - header);
    }
    central += copy;
  }
  std::string endRecord = bytes_.substr(endRecord_);
  put32(endRecord, 12, static_cast<uint32_t>(central.size()));
  put32(endRecord, 16, static_cast<uint32_t>(out.size()));
  return out + central + endRecord;
}

std::map<std::string, std::string> parseManifest(const std::string& text) {
  std::map<std::string, std::string> attributes;
  std::string last;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (line.empty()) break;  // the main section ends here
    if (line[0] == ' ') {
      if (!last.empty()) attributes[last] += line.substr(1);
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    last = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    if (value.starts_with(" ")) value.erase(0, 1);
    attributes[last] = value;
  }
  return attributes;
}

std::string javaReleaseOfClassFile(int major) {
  if (major <= 52) return "1." + std::to_string(std::max(major - 44, 1));
  return std::to_string(major - 44);
}

}  // namespace bundler
