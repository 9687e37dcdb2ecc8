#include "launcher/update_feed.h"

#include <time.h>

#include "launcher/feed_json.h"
#include "platform/civil_date.h"

namespace qmk::update {
namespace {

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int64_t y, int64_t m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// `count` digits at `pos`, or -1.
int64_t digitsAt(std::string_view text, size_t pos, size_t count) {
  if (pos + count > text.size()) return -1;
  int64_t v = 0;
  for (size_t i = pos; i < pos + count; i++) {
    if (text[i] < '0' || text[i] > '9') return -1;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

}  // namespace

std::optional<int64_t> parseTimestamp(std::string_view t) {
  // YYYY-MM-DDTHH:MM:SS
  if (t.size() < 20 || t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't') ||
      t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  const int64_t year = digitsAt(t, 0, 4), month = digitsAt(t, 5, 2), day = digitsAt(t, 8, 2);
  const int64_t hour = digitsAt(t, 11, 2), minute = digitsAt(t, 14, 2), second = digitsAt(t, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  size_t pos = 19;
  if (pos < t.size() && t[pos] == '.') {
    const size_t start = ++pos;
    while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') pos++;
    if (pos == start) return std::nullopt;
  }
  int64_t offset = 0;
  if (pos < t.size() && (t[pos] == 'Z' || t[pos] == 'z')) {
    pos++;
  } else if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
    const int64_t oh = digitsAt(t, pos + 1, 2), om = digitsAt(t, pos + 4, 2);
    if (oh < 0 || oh > 23 || om < 0 || om > 59 || pos + 3 >= t.size() || t[pos + 3] != ':') {
      return std::nullopt;
    }
    offset = (oh * 60 + om) * 60 * (t[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != t.size()) return std::nullopt;
  // A leap second counts as the last second of its minute.
  const int64_t s = second == 60 ? 59 : second;
  return platform::daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + s - offset;
}

std::string formatTimestamp(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm utc {};
  gmtime_r(&t, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool isArchiveName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '-' || c == '+' || c == '~';
    if (!plain) return false;
  }
  return true;
}

std::string archiveUrl(const std::string& feedUrl, const std::string& archive) {
  std::string base = feedUrl.substr(0, feedUrl.find_first_of("?#"));
  const size_t slash = base.rfind('/');
  base.resize(slash == std::string::npos ? 0 : slash + 1);
  return base + archive;
}

FeedReading readFeed(std::string_view text) {
  JsonReading json = readJsonObject(text);
  if (!json.object) return {std::nullopt, "update.json is not a JSON object: " + json.failure};
  const JsonObject& o = *json.object;
  Feed feed;
  auto text_ = [&](const char* name, std::string& into) {
    const std::string* s = o.string(name);
    if (!s) return false;
    into = *s;
    return true;
  };
  for (const char* name : {"identifier", "version", "archive", "sha256", "published", "expires"}) {
    if (!o.string(name)) {
      return {std::nullopt, std::string("update.json has no \"") + name + "\" string"};
    }
  }
  text_("identifier", feed.identifier);
  text_("version", feed.version);
  text_("archive", feed.archive);
  if (feed.version.empty()) return {std::nullopt, "update.json's \"version\" is empty"};
  if (!isArchiveName(feed.archive)) {
    return {std::nullopt, "update.json's \"archive\" is not a plain file name: " + feed.archive};
  }
  auto digest = platform::parseSha256Hex(*o.string("sha256"));
  if (!digest) return {std::nullopt, "update.json's \"sha256\" is not 64 hexadecimal digits"};
  feed.sha256 = *digest;
  auto size = o.integer("size");
  if (!size || *size <= 0 || static_cast<uint64_t>(*size) > kMaxArchiveBytes) {
    return {std::nullopt, "update.json's \"size\" is not a plausible number of bytes"};
  }
  feed.size = static_cast<uint64_t>(*size);
  auto published = parseTimestamp(*o.string("published"));
  auto expires = parseTimestamp(*o.string("expires"));
  if (!published || !expires) {
    return {std::nullopt, "update.json's \"published\" or \"expires\" is not an RFC 3339 time"};
  }
  feed.published = *published;
  feed.expires = *expires;
  return {std::move(feed), {}};
}

}  // namespace qmk::update
