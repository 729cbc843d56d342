#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "firmware/Hex.h"
#include "firmware/LcApp.h"
#include "support/HexSupport.h"
#include "util/FileReader.h"

namespace lc {
namespace {

using namespace std::chrono_literals;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(FileReaderTest, ReadsOnlyRegularFilesWithinTheLimit) {
  const std::string small = test::tempPath("reader-small.txt");
  writeFile(small, std::string("ab\0cd", 5));
  const std::string exact = test::tempPath("reader-exact.txt");
  writeFile(exact, std::string(64, 'x'));
  const std::string over = test::tempPath("reader-over.txt");
  writeFile(over, std::string(65, 'x'));
  const std::string empty = test::tempPath("reader-empty.txt");
  writeFile(empty, "");

  struct Case {
    const char* name;
    std::string path;
    FileReader::Result result;
    std::string text;
  };
  const Case cases[] = {
      {"bytes kept as they are", small, FileReader::Read, std::string("ab\0cd", 5)},
      {"exactly the limit", exact, FileReader::Read, std::string(64, 'x')},
      {"one byte over", over, FileReader::TooLarge, ""},
      {"empty file", empty, FileReader::Read, ""},
      {"missing file", test::tempPath("reader-none.txt"), FileReader::CannotOpen, ""},
      {"directory", test::tempPath(""), FileReader::CannotOpen, ""},
      {"NUL in the path", small + std::string(1, '\0') + "x", FileReader::CannotOpen, ""},
      {"device", "/dev/zero", FileReader::CannotOpen, ""},
  };
  for (const Case& c : cases) {
    std::string text = "stale";
    EXPECT_EQ(FileReader::readAll(c.path, 64, text), c.result) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
}

// A named pipe without a writer would block an ordinary open for ever: every
// reader of files must refuse it at once.
TEST(FileReaderTest, NamedPipeIsRefusedWithoutBlocking) {
  const std::string fifo = test::tempPath("reader.fifo");
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto results = std::async(std::launch::async, [&] {
    std::string text;
    LcApp app;
    Hex hex;
    return std::make_tuple(FileReader::readAll(fifo, 1024, text), app.openFromFile(fifo),
                           app.addHex("delta", fifo), hex.openFromFile(fifo));
  });
  if (results.wait_for(10s) != std::future_status::ready) {
    // Release the blocked reader so that the test can end.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    FAIL() << "a read of a named pipe blocked";
  }
  const auto [read, package, added, image] = results.get();
  EXPECT_EQ(read, FileReader::CannotOpen);
  EXPECT_EQ(package, LcApp::CannotOpen);
  EXPECT_EQ(added, LcApp::CannotOpen);
  EXPECT_EQ(image, Hex::CannotOpen);
  std::filesystem::remove(fifo);
}

}  // namespace
}  // namespace lc
