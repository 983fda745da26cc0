// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed text to bounded UTF-8, by the locale.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "text_conversion.h"

namespace {

// Sets LC_CTYPE and LANG for one case (null: unset); restores on scope exit.
class Locale {
 public:
  Locale(const char* lc_ctype, const char* lang) {
    save("LC_CTYPE", saved_ctype_);
    save("LANG", saved_lang_);
    set("LC_CTYPE", lc_ctype);
    set("LANG", lang);
  }
  ~Locale() {
    set("LC_CTYPE", saved_ctype_ ? saved_ctype_->c_str() : nullptr);
    set("LANG", saved_lang_ ? saved_lang_->c_str() : nullptr);
  }

 private:
  static void save(const char* name, std::optional<std::string>& slot) {
    if (const char* v = std::getenv(name)) slot = v;
  }
  static void set(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> saved_ctype_, saved_lang_;
};

TEST(GetLang, FollowsLcCtypeThenLang) {
  struct Case {
    const char* lc_ctype;
    const char* lang;
    int code;  // the documented language code
  } cases[] = {
      {"en_US.UTF-8", nullptr, 3}, {"EN_us", nullptr, 3},   {"en_GB", nullptr, 2},
      {"zh_HK", nullptr, 0},       {"zh_tw.Big5", nullptr, 9}, {"korean", nullptr, 10},
      {"zh_CN.GB18030", nullptr, 8}, {"ja_JP.UTF-8", nullptr, 1}, {"fr_FR", nullptr, 4},
      {"it", nullptr, 5},          {"de_DE", nullptr, 6},     {"es_ES", nullptr, 7},
      {nullptr, "ja_JP.eucJP", 1}, {"", "ja_JP.UTF-8", 0},  // empty LC_CTYPE still counts
      {nullptr, nullptr, 0},       {"C", "ja_JP", 0},
  };
  for (const Case& c : cases) {
    Locale locale(c.lc_ctype, c.lang);
    EXPECT_EQ(static_cast<int>(GetLang()), c.code) << (c.lc_ctype ? c.lc_ctype : "(unset)") << " / "
                                 << (c.lang ? c.lang : "(unset)");
  }
}

TEST(ConvertInputString, TriesTheLocalesCandidatesInOrder) {
  struct Case {
    const char* what;
    const char* lang;
    std::string input;
    int bound;
    std::string output;
  } cases[] = {
      {"EUC-JP under ja", "ja_JP.eucJP", "\xC6\xFC\xCB\xDC", 32, "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"UTF-8 passes under ja", "ja_JP.eucJP", "\xE6\x97\xA5", 32, "\xE6\x97\xA5"},
      {"Latin-1 cafe under code 0", "C", "caf\xE9", 32, "caf\xC3\xA9"},
      {"E9 E9 is EUC-JP before LATIN1", "C", "\xE9\xE9", 32, "\xE8\x9C\x91"},
      {"invalid in every candidate of ja", "ja_JP", "\xFF\xFF", 32, ""},
      {"empty input", "C", "", 32, ""},
      {"40 letters cut to 32", "C", std::string(40, 'a'), 32, std::string(32, 'a')},
      {"bound 7: eight letters", "C", "abcdefgh", 7, "abcdefg"},
      {"bound 7: 6 + 2-byte drops it", "C", "abcdef\xC3\xA9", 7, "abcdef"},
      {"bound 7: 5 + 2-byte fits", "C", "abcde\xC3\xA9", 7, "abcde\xC3\xA9"},
      {"bound 7: 5 + 3-byte drops it", "C", "abcde\xE2\x82\xAC", 7, "abcde"},
      {"bound 7: 4 + 3-byte fits", "C", "abcd\xE2\x82\xAC", 7, "abcd\xE2\x82\xAC"},
      {"bound 32: 31 + 2-byte drops it", "C", std::string(31, 'a') + "\xC3\xA9", 32, std::string(31, 'a')},
      {"bound 32: 30 + 2-byte fits", "C", std::string(30, 'a') + "\xC3\xA9", 32,
       std::string(30, 'a') + "\xC3\xA9"},
      {"bound 32: 30 + 3-byte drops it", "C", std::string(30, 'a') + "\xE2\x82\xAC", 32,
       std::string(30, 'a')},
      {"bound 32: 29 + 3-byte fits", "C", std::string(29, 'a') + "\xE2\x82\xAC", 32,
       std::string(29, 'a') + "\xE2\x82\xAC"},
      {"Korean from CP949", "ko_KR", "\xB0\xA1", 32, "\xEA\xB0\x80"},
      {"Simplified Chinese from EUC-CN", "zh_CN", "\xC4\xE3", 32, "\xE4\xBD\xA0"},
  };
  for (const Case& c : cases) {
    Locale locale(nullptr, c.lang);
    char out[40];
    std::fill(std::begin(out), std::end(out), 'X');
    int length = convertInputString(c.input.c_str(), c.bound, out);
    EXPECT_EQ(std::string(out), c.output) << c.what;
    EXPECT_EQ(length, static_cast<int>(c.output.size())) << c.what;
  }
}

TEST(ConvertInputString, MissingArgumentsWriteNothing) {
  char out[8] = "keep";
  EXPECT_EQ(convertInputString(nullptr, 7, out), 0);
  EXPECT_EQ(convertInputString("abc", 0, out), 0);
  EXPECT_EQ(convertInputString("abc", -1, out), 0);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(convertInputString("abc", 7, nullptr), 0);
}

TEST(ConvertEncoding, FailsACandidateCleanly) {
  char out[8] = "keep";
  EXPECT_FALSE(convert_encoding("NO-SUCH-ENCODING", "UTF-8", "abc", out, 7));
  EXPECT_STREQ(out, "");
  std::strcpy(out, "keep");
  EXPECT_FALSE(convert_encoding(nullptr, "UTF-8", "abc", out, 7));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(convert_encoding("UTF-8", "UTF-8", "abc", nullptr, 7));
  // Running out of room is success with the whole characters that fit.
  EXPECT_TRUE(convert_encoding("UTF-8", "UTF-8", "ab\xC3\xA9", out, 3));
  EXPECT_STREQ(out, "ab");
  EXPECT_FALSE(convert_encoding("UTF-8", "UTF-8", "ab\xFF", out, 7));
  EXPECT_STREQ(out, "");
}

TEST(CheckEnter, CutsOnCharacterBoundaries) {
  struct Case {
    std::string text;
    int bound;
    std::string result;
  } cases[] = {
      {"abcdefgh", 7, "abcdefg"},
      {"\xC3\xA9\xC3\xA9", 3, "\xC3\xA9"},
      {"abcde\xE2\x82\xAC", 7, "abcde"},
      {"ab\xF0\x9F\x98\x80", 6, "ab\xF0\x9F\x98\x80"},
      {"ab\xF0\x9F", 7, "ab"},     // a lead byte announcing more than the text holds
      {"\x80\x80x", 2, "\x80\x80"},  // stray continuation bytes count one each
      {"", 7, ""},
      {"abc", 0, ""},
  };
  for (const Case& c : cases) {
    std::string buffer = c.text;
    EXPECT_EQ(CheckEnter(buffer.data(), c.bound), static_cast<int>(c.result.size()));
    EXPECT_EQ(std::string(buffer.c_str()), c.result);
  }
  EXPECT_EQ(CheckEnter(nullptr, 7), 0);
}

}  // namespace
