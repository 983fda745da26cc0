// SPDX-License-Identifier: Apache-2.0
#include "text_conversion.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

class LocaleHandle {
 public:
  explicit LocaleHandle(const char* name) : locale_(newlocale(LC_CTYPE_MASK, name, locale_t{})) {}
  LocaleHandle(const LocaleHandle&) = delete;
  LocaleHandle& operator=(const LocaleHandle&) = delete;
  ~LocaleHandle() {
    if (locale_ != locale_t{}) freelocale(locale_);
  }
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

// The language of the locale, which chooses the candidate encodings.
enum class Language {
  kOther,
  kJapanese,
  kEnglish,
  kAmericanEnglish,
  kFrench,
  kItalian,
  kGerman,
  kSpanish,
  kSimplifiedChinese,
  kTraditionalChinese,
  kKorean,
};

// Deliberate: the order decides (the bytes E9 E9 are EUC-JP before they are
// Latin-1), and languages without a list of their own take the last one.
std::vector<const char*> candidates_for(Language language) {
  switch (language) {
    case Language::kJapanese:
      return {"UTF-8", "EUC-JP", "SHIFT-JIS"};
    case Language::kKorean:
      return {"UTF-8", "CP949", "EUC-KR"};
    case Language::kSimplifiedChinese:
      return {"UTF-8", "EUC-CN", "GB18030"};
    case Language::kTraditionalChinese:
      return {"UTF-8", "EUC-TW", "BIG5-HKSCS"};
    default:
      return {"UTF-8", "EUC-JP", "ASCII", "LATIN1"};
  }
}

// The first of the variables that is set and not empty, as the C library
// chooses a locale category.
const char* user_locale() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return nullptr;
}

// Whether a character set is UTF-8 or ASCII under one of their usual names.
bool is_utf8_or_ascii(std::string_view charset) {
  std::string plain;
  for (char c : charset) {
    if (c != '-' && c != '_')
      plain += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return plain == "UTF8" || plain == "ASCII" || plain == "USASCII" || plain == "ANSIX3.41968" ||
         plain == "646";
}

// The language from the start of the locale's value in any case: ja, en
// (en_us), fr, it, de, es, ko, zh_CN, zh_TW; anything else, or no variable
// set, is kOther. Languages other than ja, ko and the two Chinese have no
// list of their own.
Language language_of_locale() {
  // Deliberate: an empty LC_CTYPE still counts and chooses no language;
  // LC_ALL, which overrides both, is honoured first.
  const char* locale = std::getenv("LC_ALL");
  if (locale == nullptr || locale[0] == '\0') locale = std::getenv("LC_CTYPE");
  if (locale == nullptr) locale = std::getenv("LANG");
  if (locale == nullptr) return Language::kOther;
  struct Prefix {
    const char* text;
    std::size_t bytes;
    Language language;
  };
  static constexpr Prefix kTable[] = {
      {"ja", 2, Language::kJapanese},
      {"en", 2, Language::kEnglish},
      {"fr", 2, Language::kFrench},
      {"it", 2, Language::kItalian},
      {"de", 2, Language::kGerman},
      {"es", 2, Language::kSpanish},
      {"ko", 2, Language::kKorean},
      {"zh_CN", 5, Language::kSimplifiedChinese},
      {"zh_TW", 5, Language::kTraditionalChinese},
  };
  for (const Prefix& prefix : kTable) {
    if (strncasecmp(locale, prefix.text, prefix.bytes) != 0) continue;
    if (prefix.language == Language::kEnglish && strncasecmp(locale, "en_us", 5) == 0) {
      return Language::kAmericanEnglish;
    }
    return prefix.language;
  }
  return Language::kOther;
}

// The character set of the user's locale, or nullopt when it names none, is
// UTF-8 or ASCII (already among the candidates), or iconv does not know it.
std::optional<std::string> locale_charset() {
  const char* locale = user_locale();
  if (locale == nullptr) return std::nullopt;
  std::string charset;
  if (LocaleHandle installed(locale); installed.get() != locale_t{}) {
    charset = nl_langinfo_l(CODESET, installed.get());
  } else {
    // Not installed here: the codeset its name carries, "lang_TERRITORY.CODESET@modifier".
    std::string_view name(locale);
    std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    charset = name.substr(dot + 1, name.find('@', dot) - dot - 1);
  }
  if (charset.empty() || is_utf8_or_ascii(charset)) return std::nullopt;
  if (!IconvHandle("UTF-8", charset.c_str()).valid()) return std::nullopt;
  return charset;
}

// One iconv conversion of all of text from `from` into UTF-8. An invalid or
// incomplete sequence fails.
bool convert_encoding(const char* from, const char* text, SecretText* out) {
  out->clear();
  IconvHandle converter("UTF-8", from);
  if (!converter.valid()) return false;
  const std::size_t length = std::strlen(text);
  // Converted in place: no character of any candidate takes more than four
  // bytes of UTF-8 per byte typed.
  char* const converted = out->extend(4 * length + 4);
  char* in = const_cast<char*>(text);  // iconv does not write through it
  std::size_t in_left = length;
  char* next = converted;
  std::size_t out_left = 4 * length + 4;
  if (iconv(converter.get(), &in, &in_left, &next, &out_left) == static_cast<std::size_t>(-1) ||
      in_left != 0) {
    out->clear();
    return false;
  }
  out->shrink(static_cast<std::size_t>(next - converted));
  return true;
}

}  // namespace

bool convert_to_utf8(const char* text, SecretText* out) {
  std::vector<const char*> candidates = candidates_for(language_of_locale());
  // The locale's own character set comes right after UTF-8: its bytes are
  // what the user's keyboard and terminal produce.
  const std::optional<std::string> own = locale_charset();
  if (own) candidates.insert(candidates.begin() + 1, own->c_str());
  try {
    for (const char* candidate : candidates) {
      if (convert_encoding(candidate, text, out)) return true;
    }
  } catch (const std::bad_alloc&) {
  }
  out->clear();
  return false;
}
