// What qmk-bundle reads from jars: the manifest's main class, and the class-file version of a
// class (which tells the oldest Java that can run it); and a jar's copy with another manifest. A jar is a zip archive; its entries are
// inflated with zlib.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bundler {

class Jar {
 public:
  // Reads the archive's directory; Failure naming the file when it is missing or not a zip.
  explicit Jar(std::string path);

  const std::string& path() const { return path_; }
  bool contains(const std::string& entry) const { return entries_.contains(entry); }
  // The bytes of an entry; absent when there is none. Failure when it cannot be inflated.
  std::optional<std::string> read(const std::string& entry) const;

  // The main attributes of META-INF/MANIFEST.MF (names as written); absent without a manifest.
  std::optional<std::map<std::string, std::string>> manifest() const;
  // The manifest's Main-Class, trimmed; absent when there is none.
  std::optional<std::string> mainClass() const;
  // The major class-file version of class `name` (dotted), when the jar holds it.
  std::optional<int> classFileVersion(const std::string& className) const;
  // The raw text of META-INF/MANIFEST.MF; absent without one.
  std::optional<std::string> manifestText() const { return read(kManifestEntry); }
  // Whether the jar is signed: a rewritten manifest would break its signature.
  bool isSigned() const;
  // The bytes of the jar with `manifest` as its META-INF/MANIFEST.MF, every other entry kept as
  // it is (same bytes, same order). Failure when the jar has no manifest to replace.
  std::string withManifest(const std::string& manifest) const;

  static constexpr const char* kManifestEntry = "META-INF/MANIFEST.MF";

 private:
  struct Entry {
    uint16_t method = 0;
    uint32_t compressedSize = 0;
    uint32_t size = 0;
    uint32_t localHeader = 0;
  };
  std::string path_;
  std::string bytes_;
  std::map<std::string, Entry> entries_;
  std::vector<size_t> directory_;  // where each central directory record starts, in order
  size_t endRecord_ = 0;
};

// The manifest's main attributes from its text: "Name: value" lines up to the first empty
// line, continuation lines (beginning with one blank) joined to the line before.
std::map<std::string, std::string> parseManifest(const std::string& text);

// The Java release that introduced class-file version `major` ("1.8" for 52, "17" for 61).
std::string javaReleaseOfClassFile(int major);

}  // namespace bundler
