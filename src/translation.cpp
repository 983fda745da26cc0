// SPDX-License-Identifier: Apache-2.0
#include "translation.h"

#include <langinfo.h>
#include <libintl.h>
#include <locale.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr char kDomain[] = "velmora-account";

// Live MachineWords guards (the tool is single-threaded).
int g_machine_words = 0;

// The C locale, for the English of strerror_l: made once, kept for the run.
locale_t g_c_locale = locale_t{};

// The user's LC_CTYPE, for display_width (the process keeps "C"): made
// once translations are on, kept for the run.
locale_t g_user_ctype = locale_t{};

// A locale object, freed with its owner.
class Locale {
 public:
  explicit Locale(int mask, const char* name) : locale_(newlocale(mask, name, locale_t{})) {}
  ~Locale() {
    if (locale_ != locale_t{}) freelocale(locale_);
  }
  Locale(const Locale&) = delete;
  Locale& operator=(const Locale&) = delete;
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

}  // namespace

void start_translation(const char* locale_dir) {
  // Only the messages category is the user's. The character set the
  // translations are written in comes from the user's LC_CTYPE all the
  // same, through bind_textdomain_codeset.
  if (setlocale(LC_MESSAGES, "") == nullptr) return;  // no such locale: English
  const Locale user(LC_CTYPE_MASK, "");
  if (user.get() == locale_t{}) return;
  const char* charset = nl_langinfo_l(CODESET, user.get());
  bindtextdomain(kDomain, locale_dir);
  bind_textdomain_codeset(kDomain, charset);
  // The C library's own messages (strerror, the resolver's) likewise.
  bind_textdomain_codeset("libc", charset);
  textdomain(kDomain);
  g_user_ctype = newlocale(LC_CTYPE_MASK, "", locale_t{});
}

const char* translated(const char* msgid) {
  if (g_machine_words != 0 || msgid[0] == '\0') return msgid;
  return dgettext(kDomain, msgid);
}

const char* translated_plural(const char* one, const char* many, unsigned long count) {
  if (g_machine_words != 0) return count == 1 ? one : many;
  return dngettext(kDomain, one, many, count);
}

const char* error_text(int errnum) {
  if (g_machine_words == 0) return std::strerror(errnum);
  if (g_c_locale == locale_t{}) g_c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return g_c_locale != locale_t{} ? strerror_l(errnum, g_c_locale) : std::strerror(errnum);
}

std::string table_word(const std::string& word) {
  std::string shown;
  for (std::size_t at = 0; at <= word.size();) {
    const std::size_t end = std::min(word.find(',', at), word.size());
    if (at != 0) shown += ',';
    shown += translated(word.substr(at, end - at).c_str());
    at = end + 1;
  }
  return shown;
}

std::size_t display_width(std::string_view text) {
  if (g_user_ctype == locale_t{}) return text.size();
  const locale_t before = uselocale(g_user_ctype);
  std::size_t width = 0;
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size();) {
    wchar_t ch = 0;
    const std::size_t used = std::mbrtowc(&ch, text.data() + at, text.size() - at, &state);
    if (used == 0 || used > text.size() - at) {  // NUL, or a byte of no character
      state = std::mbstate_t{};
      width += 1;
      at += 1;
      continue;
    }
    const int columns = wcwidth(ch);  // -1: not printable, shown escaped or as one
    width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
    at += used;
  }
  uselocale(before);
  return width;
}

MachineWords::MachineWords() { ++g_machine_words; }
MachineWords::~MachineWords() { --g_machine_words; }

std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(static_cast<std::size_t>(std::max(size, 0)) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, again);
  va_end(again);
  out.pop_back();
  return out;
}
