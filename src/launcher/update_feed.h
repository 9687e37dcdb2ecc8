// The update feed: update.json's fields, read and checked for form, and the times and addresses
// it involves. Whether a well-formed feed is accepted is the checker's affair.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sha256.h"

namespace qmk::update {

// A feed larger than this is refused unread; its signature file is far smaller still.
inline constexpr uint64_t kMaxFeedBytes = 64 * 1024;
inline constexpr uint64_t kMaxSignatureBytes = 1024;
// No bundle of ours comes near this; a feed that says more is not ours.
inline constexpr uint64_t kMaxArchiveBytes = uint64_t{8} << 30;

struct Feed {
  std::string identifier;
  std::string version;
  std::string archive;  // a file name beside the feed
  platform::Sha256Digest sha256{};
  uint64_t size = 0;
  int64_t published = 0;  // Unix seconds
  int64_t expires = 0;
};

struct FeedReading {
  std::optional<Feed> feed;
  std::string failure;  // why the text is no feed; empty when it is one
};

FeedReading readFeed(std::string_view text);

// Whether `name` can stand as the archive's file name beside the feed: not empty, not "." or
// "..", and only characters that need no escaping in a URL path (letters, digits, ".", "_",
// "-", "+", "~").
bool isArchiveName(std::string_view name);
// The feed's address with its last path segment (and any query) replaced by `archive`.
std::string archiveUrl(const std::string& feedUrl, const std::string& archive);

// RFC 3339 date-times: "2026-12-09T20:30:00Z", with an optional fraction of a second and a
// numeric offset in place of "Z". Absent for any other text.
std::optional<int64_t> parseTimestamp(std::string_view text);
// The UTC form with "Z", whole seconds.
std::string formatTimestamp(int64_t unixSeconds);

}  // namespace qmk::update
