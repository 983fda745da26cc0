// SPDX-License-Identifier: Apache-2.0
// The line reader: cutting chunks into lines by the ending rules, the read
// loop over real files, and tag matching.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "line_reader.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

// ---- get_line_from_buffer ------------------------------------------------------

// A 513-byte chunk buffer holding bytes, zero behind them.
std::array<char, kChunkLength + 1> chunk_of(const std::string& bytes) {
  std::array<char, kChunkLength + 1> chunk{};
  bytes.copy(chunk.data(), std::min<std::size_t>(bytes.size(), kChunkLength));
  return chunk;
}

TEST(GetLineFromBuffer, CutsLinesByTheEndingRules) {
  struct Case {
    std::string chunk;
    int start;
    int result;
    std::string line;
  } cases[] = {
      {"ab\r\ncd\n", 0, 4, "ab"},
      {"ab\r\ncd\n", 4, 3, "cd"},
      {"ab\r\ncd\n", 7, -1, ""},  // only zero bytes up to the 512th
      {"ab\n\ncd\n", 0, 4, "ab"},  // LF LF is one ending
      {"ab\n\rcd\n", 0, 4, "ab"},
      {"ab\r\rcd\n", 0, 4, "ab"},
      {"ab\rcd\n", 0, 3, "ab"},  // lone CR
      {"ab\xff" "xcd\n", 0, 4, "ab"},  // 0xFF takes the next byte, whatever it is
      {"ab\xff" "xcd\n", 4, 3, "cd"},
      {"ab\0cd\n"s, 0, 6, "ab"},  // text ends at a zero byte; all six bytes consumed
      {"\nab\n", 0, 1, ""},
      {"abc", 0, -1, "abc"},
      {"abc", 600, -1, ""},  // start beyond the chunk appends nothing
  };
  for (const Case& c : cases) {
    auto chunk = chunk_of(c.chunk);
    SecretText pending;
    EXPECT_EQ(get_line_from_buffer(pending, chunk.data(), c.start, kChunkLength), c.result)
        << testing::PrintToString(c.chunk) << " from " << c.start;
    EXPECT_EQ(pending.view(), c.line) << testing::PrintToString(c.chunk) << " from " << c.start;
  }
}

TEST(GetLineFromBuffer, EndingAtTheChunksLastByteLooksAtItsTrailingZero) {
  std::string bytes(kChunkLength - 1, 'a');
  for (char ending : {'\n', '\r', '\xff'}) {
    auto chunk = chunk_of(bytes + ending);
    SecretText pending;
    int expected = ending == '\xff' ? kChunkLength + 1 : kChunkLength;
    EXPECT_EQ(get_line_from_buffer(pending, chunk.data(), 0, kChunkLength), expected);
    EXPECT_EQ(pending.size(), bytes.size());
  }
}

TEST(GetLineFromBuffer, ContinuesAPendingLine) {
  auto chunk = chunk_of("z\nrest");
  SecretText pending{std::string_view("xy")};
  EXPECT_EQ(get_line_from_buffer(pending, chunk.data(), 0, kChunkLength), 2);
  EXPECT_EQ(pending.view(), "xyz");
}

// ---- The read loop over real files ------------------------------------------

std::vector<std::string> lines_of_file(const std::string& bytes, ReadStatus* status = nullptr) {
  std::string path = account_path("lines");
  write_file(path, bytes);
  int fd = open(path.c_str(), O_RDONLY);
  std::vector<std::string> lines;
  ReadStatus result = read_account_lines(fd, [&](SecretText& line) {
    lines.emplace_back(line.view());
    return true;
  });
  close(fd);
  if (status != nullptr) *status = result;
  return lines;
}

class ReadLoop : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }
};

TEST_F(ReadLoop, SplitsFilesIntoLines) {
  struct Case {
    std::string file;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\n\r\nb\r\n", {"a", "", "b"}},  // a blank line survives CR LF endings
      {"a\n\nb\n", {"a", "b"}},            // ...but not LF endings
      {"ab\n\n\ncd\n", {"ab", "", "cd"}},
      {"a\nlast", {"a", "last"}},   // a last line without a line break is kept
      {"a\n\0\0\0"s, {"a"}},        // zero bytes after the last break add nothing
      {"ab\0cd\nef\n"s, {"ab", "ef"}},
  };
  for (const Case& c : cases) {
    ReadStatus status;
    EXPECT_EQ(lines_of_file(c.file, &status), c.lines) << testing::PrintToString(c.file);
    EXPECT_EQ(status, ReadStatus::kEnd);
  }
}

TEST_F(ReadLoop, RunsOfLineBreaksMakeEveryOtherAnEmptyLine) {
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

TEST_F(ReadLoop, CarriesLongLinesAcrossChunks) {
  const std::string long_line(600, 'x');
  EXPECT_EQ(lines_of_file(long_line + "\nsecond\n"), (std::vector<std::string>{long_line, "second"}));
  // The second chunk completes the 600-byte line after 88 bytes and its LF.
  auto chunk = chunk_of(std::string(88, 'x') + "\nsecond\n");
  SecretText pending{std::string_view(long_line.substr(0, 512))};
  EXPECT_EQ(get_line_from_buffer(pending, chunk.data(), 0, kChunkLength), 89);
  EXPECT_EQ(pending.view(), long_line);

  const std::string huge(100000, 'y');
  EXPECT_EQ(lines_of_file("a\n" + huge + "\nb"), (std::vector<std::string>{"a", huge, "b"}));
}

TEST_F(ReadLoop, NeverJoinsLineBreaksAcrossAChunkBoundary) {
  // CR as byte 512, LF as byte 513: the LF ends an empty line.
  std::string file = std::string(511, 'a') + "\r\nnext\n";
  EXPECT_EQ(lines_of_file(file), (std::vector<std::string>{std::string(511, 'a'), "", "next"}));
  // The same pair inside one chunk is a single ending.
  file = std::string(500, 'a') + "\r\nnext\n";
  EXPECT_EQ(lines_of_file(file), (std::vector<std::string>{std::string(500, 'a'), "next"}));
}

TEST_F(ReadLoop, ReportsReadErrorsAndHandlerStops) {
  int dir = open(TEST_ACCOUNT_DIR, O_RDONLY | O_DIRECTORY);
  errno = 0;
  EXPECT_EQ(read_account_lines(dir, [](SecretText&) { return true; }), ReadStatus::kReadError);
  EXPECT_EQ(errno, EISDIR);
  close(dir);

  std::string path = account_path("lines");
  write_file(path, "a\nb\nc\n");
  int fd = open(path.c_str(), O_RDONLY);
  int seen = 0;
  EXPECT_EQ(read_account_lines(fd, [&](SecretText&) { return ++seen != 2; }),
            ReadStatus::kStopped);
  EXPECT_EQ(seen, 2);
  close(fd);
}

// ---- check_printer_name ------------------------------------------------------

TEST(CheckPrinterName, MatchesWholeTagsExactly) {
  struct Case {
    const char* printer;
    const char* line;
    const char* format;
    bool match;
  } cases[] = {
      {"lp1", "<lp1>", "<%s>", true},   {"lp1", "</lp1>", "</%s>", true},
      {"lp1", "<LP1>", "<%s>", false},  {"lp1", "<lp1> ", "<%s>", false},
      {"lp1", "<lp10>", "<%s>", false}, {"lp1", "</lp1>", "<%s>", false},
      {nullptr, "<lp1>", "<%s>", false}, {"lp1", nullptr, "<%s>", false},
      {"lp1", "<lp1>", nullptr, false},
  };
  for (const Case& c : cases) {
    TagMatch result = check_printer_name(c.printer, c.line, c.format);
    EXPECT_EQ(result == TagMatch::kMatch, c.match) << (c.line ? c.line : "(null)");
  }
  // A tag too long to format whole never matches its cut form.
  std::string name(600, 'p');
  std::string cut = "<" + name.substr(0, 509);
  EXPECT_EQ(check_printer_name(name.c_str(), cut.c_str(), "<%s>"), TagMatch::kNoMatch);
}

}  // namespace
