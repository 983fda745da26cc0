// SPDX-License-Identifier: Apache-2.0
// The account store: paths, the chunked line reader, tags and the durable
// writer; then both updates byte for byte, and what they refuse.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "account_directory.h"
#include "account_store.h"
#include "line_reader.h"
#include "replacement_file.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;


// ---- make_file_path ---------------------------------------------------------

TEST(MakeFilePath, BuildsTheFourPaths) {
  const std::string dir(account_directory());
  EXPECT_EQ(dir, TEST_ACCOUNT_DIR);
  struct Case {
    int form;
    const char* owner;
    const char* suffix;
    std::string path;
  } cases[] = {
      {kPathFormOwner, nullptr, ".conf", dir + "/root.conf"},
      {kPathFormOwner, "alice", ".conf.new", dir + "/alice.conf.new"},
      {kPathFormOwner, "", ".conf", dir + "/.conf"},
      {kPathFormShared, nullptr, "status", dir + "/status"},
      {kPathFormShared, "alice", "status.new", dir + "/status.new"},
  };
  for (const Case& c : cases) {
    bool cut = true;
    EXPECT_EQ(make_file_path(c.form, c.owner, c.suffix, &cut), c.path);
    EXPECT_FALSE(cut) << c.path;
  }
}

TEST(MakeFilePath, CutsAt255BytesAndSaysSo) {
  const std::string prefix = std::string(account_directory()) + "/";
  const std::size_t room = kMaxPathBytes - prefix.size();  // 234 for the installed directory
  struct Case {
    std::size_t owner_length;
    const char* suffix;
    std::string kept_suffix;
    bool cut;
  } cases[] = {
      {room - 9, ".conf.new", ".conf.new", false},  // fits exactly
      {room - 8, ".conf.new", ".conf.ne", true},
      {room - 5, ".conf.new", ".conf", true},  // same string as the ".conf" path
      {room - 5, ".conf", ".conf", false},
      {room - 4, ".conf", ".con", true},
      {room, ".conf", "", true},  // no suffix at all
      {room, ".conf.new", "", true},
  };
  for (const Case& c : cases) {
    std::string owner(c.owner_length, 'u');
    bool cut = !c.cut;
    auto path = make_file_path(kPathFormOwner, owner.c_str(), c.suffix, &cut);
    EXPECT_EQ(path, prefix + owner + c.kept_suffix) << c.owner_length << c.suffix;
    EXPECT_EQ(cut, c.cut) << c.owner_length << c.suffix;
  }
  std::string longer(room + 40, 'v');
  EXPECT_EQ(make_file_path(kPathFormOwner, longer.c_str(), ".conf")->size(), kMaxPathBytes);
}

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

// ---- check_printer_name and file_write --------------------------------------

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
    int result = check_printer_name(c.printer, c.line, c.format);
    EXPECT_EQ(result == 0, c.match) << (c.line ? c.line : "(null)");
  }
  // A tag too long to format whole never matches its cut form.
  std::string name(600, 'p');
  std::string cut = "<" + name.substr(0, 509);
  EXPECT_NE(check_printer_name(name.c_str(), cut.c_str(), "<%s>"), 0);
}

TEST(FileWrite, WritesEverythingOrReportsTheFailure) {
  reset_account_dir();
  std::string path = account_path("out");
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  std::string big(200000, 'z');
  EXPECT_EQ(file_write(fd, "one\n", 4), 0);
  EXPECT_EQ(file_write(fd, big.data(), big.size()), 0);
  close(fd);
  EXPECT_EQ(read_file(path), "one\n" + big);

  fd = open(path.c_str(), O_RDONLY);  // the write fails
  errno = 0;
  EXPECT_NE(file_write(fd, "x\n", 2), 0);
  EXPECT_EQ(errno, EBADF);
  close(fd);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);  // fsync fails on a pipe
  errno = 0;
  EXPECT_NE(file_write(pipe_fds[1], "x\n", 2), 0);
  EXPECT_EQ(errno, EINVAL);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

// ---- The credential file and the status file ----------------------------------


const std::string kConf = "alice.conf";
const std::string kNew = "alice.conf.new";

struct Outcome {
  int result;
  StoreStep step;
  std::optional<std::string> file;
};

// One credential update that must succeed and leave `result`.
struct ConfCase {
  const char* what;
  std::string old;
  const char* printer;
  int kind;
  const char* id;  // null: remove
  const char* password;
  std::string result;
};

class StoreTest : public testing::Test {
 protected:
  void SetUp() override { reset_account_dir(); }

  // Runs one credential update (password == nullptr: remove) from `old`.
  static Outcome conf(const std::optional<std::string>& old, const char* printer, int kind,
                      const char* id = nullptr, const char* password = nullptr) {
    reset_account_dir();
    if (old) write_file(account_path(kConf), *old);
    StoreError error;
    int remove = password == nullptr ? 1 : 0;
    int result = save_account_conf(printer, "alice", id, password, remove, kind, &error);
    EXPECT_FALSE(file_exists(account_path(kNew))) << "replacement file left behind";
    return {result, error.step, read_file(account_path(kConf))};
  }

  static Outcome status(const std::optional<std::string>& old, const char* printer, int kind) {
    reset_account_dir();
    if (old) write_file(account_path("status"), *old, 0644);
    StoreError error;
    int result = save_account_status(printer, kind, &error);
    EXPECT_FALSE(file_exists(account_path("status.new"))) << "replacement file left behind";
    return {result, error.step, read_file(account_path("status"))};
  }

  static void expect_rewrites(const std::vector<ConfCase>& cases) {
    for (const ConfCase& c : cases) {
      Outcome out = conf(c.old, c.printer, c.kind, c.id, c.password);
      EXPECT_EQ(out.result, 0) << c.what;
      EXPECT_EQ(out.file, c.result) << c.what;
    }
  }
};

// Values of the worked example: ID/PIN as typed, U/P in Base64.
const std::string U = base64("alice"), P = base64("pw"), U2 = base64("bob"), P2 = base64("s3cret");
const std::string kExample =
    "<lp1>\nid=1111\npassword=2222\n</lp1>\n<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";
const std::string kLines1To4 = "<lp1>\nid=1111\npassword=2222\n</lp1>\n";
const std::string kLines5To8 = "<lp2>\nu_id=" + U + "\nu_password=" + P + "\n</lp2>\n";

TEST_F(StoreTest, CredentialWorkedExample) {
  const std::string set_2_lp1 =
      "<lp1>\nid=1111\npassword=2222\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8;
  expect_rewrites({
      {"set 2 lp1", kExample, "lp1", 2, "bob", "s3cret", set_2_lp1},
      {"set 2 lp2", kExample, "lp2", 2, "bob", "s3cret",
       kLines1To4 + "<lp2>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp2>\n"},
      {"set 1 lp2", kExample, "lp2", 1, "3333", "4444",
       kLines1To4 + "<lp2>\nu_id=" + U + "\nu_password=" + P + "\nid=3333\npassword=4444\n</lp2>\n"},
      {"set 3 lp3", kExample, "lp3", 3, "bob", "s3cret",
       kExample + "<lp3>\ns_id=" + U2 + "\ns_password=" + P2 + "\n</lp3>\n"},
      {"remove 1 lp1", kExample, "lp1", 1, nullptr, nullptr, kLines5To8},
      {"remove 2 lp2", kExample, "lp2", 2, nullptr, nullptr, kLines1To4},
      {"remove 3 lp1", kExample, "lp1", 3, nullptr, nullptr, kExample},
  });
  // From the result of "set 2 lp1", removing kind 1 keeps the tags.
  Outcome out = conf(set_2_lp1, "lp1", 1);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U2 + "\nu_password=" + P2 + "\n</lp1>\n" + kLines5To8);
}

TEST_F(StoreTest, CredentialEdgeCases) {
  expect_rewrites({
      {"new section goes last", "x\n<lp2>\nid=1\n</lp2>\n", "lp1", 1, "7", "8",
       "x\n<lp2>\nid=1\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"only the password line: rewritten, id added before the closing tag",
       "<lp1>\npassword=old\nx\n</lp1>\n", "lp1", 1, "7", "8", "<lp1>\npassword=8\nx\nid=7\n</lp1>\n"},
      {"partner added once, not to a second section", "<lp1>\nid=a\n</lp1>\n<lp1>\nid=b\n</lp1>\n",
       "lp1", 1, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\n</lp1>\n"},
      {"a key twice: both rewritten", "<lp1>\nid=a\nid=b\n</lp1>\n", "lp1", 1, "7", "8",
       "<lp1>\nid=7\nid=7\npassword=8\n</lp1>\n"},
      {"a key twice: both dropped", "<lp1>\nid=a\nid=b\nu_id=c\n</lp1>\n", "lp1", 1, nullptr, nullptr,
       "<lp1>\nu_id=c\n</lp1>\n"},
      {"keys outside the section stay", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\n</lp1>\n", "lp1", 1,
       "7", "8", "id=out\n<lp2>\nid=2\n</lp2>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"remove from a section with no closing tag", "<lp1>\nid=1\nx\n", "lp1", 1, nullptr, nullptr,
       "x\n"},
      {"keys outside the section stay on remove", "id=out\n<lp2>\nid=2\n</lp2>\n", "lp1", 1,
       nullptr, nullptr, "id=out\n<lp2>\nid=2\n</lp2>\n"},
      {"remove leaves a comment behind", "<lp0>\n</lp0>\n<lp1>\nid=1\n# note\npassword=2\n</lp1>\n<lp2>\n</lp2>\n",
       "lp1", 1, nullptr, nullptr, "<lp0>\n</lp0>\n# note\n<lp2>\n</lp2>\n"},
      {"empty file, set", "", "lp1", 1, "7", "8", "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"empty file, remove", "", "lp1", 1, nullptr, nullptr, ""},
      {"bare tags removed whole", "a\n<lp1>\n</lp1>\nb\n", "lp1", 3, nullptr, nullptr, "a\nb\n"},
      {"CR LF and lone CR become LF", "a\r\nb\rc\n", "lp1", 1, nullptr, nullptr, "a\nb\nc\n"},
      {"LF LF merges, CR LF blank stays", "a\n\nb\r\n\r\nc\n", "lp1", 1, nullptr, nullptr, "a\nb\n\nc\n"},
      {"three LF make one blank line", "a\n\n\nb\n", "lp1", 1, nullptr, nullptr, "a\n\nb\n"},
      {"tag in other case is another printer", "<LP1>\nid=1\n</LP1>\n", "lp1", 1, "7", "8",
       "<LP1>\nid=1\n</LP1>\n<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"tag with trailing blank is ordinary", "<lp1> \nid=1\n</lp1>\n", "lp1", 1, "7", "8",
       "<lp1> \nid=1\nid=7\npassword=8\n</lp1>\n"},
      {"CR LF ended tag is a tag", "<lp1>\r\nid=1\r\n</lp1>\r\n", "lp1", 1, "7", "8",
       "<lp1>\nid=7\npassword=8\n</lp1>\n"},
      {"section twice: pair inserted once", "<lp1>\n</lp1>\n<lp1>\nid=1\n</lp1>\n", "lp1", 1, "7",
       "8", "<lp1>\nid=7\npassword=8\n</lp1>\n<lp1>\nid=7\n</lp1>\n"},
      {"closing tag alone gets the pair", "x\n</lp1>\n", "lp1", 1, "7", "8",
       "x\nid=7\npassword=8\n</lp1>\n"},
      {"other printer's tags inside the section", "<lp1>\n<lp2>\nid=1\n</lp2>\n</lp1>\n", "lp1", 1,
       "7", "8", "<lp1>\n<lp2>\nid=7\n</lp2>\npassword=8\n</lp1>\n"},
      {"empty value", "", "lp1", 1, "7", "", "<lp1>\nid=7\npassword=\n</lp1>\n"},
      {"last line without a break is kept", "<lp2>\n</lp2>\ntail", "lp1", 1, nullptr, nullptr,
       "<lp2>\n</lp2>\ntail\n"},
      {"zero bytes after the last break add nothing", "a\n\0\0"s, "lp1", 1, nullptr, nullptr, "a\n"},
      {"long line copied whole", std::string(1500, 'L') + "\n", "lp1", 1, nullptr, nullptr,
       std::string(1500, 'L') + "\n"},
  });
}

TEST_F(StoreTest, NewCredentialFileHoldsOneSectionWithMode0600) {
  Outcome out = conf(std::nullopt, "lp1", 2, "alice", "pw");
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.file, "<lp1>\nu_id=" + U + "\nu_password=" + P + "\n</lp1>\n");
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // The new file takes 0600 whatever the old one had.
  write_file(account_path(kConf), "x\n", 0644);
  ASSERT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1), 0);
  EXPECT_EQ(file_mode(account_path(kConf)), 0600u);

  // Root's credentials are filed under "root".
  ASSERT_EQ(save_account_conf("lp1", nullptr, "1", "2", 0, 1), 0);
  EXPECT_EQ(read_file(account_path("root.conf")), "<lp1>\nid=1\npassword=2\n</lp1>\n");
}

TEST_F(StoreTest, RefusedUpdatesTouchNothing) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* printer;
    int kind;
    const char* id;
    const char* password;
    StoreStep step;
  } cases[] = {
      {"remove without a file", std::nullopt, "lp1", 2, nullptr, nullptr, StoreStep::kNothingToRemove},
      {"null printer", "x\n", nullptr, 1, "1", "2", StoreStep::kArguments},
      {"kind out of range", "x\n", "lp1", 4, "1", "2", StoreStep::kArguments},
      {"line break in a typed ID", "x\n", "lp1", 1, "12\r", "2", StoreStep::kArguments},
      {"line break in a printer name", "x\n", "lp\n1", 1, "1", "2", StoreStep::kArguments},
      {"a tag over 510 bytes", "x\n", nullptr, 1, "1", "2", StoreStep::kLineTooLong},
      {"set into a section with no closing tag", "<lp1>\nid=1\n", "lp1", 1, "7", "8",
       StoreStep::kUnclosedSection},
      {"a second section with no closing tag", "<lp1>\n</lp1>\n<lp1>\n", "lp1", 2, "7", "8",
       StoreStep::kUnclosedSection},
  };
  const std::string long_name(520, 'p');
  for (Case& c : cases) {
    if (c.step == StoreStep::kLineTooLong) c.printer = long_name.c_str();
    Outcome out = conf(c.old, c.printer, c.kind, c.id, c.password);
    EXPECT_EQ(out.result, 1) << c.what;
    EXPECT_EQ(out.step, c.step) << c.what;
    EXPECT_EQ(out.file, c.old) << c.what;
  }
}

TEST_F(StoreTest, ExistingReplacementFileBlocksEveryUpdateAndStays) {
  write_file(account_path(kConf), kExample);
  write_file(account_path(kNew), "someone else's\n");
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  write_file(account_path("status.new"), "in progress\n", 0644);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kCreate);
  EXPECT_EQ(error.error, EEXIST);
  EXPECT_EQ(error.path, account_path(kNew));
  EXPECT_EQ(save_account_conf("lp1", "alice", nullptr, nullptr, 1, 1), 1);
  EXPECT_EQ(save_account_status("lp1", 2, &error), 1);
  EXPECT_EQ(error.path, account_path("status.new"));
  EXPECT_EQ(read_file(account_path(kConf)), kExample);
  EXPECT_EQ(read_file(account_path(kNew)), "someone else's\n");
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  EXPECT_EQ(read_file(account_path("status.new")), "in progress\n");
}

TEST_F(StoreTest, CutPathsAreNeverUsed) {
  const std::size_t room = kMaxPathBytes - account_directory().size() - 1;
  for (std::size_t length : {room - 8, room - 5, room, room + 20}) {
    reset_account_dir();
    std::string owner(length, 'o');
    StoreError error;
    EXPECT_EQ(save_account_conf("lp1", owner.c_str(), "1", "2", 0, 1, &error), 1) << length;
    EXPECT_EQ(error.step, StoreStep::kPathTooLong);
    EXPECT_EQ(error.error, ENAMETOOLONG);
  }
  EXPECT_TRUE(account_dir_entries().empty());  // nothing was created
}

TEST_F(StoreTest, OldFilesThatCannotBeReadAreNotReplaced) {
  // A link is refused rather than followed.
  write_file(account_path("target"), "secret\n");
  ASSERT_EQ(symlink("target", account_path(kConf).c_str()), 0);
  StoreError error;
  EXPECT_EQ(save_account_conf("lp1", "alice", "1", "2", 0, 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  ASSERT_EQ(symlink("target", account_path("status").c_str()), 0);
  EXPECT_EQ(save_account_status("lp1", 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kNotRegularFile);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));

  // A file its owner may not read: run the update without root's override.
  // (A status file that is not public is refused before it is opened.)
  reset_account_dir();
  write_file(account_path(kConf), kExample, 0000);
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0000);
  chmod(TEST_ACCOUNT_DIR, 01777);
  if (getuid() == 0) {  // the files are the child's own
    ASSERT_EQ(chown(account_path(kConf).c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(account_path("status").c_str(), 65534, 65534), 0);
  }
  pid_t child = fork();
  if (child == 0) {
    if (getuid() == 0 && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(99);
    StoreError e1, e2;
    int a = save_account_conf("lp1", "alice", "1", "2", 0, 1, &e1);
    int b = save_account_status("lp1", 1, &e2);
    bool ok = a == 1 && e1.step == StoreStep::kOpen && e1.error == EACCES && b == 1 &&
              e2.step == StoreStep::kNotReadableByAll;
    _exit(ok ? 0 : 1);
  }
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  chmod(account_path(kConf).c_str(), 0600);
  EXPECT_EQ(read_file(account_path(kConf)), kExample);
  EXPECT_FALSE(file_exists(account_path(kNew)));
  EXPECT_FALSE(file_exists(account_path("status.new")));
}

TEST_F(StoreTest, StatusWorkedExamplesAndEdgeCases) {
  struct Case {
    const char* what;
    std::optional<std::string> old;
    const char* printer;
    int kind;
    std::string result;
  } cases[] = {
      {"-eu lp2", "<lp1>ON</lp1>\n<lp2>OFF</lp2>\n", "lp2", 2, "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n"},
      {"no file", std::nullopt, "lp1", 0, "<lp1>OFF</lp1>\n"},
      {"lower case is not a status line", "<lp1>on</lp1>\n", "lp1", 0,
       "<lp1>on</lp1>\n<lp1>OFF</lp1>\n"},
      {"every status line replaced", "<lp1>ON</lp1>\nlp1 ON\n<lp1>U_ON</lp1>\n", "lp1", 0,
       "<lp1>OFF</lp1>\nlp1 ON\n<lp1>OFF</lp1>\n"},
      {"prefix printer name", "<lp10>ON</lp10>\n", "lp1", 0, "<lp10>ON</lp10>\n<lp1>OFF</lp1>\n"},
      {"lp never matches lp1", "<lp1>ON</lp1>\n", "lp", 1, "<lp1>ON</lp1>\n<lp>ON</lp>\n"},
      {"same value rewrites the same", "<lp1>ON</lp1>\r\n", "lp1", 1, "<lp1>ON</lp1>\n"},
      {"kind 1 is ON", "", "lp1", 1, "<lp1>ON</lp1>\n"},
      {"other kinds are OFF", "", "lp1", 7, "<lp1>OFF</lp1>\n"},
      {"endings normalised", "a\r\nb\rc\n\rd\n\ne\r\n\r\nf", "lp1", 1,
       "a\nb\nc\nd\ne\n\nf\n<lp1>ON</lp1>\n"},
      {"bare tag and odd lines copied", "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n", "lp1", 2,
       "<lp1>\nx<lp1>ON</lp1>\n<lp1>ON</lp1> \n<lp1>U_ON</lp1>\n"},
      {"long line copied whole", std::string(700, 's') + "\n<lp1>ON</lp1>\n", "lp1", 2,
       std::string(700, 's') + "\n<lp1>U_ON</lp1>\n"},
  };
  for (const Case& c : cases) {
    Outcome out = status(c.old, c.printer, c.kind);
    EXPECT_EQ(out.result, 0) << c.what;
    EXPECT_EQ(out.file, c.result) << c.what;
  }
}

TEST_F(StoreTest, StatusFileIsReadableByAllWhateverTheUmask) {
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  for (mode_t mask : {022, 077, 0777}) {
    mode_t old = umask(mask);
    int result = save_account_status("lp1", 1);
    umask(old);
    ASSERT_EQ(result, 0) << mask;
    EXPECT_EQ(file_mode(account_path("status")), 0644u) << mask;
  }

  std::string long_name(510, 'n');
  StoreError error;
  EXPECT_EQ(save_account_status(long_name.c_str(), 1, &error), 1);
  EXPECT_EQ(error.step, StoreStep::kLineTooLong);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
}

}  // namespace
