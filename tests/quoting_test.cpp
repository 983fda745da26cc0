// SPDX-License-Identifier: Apache-2.0
// Names as a terminal shows them: what must be escaped, and that bash reads
// every quoted form back as the same bytes.
#include "quoting.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

namespace {

// What bash makes of a word, as a shell a user pastes into would.
std::string as_bash_reads(const std::string& word) {
  std::string script = "printf %s " + word, command = "bash -c '";
  for (char c : script) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
  command += "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "(no bash)";
  std::string out;
  char buffer[256];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(Quoting, EscapesWhatATerminalOrASplitWouldMisread) {
  struct Case {
    std::string name;
    bool blank_free;
    std::string shown;
  } cases[] = {
      {"lp1", false, "lp1"},
      {"büro", false, "büro"},
      {"my queue", false, "'my queue'"},
      {"my queue", true, "$'my\\x20queue'"},
      {"it's", false, "'it'\\''s'"},
      {"x'$(id) ", true, "$'x\\x27$(id)\\x20'"},  // never \' inside $'...'
      {"a\\b\x1b[2J", false, "$'a\\\\b\\e[2J'"},
      {"\xff\xfe", false, "$'\\xFF\\xFE'"},
      {"a\xc2\x85", false, "$'a\\xC2\\x85'"},                      // C1: NEL
      {"a\xc2\xa0z", false, "$'a\\xC2\\xA0z'"},                    // U+00A0 no-break space
      {"a\xe2\x80\x83z", false, "$'a\\xE2\\x80\\x83z'"},           // U+2003 em space
      {"a\xd8\x9cz", false, "$'a\\xD8\\x9Cz'"},                    // U+061C Arabic letter mark
      {"a\xe2\x81\xa0z", false, "$'a\\xE2\\x81\\xA0z'"},           // U+2060 word joiner
      {"a\xc2\xadz", false, "$'a\\xC2\\xADz'"},                    // U+00AD soft hyphen
      {"a\xe3\x80\x80z", false, "$'a\\xE3\\x80\\x80z'"},           // U+3000 ideographic space
      {"a\xe2\x80\xa9z", false, "$'a\\xE2\\x80\\xA9z'"},           // U+2029 paragraph separator
      {"a\xf3\xa0\x80\x81z", false, "$'a\\xF3\\xA0\\x80\\x81z'"},  // U+E0001 language tag
      {"a\xe2\x80\x8fz", false, "$'a\\xE2\\x80\\x8Fz'"},           // U+200F right-to-left mark
      {"\xe5\x8d\xb0\xe5\x88\xb7", false, "\xe5\x8d\xb0\xe5\x88\xb7"},  // CJK stays as it is
  };
  for (const Case& c : cases) {
    const std::string shown = quote_name(c.name, c.blank_free);
    EXPECT_EQ(shown, c.shown) << c.name;
    EXPECT_EQ(as_bash_reads(shown), c.name) << shown;
  }
}

}  // namespace
