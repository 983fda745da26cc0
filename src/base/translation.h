// SPDX-License-Identifier: Apache-2.0
// The tool's own words in the user's language: gettext's catalogue of the
// text domain "velmora-account", looked up under LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG. Sentences are marked where they are written, with
// _() (looked up there) or N_() (a word kept in a table, looked up where it
// is shown, with translated()). W_() marks a word of the --list and --check
// tables: rows and JSON documents hold it in English, and only the table a
// person reads shows it translated, with table_word().
//
// What scripts read is never translated: a MachineWords guard, for as long
// as it lives, puts the thread in the C locale, so that every lookup answers
// the English text and error_text() the C library's English, and a --json
// document or a --batch answer built from the same sentences reads alike in
// every locale.
//
// Call start_translation() once, first thing in main. Results: translated()
// returns the catalogue's text, or msgid itself when there is none, no
// catalogue, or a MachineWords guard is alive; error_text() never fails;
// a DisplayWidth counts what a terminal shows (a CJK character: two).
#ifndef VELMORA_TRANSLATION_H_
#define VELMORA_TRANSLATION_H_

#include <locale.h>

#include <cstddef>
#include <string>
#include <string_view>

#define _(msgid) translated(msgid)
#define N_(msgid) msgid
#define W_(word) word
// A sentence about `count` things, in the plural form of the language.
#define P_(one, many, count) translated_plural(one, many, count)

// Takes the messages category from the environment (every other category
// stays "C", so that case folding, byte classes and numbers do what they
// do in every locale; a C locale of any character set, C.UTF-8 say, is
// English whatever LANGUAGE says) and binds the text domain to locale_dir.
void start_translation(const char* locale_dir);

// format_arg: the compiler checks a marked format string's arguments.
__attribute__((format_arg(1))) const char* translated(const char* msgid);
__attribute__((format_arg(1), format_arg(2))) const char* translated_plural(const char* one,
                                                                            const char* many,
                                                                            unsigned long count);

// A table's word (or words joined with ',', as a damage field lists them)
// as the table shows it; "-", "?" and words of no catalogue as they are.
std::string table_word(const std::string& word);

// A locale object (newlocale; locale_t{} when there is no such locale),
// freed with its owner.
class Locale {
 public:
  Locale(int mask, const char* name);
  ~Locale();
  Locale(const Locale&) = delete;
  Locale& operator=(const Locale&) = delete;
  locale_t get() const { return locale_; }

 private:
  locale_t locale_;
};

// The columns text takes on a terminal, in the character set of the user's
// LC_CTYPE (the one translations come in): wide characters count two, a
// byte that is no character of the set one. One per table: it holds that
// locale while it lives.
class DisplayWidth {
 public:
  DisplayWidth();
  std::size_t operator()(std::string_view text) const;

 private:
  Locale user_;
};

// printf into a string: a sentence filled in whole, so that translators
// see it whole.
__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...);

// strerror(errnum), in the user's language (or English under MachineWords).
const char* error_text(int errnum);

class MachineWords {
 public:
  MachineWords();
  ~MachineWords();
  MachineWords(const MachineWords&) = delete;
  MachineWords& operator=(const MachineWords&) = delete;

 private:
  Locale english_;     // the C locale, this thread's while the guard lives
  locale_t previous_;  // the thread's locale before
};

// What make() returns, made under a MachineWords guard.
template <typename Make>
auto in_english(Make make) {
  MachineWords english;
  return make();
}

#endif  // VELMORA_TRANSLATION_H_
