// The feed reader is the first thing that reads what a server sent after the signature holds:
// it must take exactly the documented form and refuse everything else with a reason.
#include "launcher/update_feed.h"

#include <gtest/gtest.h>

#include <string>

using qmk::update::archiveUrl;
using qmk::update::parseTimestamp;
using qmk::update::readFeed;

namespace {

const std::string kDigest(64, 'a');

std::string feed(const std::string& extra = "", const std::string& size = "12") {
  return "{\"identifier\": \"org.example.app\", \"version\": \"2.0\", \"archive\": "
         "\"a-2.0.tar.gz\", "
         "\"sha256\": \"" +
         kDigest + "\", \"size\": " + size +
         ", \"published\": \"2026-01-01T00:00:00Z\", \"expires\": \"2026-02-01T00:00:00Z\"" +
         extra + "}";
}

TEST(UpdateFeed, ReadsTheDocumentedFormAndPassesOverUnknownMembers) {
  auto reading = readFeed(feed(", \"notes\": {\"en\": [\"fixed \\u00e9\", 1.5e3, null, true]}"));
  ASSERT_TRUE(reading.feed) << reading.failure;
  EXPECT_EQ(reading.feed->identifier, "org.example.app");
  EXPECT_EQ(reading.feed->version, "2.0");
  EXPECT_EQ(reading.feed->archive, "a-2.0.tar.gz");
  EXPECT_EQ(reading.feed->size, 12u);
  EXPECT_EQ(reading.feed->published, 1767225600);
  EXPECT_EQ(reading.feed->expires, 1767225600 + 31 * 86400);
}

TEST(UpdateFeed, RefusesAnythingButStrictJsonAndPlausibleValues) {
  struct Case {
    std::string name;
    std::string text;
  };
  const Case cases[] = {
      {"trailing comma", feed(",")},
      {"text after the object", feed() + " {}"},
      {"a member named twice", feed(", \"version\": \"3.0\"")},
      {"a comment", feed() + " // x"},
      {"single quotes", "{'identifier': 'x'}"},
      {"an array at the top", "[" + feed() + "]"},
      {"a lone surrogate", feed(", \"x\": \"\\ud800\"")},
      {"a control character", feed(", \"x\": \"a\tb\"")},
      {"bytes that are not UTF-8", feed(", \"x\": \"\xff\"")},
      {"nesting too deep", feed(", \"x\": " + std::string(40, '[') + std::string(40, ']'))},
      {"a size that is a string", feed("", "\"12\"")},
      {"a size with a fraction", feed("", "12.0")},
      {"a negative size", feed("", "-1")},
      {"a size past 64 bits", feed("", "99999999999999999999")},
      {"an archive name with a slash",
       [] {
         std::string f = feed();
         f.replace(f.find("a-2.0.tar.gz"), 12, "../x.tar.gz");
         return f;
       }()},
      {"a digest too short",
       [] {
         std::string f = feed();
         f.replace(f.find(kDigest), 64, "abc");
         return f;
       }()},
      {"a time without a zone",
       [] {
         std::string f = feed();
         f.replace(f.find("2026-02-01T00:00:00Z"), 20, "2026-02-01T00:00:00");
         return f;
       }()},
      {"a missing member", "{\"identifier\": \"org.example.app\"}"},
      {"empty text", ""},
  };
  for (const auto& c : cases) {
    auto reading = readFeed(c.text);
    EXPECT_FALSE(reading.feed) << c.name;
    EXPECT_FALSE(reading.failure.empty()) << c.name;
  }
}

TEST(UpdateFeed, TimestampsFollowRfc3339) {
  EXPECT_EQ(parseTimestamp("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(parseTimestamp("2024-02-29T12:00:00.25Z"), 1709208000);
  EXPECT_EQ(parseTimestamp("2024-02-29T14:00:00+02:00"), 1709208000);
  EXPECT_EQ(parseTimestamp("2024-02-29t12:00:00z"), 1709208000);
  for (const char* bad : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01 00:00:00Z",
                          "2024-01-01T24:00:00Z", "2024-01-01T00:00:00+0200", "2024-01-01"}) {
    EXPECT_FALSE(parseTimestamp(bad)) << bad;
  }
  EXPECT_EQ(qmk::update::formatTimestamp(1709208000), "2024-02-29T12:00:00Z");
}

TEST(UpdateFeed, TheArchiveLiesBesideTheFeed) {
  EXPECT_EQ(archiveUrl("https://example.org/app/update.json", "a.tar.gz"),
            "https://example.org/app/a.tar.gz");
  EXPECT_EQ(archiveUrl("https://example.org/app/update.json?v=2#top", "a.tar.gz"),
            "https://example.org/app/a.tar.gz");
}

}  // namespace
