// The runtime download: the start task the worker posts to the main queue, and the download
// callbacks that show its progress and hand the finished file back to the waiting worker.
#include <charconv>

#include "launcher/global.h"
#include "platform/sha256.h"
#include "platform/unicode.h"
#include "setupstub/AppDelegate.h"

namespace {

constexpr double kTimeoutInterval = 60;
constexpr int64_t kProgressTextInterval = 500000;  // microseconds
constexpr double kMebibyte = 1048576;
constexpr const char* kJreSha256Key = "qmk.jreSha256";

// The digest "qmk.jreSha256" pins: 64 hexadecimal digits in either case, white space around
// them aside, as for the address. Absent only when the key is; any other value is malformed.
struct Pin {
  std::optional<platform::Sha256Digest> digest;
  bool malformed = false;
};

Pin readPin(const plist::Value& value) {
  if (value.isNull()) return {};
  const std::optional<std::string> text = value.stringValue();
  auto digest =
      text ? platform::parseSha256Hex(unicode::trimWhitespaceAndNewlines(*text)) : std::nullopt;
  return digest ? Pin{digest} : Pin{std::nullopt, true};
}

// The number pattern "##0.0": at least one integer digit, exactly one fraction digit, no
// grouping, and always a point: to_chars ignores the locale, which the installer may change.
std::string formatMebibytes(double value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
  return error == std::errc() ? std::string(text, end) : std::string("0.0");
}

}  // namespace

void AppDelegate::startDownload(const std::optional<std::string>& name, const std::string& address,
                                const std::string& destination) {
  downloadConditionLock->lockWhenCondition(0);
  // Ends the road as a failed download does.
  auto fail = [this] {
    platform::FileManager fileManager;
    removeTemporaryDirectory(fileManager);
    Launcher::displayError(context_, "DownloadJreError");
    exit(1);
  };
  // A pin that cannot be read is never ignored: the runtime would then run unverified.
  const plist::Value& pinned = context_.mainBundle->infoValue(kJreSha256Key);
  const Pin pin = readPin(pinned);
  if (pin.malformed) {
    ALOG("%s [Line %d] %@ is malformed (64 hexadecimal digits expected): \"%@\"", kJreSha256Key,
         pinned.description());
    fail();
  }
  window_.setStatus(localizedText("DownloadingJre", {name.value_or("(null)")}));
  platform::URLRequest request;
  request.url = address;
  request.timeoutInterval = kTimeoutInterval;
  request.expectedSha256 = pin.digest;
  downloader = platform::Download::create(
      request, *this,
      [queue = &mainQueue_](std::function<void()> task) { queue->post(std::move(task)); });
  if (!downloader) {
    ALOG("%s [Line %d] cannot download from %@: not an address", address);
    fail();
  }
  downloader->setDestination(destination);
  downloader->start();
}

void AppDelegate::downloadDidReceiveResponse(platform::Download&,
                                             const platform::URLResponse& response) {
  bytesReceived = 0;
  expectedLength = response.expectedContentLength;
  downloadStartTime = lastProgressUpdate = services_.now();
}

void AppDelegate::downloadDidReceiveData(platform::Download&, uint64_t length) {
  bytesReceived += static_cast<int64_t>(length);
  if (expectedLength <= 0) {
    window_.setIndeterminate(true);
    window_.startAnimation();
    return;
  }
  const double percent =
      static_cast<double>(bytesReceived) / static_cast<double>(expectedLength) * 100;
  window_.setProgress(percent);
  const int64_t now = services_.now();
  if (now <= lastProgressUpdate + kProgressTextInterval) return;
  lastProgressUpdate = now;
  window_.setProgressText(localizedText(
      "DownloadProgress",
      downloadProgressInserts(bytesReceived, expectedLength, percent, now - downloadStartTime)));
}

std::vector<std::string> AppDelegate::downloadProgressInserts(int64_t received, int64_t expected,
                                                              double percent,
                                                              int64_t elapsedMicroseconds) {
  const double speed =
      static_cast<double>(received) / 1024 * 1000000 / static_cast<double>(elapsedMicroseconds);
  return {formatMebibytes(static_cast<double>(received) / kMebibyte),
          formatMebibytes(static_cast<double>(expected) / kMebibyte),
          std::to_string(static_cast<int32_t>(percent)),
          std::to_string(static_cast<int32_t>(speed))};
}

void AppDelegate::downloadDidFinish(platform::Download&) {
  // Released after this callback returns: the download is still the caller.
  mainQueue_.post([finished = std::shared_ptr<platform::Download>(std::move(downloader))] {});
  window_.setProgressText("");
  DLOG("%s [Line %d] downloadDidFinish");
  downloadConditionLock->unlockWithCondition(1);
}

void AppDelegate::downloadDidFail(platform::Download&, const platform::DownloadError& error) {
  ALOG("%s [Line %d] Download failed! Error - %@ %@", error.localizedDescription,
       error.failingURLString);
  platform::FileManager fileManager;
  removeTemporaryDirectory(fileManager);
  Launcher::displayError(context_, "DownloadJreError");
  exit(1);
}
