#include "bundler/splash.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

#include "bundler/ascii_text.h"
#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace fs = std::filesystem;

namespace bundler {

namespace {

struct KindFacts {
  ImageKind kind;
  std::string_view magic;
  std::vector<std::string> extensions;  // the first is the one given to a renamed file
};

const std::vector<KindFacts>& kinds() {
  static const std::vector<KindFacts> facts = {
      {ImageKind::kPng, std::string_view("\x89PNG\r\n\x1a\n", 8), {".png"}},
      {ImageKind::kGif, "GIF87a", {".gif"}},
      {ImageKind::kGif, "GIF89a", {".gif"}},
      {ImageKind::kJpeg, "\xff\xd8\xff", {".jpg", ".jpeg", ".jpe"}},
  };
  return facts;
}

const KindFacts& factsOf(ImageKind kind) {
  return *std::find_if(kinds().begin(), kinds().end(),
                       [kind](const KindFacts& facts) { return facts.kind == kind; });
}

bool isImageExtension(const std::string& extension) {
  return std::any_of(kinds().begin(), kinds().end(), [&](const KindFacts& facts) {
    return std::find(facts.extensions.begin(), facts.extensions.end(), extension) !=
           facts.extensions.end();
  });
}

// `name` with an extension that tells `kind`.
std::string nameFor(const std::string& name, ImageKind kind) {
  const KindFacts& facts = factsOf(kind);
  const size_t dot = name.rfind('.');
  const std::string extension = dot == std::string::npos || dot == 0 ? "" : lowered(name.substr(dot));
  if (std::find(facts.extensions.begin(), facts.extensions.end(), extension) !=
      facts.extensions.end()) {
    return name;
  }
  const std::string stem = isImageExtension(extension) ? name.substr(0, dot) : name;
  return stem + facts.extensions.front();
}

}  // namespace

std::optional<ImageKind> imageKindOf(const std::string& bytes) {
  for (const auto& facts : kinds()) {
    if (bytes.starts_with(facts.magic)) return facts.kind;
  }
  return std::nullopt;
}

Splash readSplash(const std::string& path) {
  auto bytes = platform::FileManager().readFile(path);
  if (!bytes) {
    throw Failure("cannot read the splash image " + path + ": no such file, or not readable.");
  }
  auto kind = imageKindOf(*bytes);
  if (!kind) {
    throw Failure("the splash image " + path + " is not a PNG, GIF or JPEG image (going by " +
                  "its content, not its name). Give an image of one of those kinds.");
  }
  return {platform::absolutePath(path), nameFor(platform::lastPathComponent(path), *kind)};
}

std::string splashFileValue(const Splash& splash) {
  return "$APP_PACKAGE/Contents/Resources/" + splash.fileName;
}

void copySplash(const Splash& splash, const std::string& resources) {
  std::error_code error;
  fs::copy_file(splash.source, fs::path(resources) / splash.fileName,
                fs::copy_options::overwrite_existing, error);
  if (error) {
    throw Failure("cannot copy the splash image " + splash.source + " into the bundle: " +
                  error.message() + ".");
  }
}

}  // namespace bundler
