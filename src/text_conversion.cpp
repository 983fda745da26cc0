// SPDX-License-Identifier: Apache-2.0
#include "text_conversion.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "secret.h"

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

struct Candidates {
  const char* const* names;
  std::size_t count;
};

// Deliberate: the order decides (the bytes E9 E9 are EUC-JP before they are
// Latin-1), and languages without a list of their own take the last one.
Candidates candidates_for(Language language) {
  static constexpr const char* kJapanese[] = {"UTF-8", "EUC-JP", "SHIFT-JIS"};
  static constexpr const char* kKorean[] = {"UTF-8", "CP949", "EUC-KR"};
  static constexpr const char* kSimplified[] = {"UTF-8", "EUC-CN", "GB18030"};
  static constexpr const char* kTraditional[] = {"UTF-8", "EUC-TW", "BIG5-HKSCS"};
  static constexpr const char* kOther[] = {"UTF-8", "EUC-JP", "ASCII", "LATIN1"};
  switch (language) {
    case Language::kJapanese:
      return {kJapanese, std::size(kJapanese)};
    case Language::kKorean:
      return {kKorean, std::size(kKorean)};
    case Language::kSimplifiedChinese:
      return {kSimplified, std::size(kSimplified)};
    case Language::kTraditionalChinese:
      return {kTraditional, std::size(kTraditional)};
    default:
      return {kOther, std::size(kOther)};
  }
}

// Byte length of the UTF-8 character that starts with lead; a stray
// continuation byte counts as one.
int utf8_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

Language GetLang() {
  const char* locale = std::getenv("LC_CTYPE");
  if (locale == nullptr) locale = std::getenv("LANG");
  if (locale == nullptr) return Language::kOther;
  struct Prefix {
    const char* text;
    std::size_t bytes;
    Language language;
  };
  static constexpr Prefix kTable[] = {
      {"ja", 2, Language::kJapanese},          {"en", 2, Language::kEnglish},
      {"fr", 2, Language::kFrench},            {"it", 2, Language::kItalian},
      {"de", 2, Language::kGerman},            {"es", 2, Language::kSpanish},
      {"ko", 2, Language::kKorean},            {"zh_CN", 5, Language::kSimplifiedChinese},
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

bool convert_encoding(const char* from, const char* to, const char* text, char* out, int bound) {
  if (out == nullptr) return false;
  if (from == nullptr || to == nullptr || text == nullptr) {
    out[0] = '\0';
    return false;
  }
  IconvHandle converter(to, from);
  if (!converter.valid()) {
    out[0] = '\0';
    return false;
  }
  char* in = const_cast<char*>(text);  // iconv does not write through it
  std::size_t in_left = std::strlen(text);
  char* next = out;
  std::size_t out_left = bound > 0 ? static_cast<std::size_t>(bound) : 0;
  std::size_t result = iconv(converter.get(), &in, &in_left, &next, &out_left);
  if (result == static_cast<std::size_t>(-1) && errno != E2BIG) {
    wipe_bytes(out, static_cast<std::size_t>(next - out));
    out[0] = '\0';
    return false;
  }
  *next = '\0';
  return true;
}

bool wrap_convert_encoding_utf8(const char* text, char* out, int bound) {
  Candidates list = candidates_for(GetLang());
  for (std::size_t i = 0; i < list.count; ++i) {
    if (convert_encoding(list.names[i], "UTF-8", text, out, bound)) return true;
  }
  if (out != nullptr) out[0] = '\0';
  return false;
}

int convertInputString(const char* text, int bound, char* out) {
  if (text == nullptr || out == nullptr || bound <= 0) return 0;
  try {
    SecretText copy{std::string_view(text)};
    if (!wrap_convert_encoding_utf8(copy.c_str(), out, bound)) {
      out[0] = '\0';
      return 0;
    }
  } catch (const std::bad_alloc&) {
    out[0] = '\0';
    return 0;
  }
  int length = CheckEnter(out, bound);
  out[length] = '\0';
  return length;
}

int CheckEnter(char* text, int bound) {
  if (text == nullptr) return 0;
  if (text[0] == '\0' || bound <= 0) {
    text[0] = '\0';
    return 0;
  }
  const std::size_t length = std::strlen(text);
  std::size_t position = 0;
  while (position < length) {
    std::size_t size = static_cast<std::size_t>(utf8_length(static_cast<unsigned char>(text[position])));
    // A character that does not fit the bound, or that the text's end cuts
    // short, is dropped whole.
    if (position + size > static_cast<std::size_t>(bound) || position + size > length) break;
    position += size;
  }
  text[position] = '\0';
  return static_cast<int>(position);
}
