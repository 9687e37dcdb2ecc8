#include "bundler/icon.h"

#include "bundler/failure.h"
#include "platform/file_manager.h"

namespace bundler {

namespace {

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";
constexpr std::string_view kIcnsMagic = "icns";
constexpr size_t kIcnsHeader = 8;

uint32_t be32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3]));
}

void appendBe32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xff);
}

// The ICNS type of a PNG image by its width: the smallest standard size that holds it.
const char* icnsTypeFor(uint32_t width) {
  struct Slot {
    uint32_t size;
    const char* type;
  };
  constexpr Slot kSlots[] = {{16, "icp4"},  {32, "icp5"},  {64, "icp6"}, {128, "ic07"},
                             {256, "ic08"}, {512, "ic09"}, {1024, "ic10"}};
  for (const auto& slot : kSlots) {
    if (width <= slot.size) return slot.type;
  }
  return "ic10";
}

}  // namespace

std::optional<PixelSize> pngSize(const std::string& png) {
  // The signature, then the IHDR chunk: length, "IHDR", width, height.
  if (png.size() < 24 || !png.starts_with(kPngSignature) || png.compare(12, 4, "IHDR") != 0) {
    return std::nullopt;
  }
  return PixelSize{be32(png, 16), be32(png, 20)};
}

Icon readIcon(const std::string& path) {
  auto bytes = platform::FileManager().readFile(path);
  if (!bytes) throw Failure("cannot read the icon " + path + ": no such file, or not readable.");
  if (pngSize(*bytes)) return {IconFormat::kPng, std::move(*bytes)};
  if (bytes->size() >= kIcnsHeader && bytes->starts_with(kIcnsMagic)) {
    return {IconFormat::kIcns, std::move(*bytes)};
  }
  throw Failure("the icon " + path + " is neither a PNG nor an ICNS file. Give a PNG " +
                "(256 or 512 pixels square suits every use) or an ICNS.");
}

std::string icnsFromPng(const std::string& png) {
  const PixelSize size = pngSize(png).value_or(PixelSize{});
  std::string out(kIcnsMagic);
  appendBe32(out, static_cast<uint32_t>(kIcnsHeader + 8 + png.size()));
  out += icnsTypeFor(size.width);
  appendBe32(out, static_cast<uint32_t>(8 + png.size()));
  out += png;
  return out;
}

std::vector<std::string> pngsInIcns(const std::string& icns) {
  std::vector<std::string> pngs;
  if (icns.size() < kIcnsHeader || !icns.starts_with(kIcnsMagic)) return pngs;
  const size_t end = std::min<size_t>(icns.size(), be32(icns, 4));
  for (size_t at = kIcnsHeader; at + 8 <= end;) {
    const uint32_t length = be32(icns, at + 4);
    if (length < 8 || at + length > end) break;
    std::string data = icns.substr(at + 8, length - 8);
    if (pngSize(data)) pngs.push_back(std::move(data));
    at += length;
  }
  return pngs;
}

std::optional<std::string> largestPngInIcns(const std::string& icns) {
  std::optional<std::string> best;
  uint32_t bestWidth = 0;
  for (auto& png : pngsInIcns(icns)) {
    const uint32_t width = pngSize(png)->width;
    if (!best || width > bestWidth) {
      bestWidth = width;
      best = std::move(png);
    }
  }
  return best;
}

std::string asIcns(const Icon& icon) {
  return icon.format == IconFormat::kIcns ? icon.bytes : icnsFromPng(icon.bytes);
}

std::string asPng(const Icon& icon, const std::string& path) {
  if (icon.format == IconFormat::kPng) return icon.bytes;
  auto png = largestPngInIcns(icon.bytes);
  if (!png) {
    throw Failure("the icon " + path + " holds no PNG image (only the old compressed bitmaps). " +
                  "Make the bundle with a PNG icon (--icon icon.png).");
  }
  return *png;
}

}  // namespace bundler
