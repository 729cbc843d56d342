#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "util/Log.h"

namespace {

// Routes the logger into a temporary file for one test and reads it back.
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()) { lc::Log::log().setStream(file_); }
  ~LogCapture() {
    lc::Log::log().setStream(nullptr);
    lc::Log::log().setMode(lc::Log::Full);
    std::fclose(file_);
  }
  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  std::FILE* file_;
};

TEST(Log, FullLineLayout) {
  LogCapture capture;
  lc::LogRef ref("ui");
  ref.info("hello");
  ref.error("port ", 9860, ' ', 'x', " done");
  std::string text = capture.text();
  std::regex line(
      "\\[INFO\\]\\[\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d UTC\\]\\[ui\\] hello\n"
      "\\[ERROR\\]\\[\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d UTC\\]\\[ui\\] port 9860 x done\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(Log, SimpleModeWritesTheMessageAlone) {
  LogCapture capture;
  lc::Log::log().setMode(lc::Log::Simple);
  lc::LogRef("tcpip").info("Connected to ", "127.0.0.1", ":", 7000, ".");
  EXPECT_EQ(capture.text(), "Connected to 127.0.0.1:7000.\n");
}

TEST(Log, SilentHandleWritesNothingInEitherMode) {
  LogCapture capture;
  lc::LogRef ref("quiet");
  ref.silent = true;
  ref.info("a");
  lc::Log::log().setMode(lc::Log::Simple);
  ref.error("b");
  EXPECT_EQ(capture.text(), "");
}

TEST(Log, TimestampIsUtc) {
  EXPECT_EQ(lc::Log::timestamp(0), "01/01/70 00:00:00 UTC");
  EXPECT_EQ(lc::Log::timestamp(1796593800), "12/06/26 21:50:00 UTC");
}

TEST(Log, LinesFromManyThreadsStayWhole) {
  LogCapture capture;
  lc::Log::log().setMode(lc::Log::Simple);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      lc::LogRef ref("t");
      for (int i = 0; i < 200; ++i)
        ref.info("thread ", t, " line ", i, " ", std::string(40, 'a' + t));
    });
  }
  for (auto& th : threads) th.join();
  std::string text = capture.text();
  std::regex line("thread (\\d) line \\d+ ([a-d])\\2{39}");
  size_t count = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string one = text.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(one, m, line)) << one;
    EXPECT_EQ(m[1].str()[0] - '0', m[2].str()[0] - 'a');
    ++count;
    start = end + 1;
  }
  EXPECT_EQ(count, 800u);
}

}  // namespace

// What an operation's thread logged gives its failure's reason: the first
// error line, else the last line; other threads' lines never count.
TEST(Log, CaptureTakesTheFirstErrorElseTheLastLine) {
  LogCapture out;
  lc::LogRef log("unit");
  struct Case {
    std::vector<std::pair<bool, std::string>> lines;  // (error, message)
    std::string reason;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{{false, "waiting"}, {false, "A timeout has occured."}}, "A timeout has occured."},
      {{{false, "sending"}, {true, "Cannot read"}, {true, "An error occured"}}, "Cannot read"},
  };
  for (const Case& c : cases) {
    lc::Log::Capture capture;
    lc::Log::setCapture(&capture);
    std::thread other([&] { log.error("another thread"); });
    other.join();
    for (const auto& [error, message] : c.lines) {
      if (error)
        log.error(message);
      else
        log.info(message);
    }
    lc::Log::setCapture(nullptr);
    log.error("after the operation");
    EXPECT_EQ(capture.reason(), c.reason);
  }
}

// The tap keeps lines apart from the console, in order, up to its capacity,
// and counts what it had to drop; the console can be off meanwhile.
TEST(Log, TapQueuesBoundedAndCountsDrops) {
  LogCapture out;
  static int wakes = 0;
  wakes = 0;
  lc::Log::log().setTap([](void*) { ++wakes; }, nullptr, 3);
  lc::Log::log().setConsole(false);
  lc::LogRef log("unit");
  for (int i = 0; i < 5; ++i) log.info("line ", i);
  std::vector<lc::Log::Line> lines;
  EXPECT_EQ(lc::Log::log().takeLines(lines), 2u);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].message, "line 0");
  EXPECT_EQ(lines[2].message, "line 2");
  EXPECT_EQ(lines[1].source, "unit");
  EXPECT_EQ(wakes, 1);  // only the line that found the queue empty
  log.error("again");
  EXPECT_EQ(wakes, 2);
  lc::Log::log().setConsole(true);
  lc::Log::log().setTap(nullptr, nullptr, 0);
  EXPECT_EQ(out.text(), "");
}
