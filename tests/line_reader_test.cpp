// SPDX-License-Identifier: Apache-2.0
// The line reader: cutting files into lines by the ending rules, across the
// 512-byte chunks it reads them in.
#include "line_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::string_literals;

std::vector<std::string> lines_of_file(const std::string& bytes, bool* whole = nullptr) {
  std::string path = account_path("lines");
  write_file(path, bytes);
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<std::string> lines;
  StoreError error;
  bool read = read_lines(
      fd, path,
      [&](SecretText& line) {
        lines.emplace_back(line.view());
        return true;
      },
      &error);
  close(fd);
  if (whole != nullptr) *whole = read;
  return lines;
}

class LineReader : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }
};

TEST_F(LineReader, CutsLinesByTheEndingRules) {
  const std::string a511(511, 'a');
  struct Case {
    std::string file;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"ab\r\ncd\n", {"ab", "cd"}},
      {"ab\n\ncd\n", {"ab", "cd"}},  // LF LF is one ending: the blank line vanishes
      {"ab\n\rcd\n", {"ab", "cd"}},
      {"ab\r\rcd\n", {"ab", "cd"}},
      {"ab\rcd\n", {"ab", "cd"}},          // lone CR
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},  // a blank line survives CR LF endings
      {"ab\n\n\ncd\n", {"ab", "", "cd"}},
      {"ab\xff"
       "xcd\n",
       {"ab", "cd"}},                   // 0xFF takes the next byte, whatever it is
      {"ab\0cd\nef\n"s, {"ab", "ef"}},  // text ends at a zero byte
      {"\nab\n", {"", "ab"}},
      {"a\nlast", {"a", "last"}},  // a last line without a line break is kept
      {"a\n\0\0\0"s, {"a"}},       // zero bytes after the last break add nothing
      // Across the chunk boundary: CR as byte 512 and LF as byte 513 are two
      // endings (an empty line between), the same pair inside a chunk one;
      // 0xFF as byte 512 takes the chunk's trailing zero, not the next byte.
      {a511 + "\r\nnext\n", {a511, "", "next"}},
      {std::string(500, 'a') + "\r\nnext\n", {std::string(500, 'a'), "next"}},
      {a511 + "\xffxy\n", {a511, "xy"}},
      {std::string(600, 'x') + "\nsecond\n", {std::string(600, 'x'), "second"}},
      {"a\n" + std::string(100000, 'y') + "\nb", {"a", std::string(100000, 'y'), "b"}},
  };
  for (const Case& c : cases) {
    bool whole = false;
    EXPECT_EQ(lines_of_file(c.file, &whole), c.lines)
        << testing::PrintToString(c.file.substr(0, 40));
    EXPECT_TRUE(whole);
  }
}

TEST_F(LineReader, RunsOfLineBreaksMakeEveryOtherAnEmptyLine) {
  for (int run = 1; run <= 6; ++run) {
    for (char brk : {'\n', '\r'}) {
      std::vector<std::string> expected{"ab"};
      for (int i = 0; i < (run + 1) / 2 - 1; ++i) expected.emplace_back("");
      expected.emplace_back("cd");
      EXPECT_EQ(lines_of_file("ab" + std::string(run, brk) + "cd\n"), expected)
          << run << " x " << int(brk);
    }
  }
}

TEST_F(LineReader, ReportsReadErrorsAndHandlerStops) {
  int dir = open(TEST_ACCOUNT_DIR, O_RDONLY | O_DIRECTORY);
  StoreError error;
  EXPECT_FALSE(read_lines(
      dir, "dir", [](SecretText&) { return true; }, &error));
  EXPECT_EQ(error.step, StoreStep::kRead);
  EXPECT_EQ(error.error, EISDIR);
  close(dir);

  std::string path = account_path("lines");
  write_file(path, "a\nb\nc\n");
  int fd = open(path.c_str(), O_RDONLY);
  int seen = 0;
  EXPECT_FALSE(read_lines(
      fd, path, [&](SecretText&) { return ++seen != 2; }, &error));
  EXPECT_EQ(seen, 2);
  close(fd);
}

}  // namespace
