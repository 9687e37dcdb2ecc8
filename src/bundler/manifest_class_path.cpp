#include "bundler/manifest_class_path.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>

#include "bundler/failure.h"
#include "bundler/jar.h"
#include "bundler/staged_output.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

constexpr size_t kManifestLineBytes = 72;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::vector<std::string> tokens(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n\f", at)) != std::string::npos) {
    const size_t end = std::min(text.find_first_of(" \t\r\n\f", at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// java reads the entries as URLs: "%20" is a blank.
std::string percentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The name as a relative URL, the form a manifest entry takes.
std::string percentEncoded(const std::string& name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || std::string_view("-._~+!,;=@&'()").find(static_cast<char>(c)) !=
                               std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The length of a URL scheme at the start of `entry` ("file" in "file:/x"); 0 without one. One
// letter before ':' is not taken as a scheme.
size_t schemeLength(const std::string& entry) {
  if (entry.empty() || !std::isalpha(static_cast<unsigned char>(entry[0]))) return 0;
  size_t at = 1;
  while (at < entry.size() && (std::isalnum(static_cast<unsigned char>(entry[at])) ||
                               entry[at] == '+' || entry[at] == '.' || entry[at] == '-')) {
    at++;
  }
  return at < entry.size() && entry[at] == ':' && at > 1 ? at : 0;
}

std::optional<std::string> resolve(const std::string& folder, const std::string& entry) {
  std::string rest = entry;
  if (const size_t scheme = schemeLength(entry)) {
    if (lower(entry.substr(0, scheme)) != "file") return std::nullopt;
    rest = entry.substr(scheme + 1);
    if (rest.starts_with("//")) {
      const size_t slash = rest.find('/', 2);
      const std::string host = rest.substr(2, slash == std::string::npos ? slash : slash - 2);
      if (!host.empty() && lower(host) != "localhost") return std::nullopt;  // another machine's
      rest = slash == std::string::npos ? "/" : rest.substr(slash);
    }
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  rest = percentDecoded(rest);
  const fs::path path = rest.starts_with("/") ? fs::path(rest) : fs::path(folder) / rest;
  std::string normal = path.lexically_normal().string();
  if (normal.size() > 1 && normal.ends_with("/")) normal.pop_back();
  return normal;
}

std::string canonical(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::weakly_canonical(path, error);
  return error ? path : real.string();
}

// Names in Contents/Java, each handed out once: "util.jar", then "util-2.jar", "util-3.jar".
class NameBook {
 public:
  void reserve(const std::string& name) { taken_.insert(name); }
  std::string claim(const std::string& wanted) {
    std::string base = wanted;
    std::replace_if(base.begin(), base.end(), [](char c) { return c == ':' || c == '$'; }, '_');
    if (base.empty() || base == "." || base == "..") base = "entry";
    const size_t dot = base.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
    const std::string extension = stem.size() == base.size() ? "" : base.substr(dot);
    std::string name = base;
    for (int n = 2; taken_.contains(name); n++) name = stem + "-" + std::to_string(n) + extension;
    taken_.insert(name);
    return name;
  }

 private:
  std::set<std::string> taken_;
};

class ClassPathWalk {
 public:
  ClassPathWalk(const std::vector<std::string>& jars, bool follow, std::string command)
      : follow_(follow), command_(std::move(command)) {
    for (const auto& jar : jars) {
      given_[canonical(jar)] = platform::lastPathComponent(jar);
      names_.reserve(platform::lastPathComponent(jar));
    }
  }

  std::vector<JavaEntry> walk(const std::vector<std::string>& jars) {
    for (const auto& jar : jars) visit(jar);
    return std::move(entries_);
  }

 private:
  // Adds `path` and, after it, what its manifest names; returns its name in the bundle.
  std::string visit(const std::string& path) {
    const std::string key = canonical(path);
    if (auto known = bundled_.find(key); known != bundled_.end()) return known->second;
    JavaEntry entry;
    entry.source = path;
    entry.folder = platform::FileManager().isDirectory(path);
    auto given = given_.find(key);
    entry.name = given != given_.end() ? given->second : names_.claim(platform::lastPathComponent(path));
    bundled_[key] = entry.name;
    const size_t index = entries_.size();
    entries_.push_back(entry);
    if (follow_ && !entry.folder) {
      std::optional<std::string> classPath = followManifest(path);  // adds entries after this one
      entries_[index].classPath = std::move(classPath);
    }
    return entry.name;
  }

  // The copy's Class-Path when it must differ from the jar's own.
  std::optional<std::string> followManifest(const std::string& path) {
    std::optional<Jar> jar;
    try {
      jar.emplace(path);
    } catch (const Failure& e) {
      if (given_.contains(canonical(path))) throw;
      warn(command_, std::string(e.what()) + " It is copied as it is; java will not read it.");
      return std::nullopt;
    }
    const std::vector<ClassPathReference> references = manifestClassPath(*jar);
    if (references.empty()) return std::nullopt;
    const std::string folder = platform::deletingLastPathComponent(path);
    std::vector<std::string> written, rewritten;
    for (const auto& reference : references) {
      written.push_back(reference.written);
      if (!reference.path) {
        rewritten.push_back(reference.written);  // another scheme: java's business, not ours
        continue;
      }
      platform::FileManager files;
      if (!files.isRegularFile(*reference.path) && !files.isDirectory(*reference.path)) {
        const std::string where =
            *reference.path == reference.written ? "" : " (" + *reference.path + ")";
        warn(command_, "the manifest of " + path + " names " + reference.written +
                           " in its Class-Path, which does not exist" + where +
                           "; the bundle is made without it, as java starts without it.");
        continue;
      }
      const bool folderEntry = files.isDirectory(*reference.path);
      rewritten.push_back(percentEncoded(visit(*reference.path)) + (folderEntry ? "/" : ""));
    }
    if (rewritten == written) return std::nullopt;
    if (jar->isSigned()) {
      warn(command_, path + " is signed, so its manifest is copied unchanged; its Class-Path " +
                         "still names files outside the bundle, which java tries first.");
      return std::nullopt;
    }
    std::string text;
    for (const auto& entry : rewritten) text += (text.empty() ? "" : " ") + entry;
    return text;
  }

  bool follow_;
  std::string command_;
  std::map<std::string, std::string> given_;    // canonical path -> its name as given
  std::map<std::string, std::string> bundled_;  // canonical path -> its name in the bundle
  NameBook names_;
  std::vector<JavaEntry> entries_;
};

// Copies the folder `from` to `to`, leaving out the folder the bundle is being built in: an
// entry such as "." names the jar's own folder, which may be where the bundle goes.
void copyFolder(const fs::path& from, const fs::path& to, const fs::path& buildingIn) {
  std::error_code error;
  fs::create_directories(to, error);
  if (error) throw Failure("cannot create " + to.string() + ": " + error.message() + ".");
  for (const auto& item : fs::directory_iterator(from)) {
    const fs::path target = to / item.path().filename();
    if (item.is_directory()) {
      if (canonical(item.path().string()) == buildingIn.string()) continue;
      copyFolder(item.path(), target, buildingIn);
    } else if (item.is_regular_file()) {
      fs::copy_file(item.path(), target, error);
      if (error) {
        throw Failure("cannot copy " + item.path().string() + " into the bundle: " +
                      error.message() + ".");
      }
    }
  }
}

}  // namespace

std::vector<ClassPathReference> manifestClassPath(const Jar& jar) {
  auto attributes = jar.manifest();
  if (!attributes) return {};
  const std::string folder = platform::deletingLastPathComponent(jar.path());
  std::vector<ClassPathReference> references;
  for (const auto& [name, value] : *attributes) {
    if (lower(name) != "class-path") continue;
    for (const auto& entry : tokens(value)) references.push_back({entry, resolve(folder, entry)});
  }
  return references;
}

std::vector<JavaEntry> bundledClassPath(const std::vector<std::string>& jars, bool followManifests,
                                        const std::string& command) {
  return ClassPathWalk(jars, followManifests, command).walk(jars);
}

void copyJavaEntry(const JavaEntry& entry, const std::string& javaFolder) {
  const fs::path target = fs::path(javaFolder) / entry.name;
  std::error_code error;
  if (entry.folder) {
    const fs::path bundle = fs::path(canonical(javaFolder)).parent_path().parent_path();
    copyFolder(entry.source, target, bundle);
  } else if (entry.classPath) {
    const Jar jar(entry.source);
    writeFileAtomically(target.string(),
                        jar.withManifest(replaceClassPath(*jar.manifestText(), *entry.classPath)));
  } else {
    fs::copy_file(entry.source, target, error);
  }
  if (error) {
    throw Failure("cannot copy " + entry.source + " into the bundle: " + error.message() + ".");
  }
}

std::string replaceClassPath(const std::string& manifest, const std::string& classPath) {
  const std::string newline = manifest.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string folded;
  if (!classPath.empty()) {
    const std::string line = "Class-Path: " + classPath;
    folded = line.substr(0, kManifestLineBytes) + newline;
    for (size_t at = kManifestLineBytes; at < line.size(); at += kManifestLineBytes - 1) {
      folded += " " + line.substr(at, kManifestLineBytes - 1) + newline;
    }
  }
  std::string out;
  bool inMain = true, skipping = false, replaced = false;
  size_t start = 0;
  while (start < manifest.size()) {
    size_t end = manifest.find('\n', start);
    end = end == std::string::npos ? manifest.size() : end + 1;
    const std::string line = manifest.substr(start, end - start);
    start = end;
    const bool blank = line == "\n" || line == "\r\n";
    if (inMain && blank) {
      inMain = false;
      if (!replaced) out += folded;
      replaced = true;
    }
    if (inMain && skipping && line.starts_with(" ")) continue;
    skipping = false;
    if (inMain && lower(line.substr(0, 11)) == "class-path:") {
      skipping = true;
      if (!replaced) out += folded;
      replaced = true;
      continue;
    }
    out += line;
  }
  if (!replaced) {
    if (!out.empty() && !out.ends_with("\n")) out += newline;
    out += folded;
  }
  return out;
}

}  // namespace bundler
