// SPDX-License-Identifier: Apache-2.0
// The model of an account file: cutting it into lines by the ending rules,
// across the 512-byte chunks they respect, and reading it with a bound.
#include "account_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::string_literals;

// The lines of a file, read from disk; whole: whether writing them back
// gives the same bytes.
std::vector<std::string> lines_of_file(const std::string& bytes, bool* whole = nullptr) {
  std::string path = account_path("lines");
  write_file(path, bytes);
  int fd = open(path.c_str(), O_RDONLY);
  AccountText text;
  StoreError error;
  EXPECT_TRUE(AccountText::read(fd, path, FileKind::kCredentials, &text, error));
  close(fd);
  std::vector<std::string> lines;
  for (const AccountLine& line : text.lines()) lines.emplace_back(text.text(line));
  if (whole != nullptr) *whole = text.same_as_read();
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
    bool same = false;  // written back, the lines give the same bytes
  } cases[] = {
      {"", {}, true},
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
      {"\nab\n", {"", "ab"}, true},
      {"a\nlast", {"a", "last"}},  // a last line without a line break is kept
      {"a\n\0\0\0"s, {"a"}},       // zero bytes after the last break add nothing
      // Across the chunk boundary: CR as byte 512 and LF as byte 513 are two
      // endings (an empty line between), the same pair inside a chunk one;
      // 0xFF as byte 512 takes the chunk's trailing zero, not the next byte.
      {a511 + "\r\nnext\n", {a511, "", "next"}},
      {a511 + "\n\nnext\n", {a511, "", "next"}, true},  // the same with line feeds only
      {std::string(500, 'a') + "\r\nnext\n", {std::string(500, 'a'), "next"}},
      {a511 + "\xffxy\n", {a511, "xy"}},
      {std::string(600, 'x') + "\nsecond\n", {std::string(600, 'x'), "second"}, true},
      // Line feeds are looked for 64 bytes at a time: a pair or a run across
      // such a boundary (bytes 64 and 65) is read as anywhere in a chunk.
      {std::string(63, 'a') + "\n\nnext\n", {std::string(63, 'a'), "next"}},
      {std::string(62, 'a') + "\n\n\nb\n", {std::string(62, 'a'), "", "b"}},
      {"a\n" + std::string(100000, 'y') + "\nb", {"a", std::string(100000, 'y'), "b"}},
      // A zero byte ends the text of each chunk a line spans, not the line.
      {a511 + "\0"s + "cd\n", {a511 + "cd"}},
      {std::string(510, 'a') + "\0b"s + "cd\n", {std::string(510, 'a') + "cd"}},
  };
  for (const Case& c : cases) {
    bool same = false;
    EXPECT_EQ(lines_of_file(c.file, &same), c.lines)
        << testing::PrintToString(c.file.substr(0, 40));
    EXPECT_EQ(same, c.same) << testing::PrintToString(c.file.substr(0, 40));
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

TEST_F(LineReader, ReportsReadErrorsAndFilesOverTheBound) {
  int dir = open(test_account_dir().c_str(), O_RDONLY | O_DIRECTORY);
  StoreError error;
  AccountText text;
  EXPECT_FALSE(AccountText::read(dir, "dir", FileKind::kCredentials, &text, error));
  EXPECT_EQ(error.step, StoreStep::kRead);
  EXPECT_EQ(error.error, EISDIR);
  close(dir);

  // A sparse file over the bound is refused before a byte is read.
  std::string path = account_path("lines");
  write_file(path, "a\nb\nc\n");
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 40), 0);
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_FALSE(AccountText::read(fd, path, FileKind::kCredentials, &text, error));
  EXPECT_EQ(error.step, StoreStep::kTooLarge);
  EXPECT_EQ(error.size, std::size_t{1} << 40);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
  close(fd);
}

// What comes past the size found when the read began (from a file that
// grows; here a pipe, whose size is none) is read too, up to the bound.
TEST_F(LineReader, ReadsWhatComesPastTheSizeFoundUpToTheBound) {
  for (const std::size_t size : {std::size_t{10000}, kMaxFileBytes + 1}) {
    std::string bytes(size, 'a');
    for (std::size_t i = 99; i < size; i += 100) bytes[i] = '\n';
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
      for (std::size_t done = 0; done < size;) done += write(ends[1], &bytes[done], size - done);
      close(ends[1]);
    });
    AccountText text;
    StoreError error;
    const bool read = AccountText::read(ends[0], "pipe", FileKind::kCredentials, &text, error);
    writer.join();
    close(ends[0]);
    EXPECT_EQ(read, size <= kMaxFileBytes) << size;
    EXPECT_EQ(read ? text.lines().size() : error.size, read ? size / 100 : size) << size;
  }
}

}  // namespace
