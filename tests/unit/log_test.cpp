// The platform log line: "YYYY-MM-DD HH:MM:SS.mmm prog[pid:tid] message" on standard error.
#include "platform/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "support/test_support.h"

namespace {

// Everything `body` writes to standard error.
template <typename Body>
std::string stderrOf(const std::string& file, Body body) {
  int saved = ::dup(STDERR_FILENO);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(fd, STDERR_FILENO);
  ::close(fd);
  body();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  return testing_support::readFile(file);
}

TEST(LogTest, OneStampedLinePerMessage) {
  testing_support::TempDir tmp;
  std::string text = stderrOf(tmp / "err", [] {
    platform::log("first %d line");
    platform::log("second\n");
  });
  std::string prefix = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} log_test\[)" +
                       std::to_string(::getpid()) + R"(:\d+\] )";
  EXPECT_TRUE(std::regex_match(text, std::regex(prefix + "first %d line\n" + prefix + "second\n")))
      << text;
}

TEST(LogTest, ThreadsNeverShareALine) {
  testing_support::TempDir tmp;
  std::string text = stderrOf(tmp / "err", [] {
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) platform::log(std::string(100, static_cast<char>('a' + t)));
      });
    }
    for (auto& thread : threads) thread.join();
  });
  std::regex line(R"([^\n]* log_test\[\d+:\d+\] (a{100}|b{100}|c{100}|d{100}))");
  size_t lines = 0;
  for (size_t start = 0; start < text.size(); ++lines) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(start, end - start), line))
        << text.substr(start, end - start);
    start = end + 1;
  }
  EXPECT_EQ(lines, 800u);
}

}  // namespace
