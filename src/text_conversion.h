// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed user names and passwords carry no declared encoding,
// so they are converted to UTF-8 by trial: UTF-8 itself, then the character
// set of the user's own locale, then the encodings usual for the locale's
// language, in a fixed order. Nothing is ever cut: the whole text converts,
// or the candidate fails.
//
// Results: convertInputString returns the byte length of the converted text,
// 0 when it is empty or nothing converted (the output then holds an empty
// string); the candidate steps return whether they converted; GetLang
// returns a Language; locale_charset returns a character set name or
// nullopt.
#ifndef VELMORA_TEXT_CONVERSION_H_
#define VELMORA_TEXT_CONVERSION_H_

#include <optional>
#include <string>

#include "secret.h"

// Converts text, whole, to UTF-8 by the candidate encodings of the locale.
// Returns false (out emptied) when no candidate takes it.
bool convert_to_utf8(const char* text, SecretText* out);

// One iconv conversion of all of text from `from` into UTF-8. An invalid or
// incomplete sequence fails.
bool convert_encoding(const char* from, const char* text, SecretText* out);

// The language of the locale, which chooses the candidate encodings. The
// values are the documented language codes.
enum class Language {
  kOther = 0,
  kJapanese = 1,
  kEnglish = 2,
  kAmericanEnglish = 3,
  kFrench = 4,
  kItalian = 5,
  kGerman = 6,
  kSpanish = 7,
  kSimplifiedChinese = 8,
  kTraditionalChinese = 9,
  kKorean = 10,
};

// The language from LC_ALL when it is set and not empty, else from LC_CTYPE,
// else LANG (an empty LC_CTYPE still counts), by the start of its value in
// any case: ja, en (en_us), fr, it, de, es, ko, zh_CN, zh_TW; anything else,
// or no variable set, is kOther.
Language GetLang();

// The character set of the user's locale (LC_ALL, else LC_CTYPE, else LANG:
// the first that is set and not empty), from the system's locale data or,
// when the locale is not installed, from the codeset its name carries
// ("de_DE.ISO-8859-1"); nullopt when it names none, when it is UTF-8 or
// ASCII (already among the candidates), or when iconv does not know it.
std::optional<std::string> locale_charset();

#endif  // VELMORA_TEXT_CONVERSION_H_
