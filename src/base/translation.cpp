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

}  // namespace

Locale::Locale(int mask, const char* name) : locale_(newlocale(mask, name, locale_t{})) {}

Locale::~Locale() {
  if (locale_ != locale_t{}) freelocale(locale_);
}

void start_translation(const char* locale_dir) {
  // Only the messages category is the user's. The character set the
  // translations are written in comes from the user's LC_CTYPE all the
  // same, through bind_textdomain_codeset; without it, English.
  const Locale user(LC_CTYPE_MASK, "");
  if (user.get() == locale_t{}) return;
  const char* messages = setlocale(LC_MESSAGES, "");
  if (messages == nullptr) return;  // no such locale: English
  // gettext ignores LANGUAGE under "C" and "POSIX" only; C.UTF-8 and the
  // like mean English as much.
  const std::string_view name = messages;
  if (name == "C" || name == "POSIX" || name.starts_with("C.")) {
    setlocale(LC_MESSAGES, "C");
    return;
  }
  const char* charset = nl_langinfo_l(CODESET, user.get());
  bindtextdomain(kDomain, locale_dir);
  bind_textdomain_codeset(kDomain, charset);
  // The C library's own messages (strerror, the resolver's) likewise.
  bind_textdomain_codeset("libc", charset);
  textdomain(kDomain);
}

// gettext follows the thread's locale: under a MachineWords guard, "C",
// whose lookups answer the English they were given.
const char* translated(const char* msgid) {
  return msgid[0] == '\0' ? msgid : dgettext(kDomain, msgid);
}

const char* translated_plural(const char* one, const char* many, unsigned long count) {
  return dngettext(kDomain, one, many, count);
}

const char* error_text(int errnum) { return std::strerror(errnum); }

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

DisplayWidth::DisplayWidth() : user_(LC_CTYPE_MASK, "") {}

std::size_t DisplayWidth::operator()(std::string_view text) const {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii || user_.get() == locale_t{}) return text.size();
  const locale_t before = uselocale(user_.get());
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

MachineWords::MachineWords()
    : english_(LC_ALL_MASK, "C"),
      previous_(english_.get() != locale_t{} ? uselocale(english_.get()) : locale_t{}) {}

MachineWords::~MachineWords() {
  if (english_.get() != locale_t{}) uselocale(previous_);
}

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
