#include <gtest/gtest.h>

#include "util/Fs.h"

namespace {

struct PathCase {
  const char* path;
  const char* normalized;
  const char* baseNoExt;
  const char* baseWithExt;
};

const PathCase kCases[] = {
    {"", ".", ".", "."},
    {"/", "/", "", ""},
    {"a/", "a", "a", "a"},
    {"//a", "/a", "a", "a"},
    {"/./a", "/a", "a", "a"},
    {"D:\\dir\\file.hex", "D:/dir/file.hex", "file", "file.hex"},
    {"/a/b/../d", "/a/d", "d", "d"},
    {"a/./..", ".", ".", "."},
    {"a/../../b", "../b", "b", "b"},
    {"../../a", "../../a", "a", "a"},
    {"/..", "/", "", ""},
    {"./../a", "../a", "a", "a"},
    {"dir\\app.beta.hex", "dir/app.beta.hex", "app.beta", "app.beta.hex"},
    {"dir/.hidden", "dir/.hidden", ".hidden", ".hidden"},
    {"dir.d/file", "dir.d/file", "file", "file"},
    // Beyond the usual table: a ".." that becomes first after a fold, mixed
    // separators, and folding back to the root.
    {"a/b/../../..", "..", ".", ".."},
    {"x\\/y//z/", "x/y/z", "z", "z"},
    {"/a/../..", "/", "", ""},
    {"..\\a\\..\\..", "../..", ".", ".."},
};

TEST(Fs, NormalizeAndBaseNameTable) {
  for (const PathCase& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(lc::Fs::normalize(c.path), c.normalized);
    EXPECT_EQ(lc::Fs::baseName(c.path, false), c.baseNoExt);
    EXPECT_EQ(lc::Fs::baseName(c.path, true), c.baseWithExt);
  }
}

TEST(Fs, NormalizeIsIdempotent) {
  for (const PathCase& c : kCases) {
    std::string once = lc::Fs::normalize(c.path);
    EXPECT_EQ(lc::Fs::normalize(once), once) << c.path;
  }
}

}  // namespace
