// SPDX-License-Identifier: Apache-2.0
// Text conversion: typed user names and passwords carry no declared encoding,
// so they are converted to UTF-8 by trial, trying the encodings usual for the
// locale in LC_CTYPE (else LANG) in a fixed order, and cut to a byte bound
// without splitting a character.
//
// Results: convertInputString and CheckEnter return the byte length of the
// text they leave, 0 when it is empty or nothing converted (the output then
// holds an empty string); the candidate steps return whether they converted;
// GetLang returns a Language.
#ifndef VELMORA_TEXT_CONVERSION_H_
#define VELMORA_TEXT_CONVERSION_H_

// Converts text to UTF-8 by the candidate encodings of the locale and cuts it
// to at most bound bytes on a character boundary. out needs bound + 1 bytes.
// Returns the length left in out; 0 when empty or nothing could be converted.
int convertInputString(const char* text, int bound, char* out);

// Tries the locale's candidate encodings in order; true at the first that
// converts text into out. out is emptied when none does.
bool wrap_convert_encoding_utf8(const char* text, char* out, int bound);

// One iconv conversion of text from `from` into `to`, writing at most bound
// bytes plus a NUL to out. Running out of room counts as success with the part
// that fit; an invalid or incomplete sequence fails.
bool convert_encoding(const char* from, const char* to, const char* text, char* out, int bound);

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

// The language from LC_CTYPE, else LANG (an empty LC_CTYPE still counts),
// by the start of its value in any case: ja, en (en_us), fr, it, de, es, ko,
// zh_CN, zh_TW; anything else, or neither variable set, is kOther.
Language GetLang();

// Cuts UTF-8 text in place to at most bound bytes without splitting a
// character; returns the new length.
int CheckEnter(char* text, int bound);

#endif  // VELMORA_TEXT_CONVERSION_H_
