// SPDX-License-Identifier: Apache-2.0
#include "credential_entry.h"

#include <iconv.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "credential_kind.h"
#include "secret.h"
#include "signals.h"

namespace {

// Lines holding user names and passwords are staged here before conversion.
// Deliberate: only the first 511 bytes of a line are kept; the rest is read
// and dropped.
constexpr std::size_t kStagingSize = 512;
constexpr std::size_t kStagedBytes = kStagingSize - 1;

void show_prompt(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
}

// ---- Hidden entry -----------------------------------------------------------

// The terminal as it was before echo went off, for the signal hook.
termios g_saved_terminal;
volatile sig_atomic_t g_terminal_hidden = 0;

// Async-signal-safe: puts the terminal back before a signal ends or stops
// the run.
void restore_terminal() {
  if (g_terminal_hidden != 0) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
    g_terminal_hidden = 0;
  }
}

enum class LineEnd { kLineFeed, kEndOfInput, kError, kInterrupted };

// Reads standard input byte by byte up to a line feed, which is not stored.
// Bytes at line positions below `keep` go to dest; the rest are dropped.
// *count receives the number of bytes before the line feed (capped at
// INT_MAX). With wait_mask, the signals are blocked and each wait for input
// releases them atomically (so none slips in between a look at the guard
// and the wait); a signal the guard took ends the read.
LineEnd read_entry_line(char* dest, std::size_t keep, int* count, const sigset_t* wait_mask) {
  *count = 0;
  std::size_t position = 0;
  for (;;) {
    if (wait_mask != nullptr) {
      if (SignalGuard::interrupted()) return LineEnd::kInterrupted;
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (ppoll(&input, 1, nullptr, wait_mask) < 0) {
        if (errno == EINTR) continue;
        return LineEnd::kError;
      }
    }
    char c;
    ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LineEnd::kError;
    }
    if (got == 0) return LineEnd::kEndOfInput;
    if (c == '\n') return LineEnd::kLineFeed;
    if (position < keep) dest[position] = c;
    ++position;
    if (*count < INT_MAX) ++*count;
  }
}

// One hidden entry, after OpenBSD's readpassphrase: echo off (ECHONL kept,
// so the line feed still shows) and typed-ahead input dropped, and the
// terminal put back on every way out, a signal included. When standard input
// is not a terminal nothing changes and the line is read as it comes.
LineEnd read_hidden_line(char* dest, std::size_t keep, int* count) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    show_prompt("pin : ");
    return read_entry_line(dest, keep, count, nullptr);
  }
  BlockedSignals blocked(SignalSet::kTerminatingAndStops);
  g_saved_terminal = saved;
  SignalGuard guard(SignalSet::kTerminatingAndStops, restore_terminal);
  termios hidden = saved;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  hidden.c_lflag |= ECHONL;
  g_terminal_hidden = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);  // may fail harmlessly; entry goes on
  show_prompt("pin : ");
  LineEnd end = read_entry_line(dest, keep, count, &blocked.previous());
  restore_terminal();
  guard.release();
  return end;  // signals that came meanwhile are taken as the mask comes back
}

int entry_ended(LineEnd end) {
  if (end == LineEnd::kEndOfInput) errno = 0;
  return kEntryEnded;
}

// ---- Conversion ------------------------------------------------------------

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
Candidates candidates_for(int language) {
  static constexpr const char* kJapanese[] = {"UTF-8", "EUC-JP", "SHIFT-JIS"};
  static constexpr const char* kKorean[] = {"UTF-8", "CP949", "EUC-KR"};
  static constexpr const char* kSimplified[] = {"UTF-8", "EUC-CN", "GB18030"};
  static constexpr const char* kTraditional[] = {"UTF-8", "EUC-TW", "BIG5-HKSCS"};
  static constexpr const char* kOther[] = {"UTF-8", "EUC-JP", "ASCII", "LATIN1"};
  switch (language) {
    case 1:
      return {kJapanese, std::size(kJapanese)};
    case 10:
      return {kKorean, std::size(kKorean)};
    case 8:
      return {kSimplified, std::size(kSimplified)};
    case 9:
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

int GetInputID(ValueBuffer buffer, unsigned kind) {
  SecretArray<kStagingSize> staging;
  // Any number but 2 and 3 is taken as job accounting.
  const bool convert = has_user_name(kind_from_number(kind));
  show_prompt(convert ? "user name : " : "id : ");
  buffer[0] = '\0';
  int count = 0;
  LineEnd end = convert ? read_entry_line(staging.data(), kStagedBytes, &count, nullptr)
                        : read_entry_line(buffer.data(), kShortEntryLimit, &count, nullptr);
  if (end != LineEnd::kLineFeed) {
    wipe_bytes(buffer.data(), buffer.size());
    return entry_ended(end);
  }
  if (!convert) {
    // Deliberate: job accounting values are bytes as typed, cut at the limit
    // even inside a character, and the result counts the whole line.
    buffer[static_cast<std::size_t>(std::min(count, kShortEntryLimit))] = '\0';
    errno = 0;
    return count;
  }
  int n = convertInputString(staging.data(), kLongEntryLimit, buffer.data());
  errno = n == 0 && staging.data()[0] != '\0' ? EILSEQ : 0;
  return n;
}

int GetInputPSWD(ValueBuffer buffer, unsigned kind) {
  SecretArray<kStagingSize> staging;
  const CredentialKind credential = kind_from_number(kind);
  const bool convert = has_user_name(credential);
  // Deliberate: the secured print password is limited like a PIN.
  const int limit =
      credential == CredentialKind::kUserAuthentication ? kLongEntryLimit : kShortEntryLimit;
  int count = 0;
  LineEnd end;
  for (;;) {
    staging.zero();
    buffer[0] = '\0';
    end = convert ? read_hidden_line(staging.data(), kStagedBytes, &count)
                  : read_hidden_line(buffer.data(), static_cast<std::size_t>(limit), &count);
    if (end != LineEnd::kInterrupted) break;
    // Stopped and continued: the line is abandoned; hide the entry again
    // and ask anew.
    wipe_bytes(buffer.data(), buffer.size());
  }
  if (end != LineEnd::kLineFeed) {
    wipe_bytes(buffer.data(), buffer.size());
    return entry_ended(end);
  }
  int n = count;
  if (convert) {
    n = convertInputString(staging.data(), limit, buffer.data());
  } else {
    buffer[static_cast<std::size_t>(std::min(count, limit))] = '\0';
  }
  errno = 0;
  if (n != 0) return n;
  if (staging.data()[0] != '\0') {
    // Typed, but not text in any encoding of the locale: never store it as
    // an empty password.
    errno = EILSEQ;
    return 0;
  }
  return credential == CredentialKind::kSecuredPrint ? 0 : 1;
}

int GetLang() {
  const char* locale = std::getenv("LC_CTYPE");
  if (locale == nullptr) locale = std::getenv("LANG");
  if (locale == nullptr) return 0;
  struct Prefix {
    const char* text;
    std::size_t bytes;
    int code;
  };
  static constexpr Prefix kTable[] = {
      {"ja", 2, 1}, {"en", 2, 2},     {"fr", 2, 4},     {"it", 2, 5}, {"de", 2, 6},
      {"es", 2, 7}, {"ko", 2, 10}, {"zh_CN", 5, 8}, {"zh_TW", 5, 9},
  };
  for (const Prefix& prefix : kTable) {
    if (strncasecmp(locale, prefix.text, prefix.bytes) != 0) continue;
    if (prefix.code == 2 && strncasecmp(locale, "en_us", 5) == 0) return 3;
    return prefix.code;
  }
  return 0;
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
