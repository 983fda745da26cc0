// SPDX-License-Identifier: Apache-2.0
#include "credential_entry.h"

#include <poll.h>
#include <signal.h>
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
#include "text_conversion.h"

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

// What an entry that read a line leaves in buffer, and whether it stands:
// the bytes as typed cut to `limit` (they already are), or the staged text
// converted. An empty value asks again unless empty_ok.
EntryResult finish_entry(LineEnd end, int count, bool convert, const char* staged,
                         ValueBuffer buffer, int limit, bool empty_ok) {
  switch (end) {
    case LineEnd::kLineFeed:
      break;
    case LineEnd::kEndOfInput:
    case LineEnd::kInterrupted:
      wipe_bytes(buffer.data(), buffer.size());
      return EntryResult::kEndOfInput;
    case LineEnd::kError: {
      int err = errno;
      wipe_bytes(buffer.data(), buffer.size());
      errno = err;
      return EntryResult::kReadError;
    }
  }
  if (!convert) {
    // Deliberate: job accounting values are bytes as typed, cut at the limit
    // even inside a character.
    buffer[static_cast<std::size_t>(std::min(count, limit))] = '\0';
    return count != 0 || empty_ok ? EntryResult::kAccepted : EntryResult::kAskAgain;
  }
  if (convertInputString(staged, limit, buffer.data()) != 0) return EntryResult::kAccepted;
  // Typed, but not text in any encoding of the locale: never stored as an
  // empty value.
  if (staged[0] != '\0') return EntryResult::kUnconvertible;
  return empty_ok ? EntryResult::kAccepted : EntryResult::kAskAgain;
}

}  // namespace

EntryResult GetInputID(ValueBuffer buffer, CredentialKind kind) {
  SecretArray<kStagingSize> staging;
  // Any kind but these two is taken as job accounting.
  const bool convert = has_user_name(kind);
  const int limit = convert ? kLongEntryLimit : kShortEntryLimit;
  show_prompt(convert ? "user name : " : "id : ");
  buffer[0] = '\0';
  int count = 0;
  LineEnd end = convert ? read_entry_line(staging.data(), kStagedBytes, &count, nullptr)
                        : read_entry_line(buffer.data(), kShortEntryLimit, &count, nullptr);
  return finish_entry(end, count, convert, staging.data(), buffer, limit, false);
}

EntryResult GetInputPSWD(ValueBuffer buffer, CredentialKind kind) {
  SecretArray<kStagingSize> staging;
  const bool convert = has_user_name(kind);
  // Deliberate: the secured print password is limited like a PIN.
  const int limit = kind == CredentialKind::kUserAuthentication ? kLongEntryLimit : kShortEntryLimit;
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
  return finish_entry(end, count, convert, staging.data(), buffer, limit,
                      kind != CredentialKind::kSecuredPrint);
}
