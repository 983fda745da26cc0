// SPDX-License-Identifier: Apache-2.0
#include "credential_entry.h"

#include <iconv.h>
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

// ---- Signals during hidden entry -------------------------------------------

// Every signal that another process or the terminal can send and whose
// default action would end or stop the process with echo off. The faults the
// program could raise itself (SEGV, BUS, FPE, ILL, ABRT) are left alone.
constexpr int kEntrySignals[] = {
    SIGALRM, SIGHUP,  SIGINT,  SIGPIPE, SIGQUIT, SIGTERM,   SIGTSTP, SIGTTIN,
    SIGTTOU, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS, SIGTRAP,
#if defined(SIGIO)
    SIGIO,
#elif defined(SIGPOLL)
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// Set by the handler, read after the interrupted read returns.
volatile sig_atomic_t g_caught[NSIG];

extern "C" void note_signal(int signo) { g_caught[signo] = 1; }

bool signal_caught() {
  for (int signo : kEntrySignals) {
    if (g_caught[signo] != 0) return true;
  }
  return false;
}

// Delivers the signals caught during the entry again, now that the terminal
// and the original dispositions are back: the process dies, stops or ignores
// them as it would have. Returns whether there were any.
bool reraise_caught_signals() {
  bool any = false;
  for (int signo : kEntrySignals) {
    if (g_caught[signo] != 0) {
      g_caught[signo] = 0;
      any = true;
      kill(getpid(), signo);
    }
  }
  return any;
}

// Echo off for the length of one hidden entry, after OpenBSD's readpassphrase:
// while it is in force the entry signals are caught so that the terminal can
// be put back before the process dies or stops.
class HiddenEntry {
 public:
  HiddenEntry() = default;
  HiddenEntry(const HiddenEntry&) = delete;
  HiddenEntry& operator=(const HiddenEntry&) = delete;
  ~HiddenEntry() { restore(); }

  // Turns echo off (keeping ECHONL so the line feed still shows) and drops
  // typed-ahead input. False when a signal interrupted the change. When
  // standard input is not a terminal nothing changes and entry goes on.
  bool hide() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return true;
    active_ = true;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the read must return to look at the flags
    for (std::size_t i = 0; i < std::size(kEntrySignals); ++i) {
      // A signal the caller ignores (nohup, say) stays ignored.
      caught_[i] = sigaction(kEntrySignals[i], nullptr, &old_actions_[i]) == 0 &&
                   old_actions_[i].sa_handler != SIG_IGN &&
                   sigaction(kEntrySignals[i], &action, nullptr) == 0;
    }
    termios hidden = saved_;
    hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    hidden.c_lflag |= ECHONL;
    while (tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden) != 0) {
      if (errno != EINTR) return true;  // fails harmlessly; entry goes on
      if (signal_caught()) return false;
    }
    return true;
  }

  void restore() {
    if (!active_) return;
    active_ = false;
    int saved_errno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    for (std::size_t i = 0; i < std::size(kEntrySignals); ++i) {
      if (caught_[i]) sigaction(kEntrySignals[i], &old_actions_[i], nullptr);
      caught_[i] = false;
    }
    errno = saved_errno;
  }

 private:
  termios saved_{};
  struct sigaction old_actions_[std::size(kEntrySignals)] {};
  bool caught_[std::size(kEntrySignals)] = {};
  bool active_ = false;
};

// ---- Reading a line --------------------------------------------------------

enum class LineEnd { kLineFeed, kEndOfInput, kError, kInterrupted };

// Reads standard input byte by byte up to a line feed, which is not stored.
// Bytes at line positions below `keep` go to dest; the rest are dropped.
// *count receives the number of bytes before the line feed (capped at
// INT_MAX). With stop_on_signal, a caught entry signal ends the read.
LineEnd read_entry_line(char* dest, std::size_t keep, int* count, bool stop_on_signal) {
  *count = 0;
  std::size_t position = 0;
  for (;;) {
    if (stop_on_signal && signal_caught()) return LineEnd::kInterrupted;
    errno = 0;
    int c = std::getc(stdin);
    if (c == EOF) {
      if (std::ferror(stdin) && errno == EINTR) {
        std::clearerr(stdin);
        continue;
      }
      return std::ferror(stdin) ? LineEnd::kError : LineEnd::kEndOfInput;
    }
    if (c == '\n') return LineEnd::kLineFeed;
    if (position < keep) dest[position] = static_cast<char>(c);
    ++position;
    if (*count < INT_MAX) ++*count;
  }
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
  LineEnd end = convert ? read_entry_line(staging.data(), kStagedBytes, &count, false)
                        : read_entry_line(buffer.data(), kShortEntryLimit, &count, false);
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
    {
      HiddenEntry hidden;
      if (hidden.hide()) {
        show_prompt("pin : ");
        buffer[0] = '\0';
        end = convert ? read_entry_line(staging.data(), kStagedBytes, &count, true)
                      : read_entry_line(buffer.data(), static_cast<std::size_t>(limit), &count, true);
      } else {
        end = LineEnd::kInterrupted;
      }
    }  // the terminal and the signal dispositions are back from here on
    if (end == LineEnd::kInterrupted) {
      // The line is abandoned; wipe it before the signal may end the process.
      staging.zero();
      wipe_bytes(buffer.data(), buffer.size());
    }
    reraise_caught_signals();
    // Still alive: the signal stopped us and we were continued, or it is
    // ignored. Hide the entry again and ask anew.
    if (end != LineEnd::kInterrupted) break;
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
