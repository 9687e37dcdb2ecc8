// Application icons: PNG or ICNS given by the developer. The bundle keeps an ICNS (what the
// launchers and the installer window load); the desktop entry needs a PNG. ICNS files made here
// and read here hold PNG images, the form every current ICNS has for sizes of 16 pixels up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bundler {

enum class IconFormat { kPng, kIcns };

struct Icon {
  IconFormat format;
  std::string bytes;
};

struct PixelSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// Reads the icon at `path`; Failure naming the file when it is neither PNG nor ICNS.
Icon readIcon(const std::string& path);
// The width and height in a PNG's header; absent when the bytes are not a PNG.
std::optional<PixelSize> pngSize(const std::string& png);
// An ICNS holding `png` as its one image, under the type its size calls for.
std::string icnsFromPng(const std::string& png);
// Every PNG image inside an ICNS, in the order it holds them.
std::vector<std::string> pngsInIcns(const std::string& icns);
// The largest PNG image inside an ICNS; absent when it holds none (only the old compressed
// bitmaps).
std::optional<std::string> largestPngInIcns(const std::string& icns);
// The icon as ICNS bytes / as PNG bytes; Failure naming `path` when there is no PNG to take.
std::string asIcns(const Icon& icon);
std::string asPng(const Icon& icon, const std::string& path);

}  // namespace bundler
