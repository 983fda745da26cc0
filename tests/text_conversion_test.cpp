// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed text to bounded UTF-8, by the locale.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "text_conversion.h"

namespace {

// Sets LC_ALL, LC_CTYPE and LANG for one case (null: unset); restores them
// on scope exit.
class Locale {
 public:
  Locale(const char* lc_ctype, const char* lang, const char* lc_all = nullptr) {
    for (std::size_t i = 0; i < 3; ++i) {
      if (const char* v = std::getenv(kNames[i])) saved_[i] = v;
    }
    set("LC_ALL", lc_all);
    set("LC_CTYPE", lc_ctype);
    set("LANG", lang);
  }
  ~Locale() {
    for (std::size_t i = 0; i < 3; ++i) set(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
  }

 private:
  static constexpr const char* kNames[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  static void set(const char* name, const char* value) {
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  std::optional<std::string> saved_[3];
};

TEST(GetLang, FollowsLcAllThenLcCtypeThenLang) {
  struct Case {
    const char* lc_ctype;
    const char* lang;
    int code;  // the documented language code
    const char* lc_all = nullptr;
  } cases[] = {
      {"en_US.UTF-8", nullptr, 3}, {"EN_us", nullptr, 3},   {"en_GB", nullptr, 2},
      {"zh_HK", nullptr, 0},       {"zh_tw.Big5", nullptr, 9}, {"korean", nullptr, 10},
      {"zh_CN.GB18030", nullptr, 8}, {"ja_JP.UTF-8", nullptr, 1}, {"fr_FR", nullptr, 4},
      {"it", nullptr, 5},          {"de_DE", nullptr, 6},     {"es_ES", nullptr, 7},
      {nullptr, "ja_JP.eucJP", 1}, {"", "ja_JP.UTF-8", 0},  // empty LC_CTYPE still counts
      {nullptr, nullptr, 0},       {"C", "ja_JP", 0},
      {nullptr, "C", 1, "ja_JP.UTF-8"},  // LC_ALL overrides both
      {"", "ja_JP.UTF-8", 0, ""},        // an empty LC_ALL does not
  };
  for (const Case& c : cases) {
    Locale locale(c.lc_ctype, c.lang, c.lc_all);
    EXPECT_EQ(static_cast<int>(GetLang()), c.code) << (c.lc_ctype ? c.lc_ctype : "(unset)") << " / "
                                 << (c.lang ? c.lang : "(unset)");
  }
}

TEST(ConvertToUtf8, TriesUtf8TheLocalesCharsetThenItsLanguagesCandidates) {
  struct Case {
    const char* what;
    const char* lang;
    std::string input;
    std::optional<std::string> output;  // nullopt: no candidate takes it
    const char* lc_all = nullptr;
  } cases[] = {
      {"EUC-JP under ja", "ja_JP.eucJP", "\xC6\xFC\xCB\xDC", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"UTF-8 passes under ja", "ja_JP.eucJP", "\xE6\x97\xA5", "\xE6\x97\xA5"},
      {"Latin-1 cafe under code 0", "C", "caf\xE9", "caf\xC3\xA9"},
      {"E9 E9 is EUC-JP before LATIN1", nullptr, "\xE9\xE9", "\xE8\x9C\x91"},
      {"invalid in every candidate of ja", "ja_JP", "\xFF\xFF", std::nullopt},
      {"LC_ALL chooses the language", "C", "\xFF\xFF", std::nullopt, "ja_JP.UTF-8"},
      {"empty input", "C", "", ""},
      {"nothing is cut", "C", std::string(40, 'a'), std::string(40, 'a')},
      {"Korean from CP949", "ko_KR", "\xB0\xA1", "\xEA\xB0\x80"},
      {"Simplified Chinese from EUC-CN", "zh_CN", "\xC4\xE3", "\xE4\xBD\xA0"},
      {"the locale's Latin-1 before EUC-JP", "de_DE.ISO-8859-1", "J\xE4\xE4", "J\xC3\xA4\xC3\xA4"},
      {"the locale's KOI8-R", "ru_RU.KOI8-R", "\xE9\xD7\xC1\xCE",
       "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"},
      {"LC_ALL's EUC-KR over a UTF-8 LANG", "en_GB.UTF-8", "\xC7\xD1\xB1\xDB",
       "\xED\x95\x9C\xEA\xB8\x80", "ko_KR.EUC-KR"},
      {"an unknown codeset adds nothing", "xx_XX.NO-SUCH-SET", "\xE9\xE9", "\xE8\x9C\x91"},
  };
  for (const Case& c : cases) {
    Locale locale(nullptr, c.lang, c.lc_all);
    SecretText out;
    bool converted = convert_to_utf8(c.input.c_str(), &out);
    EXPECT_EQ(converted, c.output.has_value()) << c.what;
    EXPECT_EQ(std::string(out.view()), c.output.value_or("")) << c.what;
  }
}

TEST(ConvertEncoding, FailsACandidateCleanly) {
  SecretText out;
  EXPECT_FALSE(convert_encoding("NO-SUCH-ENCODING", "abc", &out));
  EXPECT_FALSE(convert_encoding("UTF-8", "ab\xFF", &out));
  EXPECT_FALSE(convert_encoding("UTF-8", "ab\xC3", &out));  // ends inside a character
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(convert_encoding("UTF-8", "ab\xC3\xA9", &out));
  EXPECT_EQ(out.view(), "ab\xC3\xA9");
}

}  // namespace
