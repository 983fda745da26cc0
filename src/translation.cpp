// SPDX-License-Identifier: Apache-2.0
#include "translation.h"

#include <langinfo.h>
#include <libintl.h>
#include <locale.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kDomain[] = "velmora-account";

// Live MachineWords guards (the tool is single-threaded).
int g_machine_words = 0;

// The C locale, for the English of strerror_l: made once, kept for the run.
locale_t g_c_locale = locale_t{};

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
