// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed text to bounded UTF-8, by the locale.
#include "text_conversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "test_support.h"

namespace {

// LC_ALL, LC_CTYPE and LANG for one case (null: unset), restored after it.
struct Locale {
  ScopedEnv lc_all, lc_ctype, lang;
  Locale(const char* ctype, const char* language, const char* all = nullptr)
      : lc_all("LC_ALL", all), lc_ctype("LC_CTYPE", ctype), lang("LANG", language) {}
};

// Which encodings the locale's language chooses, by what they make of a
// probe: B0 A1 is EUC-JP (ja, and every other language), CP949 (ko), EUC-CN
// (zh_CN) or, past EUC-TW, Big5-HKSCS (zh_TW); a lone FF only Latin-1 takes
// (the last list).
TEST(ConvertToUtf8, ChoosesTheLanguageByLcAllThenLcCtypeThenLang) {
  const std::string ja = "\xE4\xBA\x9C", ko = "\xEA\xB0\x80", zh_cn = "\xE5\x95\x8A",
                    zh_tw = "\xE9\x99\x9B";
  struct Case {
    const char* lc_ctype;
    const char* lang;
    const char* lc_all;
    std::string probe;
    std::optional<std::string> result;
  } cases[] = {
      {"ja_JP.UTF-8", nullptr, nullptr, "\xFF", std::nullopt},
      {"en_US.UTF-8", nullptr, nullptr, "\xFF", "\xC3\xBF"},
      {"korean", nullptr, nullptr, "\xB0\xA1", ko},
      {"KO_kr", nullptr, nullptr, "\xB0\xA1", ko},  // in any case
      {"zh_CN.GB18030", nullptr, nullptr, "\xB0\xA1", zh_cn},
      {"zh_tw.Big5", nullptr, nullptr, "\xB0\xA1", zh_tw},
      {"zh_HK", nullptr, nullptr, "\xB0\xA1", ja},  // no list of its own
      {nullptr, "ja_JP", nullptr, "\xFF", std::nullopt},
      {"", "ja_JP.UTF-8", nullptr, "\xFF", "\xC3\xBF"},  // an empty LC_CTYPE still counts
      {nullptr, nullptr, nullptr, "\xFF", "\xC3\xBF"},
      {"C", "ja_JP", nullptr, "\xFF", "\xC3\xBF"},
      {nullptr, "C", "ja_JP.UTF-8", "\xFF", std::nullopt},  // LC_ALL overrides both
      {"", "ja_JP.UTF-8", "", "\xFF", "\xC3\xBF"},          // an empty LC_ALL does not
  };
  for (const Case& c : cases) {
    Locale locale(c.lc_ctype, c.lang, c.lc_all);
    SecretText out;
    const bool converted = convert_to_utf8(c.probe.c_str(), &out);
    EXPECT_EQ(converted ? std::optional<std::string>(out.view()) : std::nullopt, c.result)
        << (c.lc_ctype ? c.lc_ctype : "(unset)") << " / " << (c.lang ? c.lang : "(unset)");
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
      {"ending inside a character", "zh_CN.UTF-8", "ab\xC3", std::nullopt},
  };
  for (const Case& c : cases) {
    Locale locale(nullptr, c.lang, c.lc_all);
    SecretText out;
    bool converted = convert_to_utf8(c.input.c_str(), &out);
    EXPECT_EQ(converted, c.output.has_value()) << c.what;
    EXPECT_EQ(std::string(out.view()), c.output.value_or("")) << c.what;
  }
}

}  // namespace
