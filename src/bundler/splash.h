// The splash image a bundle shows while Java starts (SplashFile): PNG, GIF or JPEG, the kinds
// the runtime's splash screen decodes, told by their first bytes. It is copied into
// Contents/Resources under a name whose extension says what it really is.
#pragma once

#include <optional>
#include <string>

namespace bundler {

enum class ImageKind { kPng, kGif, kJpeg };

// The kind of image `bytes` begin with; absent for anything else.
std::optional<ImageKind> imageKindOf(const std::string& bytes);

struct Splash {
  std::string source;    // absolute path of the image given
  std::string fileName;  // its name in Contents/Resources
};

// Reads the image at `path`; Failure naming the file when it is unreadable or not a PNG, GIF
// or JPEG. The name is kept when its extension is that of its kind; an extension of another
// image kind is replaced, and any other name gets the right extension added.
Splash readSplash(const std::string& path);

// The SplashFile value: "$APP_PACKAGE/Contents/Resources/<fileName>".
std::string splashFileValue(const Splash& splash);

// Copies the image into `resources` (Contents/Resources, which exists).
void copySplash(const Splash& splash, const std::string& resources);

}  // namespace bundler
