// SPDX-License-Identifier: Apache-2.0
// The account files' lines: which are a queue's tags and status lines, and
// the lines the tool writes, never cut.
#include "account_format.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace {

TEST(AccountFormat, TagsAndStatusLinesMatchWholeAndInOneCase) {
  const std::string q600(600, 'p');
  struct Case {
    std::string line;
    std::string queue;
    bool opening, closing, status;
  } cases[] = {
      {"<lp1>", "lp1", true, false, false},
      {"</lp1>", "lp1", false, true, false},
      {"<LP1>", "lp1", false, false, false},
      {"<lp1> ", "lp1", false, false, false},
      {"<lp10>", "lp1", false, false, false},
      {"<lp1>ON</lp1>", "lp1", false, false, true},
      {"<lp1>U_ON</lp1>", "lp1", false, false, true},
      {"<lp1>OFF</lp1>", "lp1", false, false, true},
      {"<lp1>on</lp1>", "lp1", false, false, false},
      {"<lp1>ON</lp1> ", "lp1", false, false, false},
      {"<lp10>ON</lp10>", "lp1", false, false, false},
      {"lp1 ON", "lp1", false, false, false},
      // The length fixes the queue's: a name holding ">" is read as written.
      {"<a>b>ON</a>b>", "a>b", false, false, true},
      {"</lp1>", "/lp1", true, false, false},
      // A tag too long to write whole is never the queue's.
      {"<" + q600 + ">", q600, false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_opening_tag(c.line, c.queue), c.opening) << c.line.substr(0, 20);
    EXPECT_EQ(is_closing_tag(c.line, c.queue), c.closing) << c.line.substr(0, 20);
    EXPECT_EQ(is_status_line_of(c.line, c.queue), c.status) << c.line.substr(0, 20);
  }
}

// A driver reads no section from a name that is empty or holds "<" or ">",
// wherever it stands among the name's bytes; its neighbours are no bracket.
TEST(AccountFormat, SectionTagsHaveNamesWithoutAngleBrackets) {
  struct Case {
    std::string line;
    std::optional<std::string> name;
    bool closing = false;
  } cases[] = {
      {"<lp1>", "lp1"},
      {"</lp1>", "lp1", true},
      {"<//x>", "/x", true},
      {"<>", std::nullopt},
      {"</>", std::nullopt},
      {"<a<b>", std::nullopt},
      {"<abcdefg>hijklmno>", std::nullopt},      // in the first eight bytes
      {"<abcdefghijklmn<p>", std::nullopt},      // in the second eight
      {"<abcdefghij>k>", std::nullopt},          // past the last eight
      {"<:;=?.,|abcd;=?:>", ":;=?.,|abcd;=?:"},  // bytes next to "<" and ">"
  };
  for (const Case& c : cases) {
    const std::optional<SectionTag> tag = section_tag(c.line);
    EXPECT_EQ(tag.has_value(), c.name.has_value()) << c.line;
    if (!tag || !c.name) continue;
    EXPECT_EQ(tag->name, *c.name) << c.line;
    EXPECT_EQ(tag->closing, c.closing) << c.line;
  }
}

TEST(AccountFormat, LinesAreFormattedWholeOrNotAtAll) {
  SecretText line;  // the text; the LF comes when the file is written
  ASSERT_TRUE(format_status_line("lp1", kUserOn, &line));
  EXPECT_EQ(line.view(), "<lp1>U_ON</lp1>");
  ASSERT_TRUE(format_key_line(kSecure, KeyPart::kPassword, "cHc=", &line));
  EXPECT_EQ(line.view(), "s_password=cHc=");
  ASSERT_TRUE(format_closing_tag(std::string(506, 'q'), &line));  // 510 bytes with its LF
  EXPECT_FALSE(format_closing_tag(std::string(507, 'q'), &line));
  EXPECT_FALSE(format_status_line(std::string(251, 'q'), kOff, &line));
}

}  // namespace
