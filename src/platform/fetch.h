// A bounded fetch of one URL, done on the calling thread: for content that must never grow past
// a known size nor take forever (an update's feed, its signature, its archive). The transfer
// library is loaded as the download loads it; an HTTP error status, more content than allowed,
// and a server that stops sending are all failures.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct FetchRequest {
  std::string url;
  // More content than this fails the fetch as soon as it is announced or received.
  uint64_t maxBytes = 0;
  // Seconds without a byte received after which the fetch fails.
  double idleTimeout = 30;
  // Seconds the whole fetch may take; 0: no limit beyond the idle time-out.
  double totalTimeout = 0;
};

// Hands the content to `sink` piece by piece; `sink` returns false to stop (a failure). Absent
// on success, else what went wrong in words for a log.
std::optional<std::string> fetch(const FetchRequest& request,
                                 const std::function<bool(std::string_view)>& sink);

// The whole content, or the failure.
struct FetchedText {
  std::optional<std::string> content;
  std::string failure;
};
FetchedText fetchText(const FetchRequest& request);

}  // namespace platform
