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
#include <string_view>

#include "account_format.h"
#include "credential_kind.h"
#include "secret.h"
#include "signals.h"
#include "text_conversion.h"

namespace {

// Typed lines are held here. A line longer than any value could be after
// conversion (every candidate encoding takes at least 3 bytes for 4 bytes of
// UTF-8) is too long whatever it holds; its rest is read and dropped.
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

// Whether this run is the terminal's foreground job: only that job may
// change the terminal or read from it. Job control holds only on the run's
// controlling terminal; another session's (after su -c or setsid, which
// tcgetpgrp answers with ENOTTY) has no job of this run's, and is used as it
// is, as getpass() does.
bool in_foreground() {
  const pid_t foreground = tcgetpgrp(STDIN_FILENO);
  return foreground == getpgrp() || (foreground < 0 && errno == ENOTTY);
}

volatile sig_atomic_t g_continued = 0;
extern "C" void note_continued(int) { g_continued = 1; }

// Waits, stopped as the kernel stops a background job that touches the
// terminal, until this run is in the foreground. False when it cannot be
// stopped (SIGTTOU ignored, or a job no shell can bring back): the terminal
// is then not its to change.
bool wait_for_foreground() {
  while (!in_foreground()) {
    struct sigaction note {};
    struct sigaction previous {};
    note.sa_handler = note_continued;
    sigemptyset(&note.sa_mask);
    g_continued = 0;
    sigaction(SIGCONT, &note, &previous);
    kill(0, SIGTTOU);  // the whole job stops here, and goes on when continued
    sigaction(SIGCONT, &previous, nullptr);
    if (g_continued == 0) return false;
  }
  return true;
}

// One typed line: its first kStagedBytes bytes, how many there were, and
// whether a NUL byte was among them.
struct TypedLine {
  SecretArray<kStagingSize> staged;
  std::size_t count = 0;
  bool nul = false;
  int error = 0;  // errno of a failed read
  std::string_view text() const { return {staged.data(), std::min(count, kStagedBytes)}; }
};

// Reads standard input byte by byte up to a line feed, which is not stored,
// nor is a carriage return right before it. The end of the input ends a last
// line that has text (kLineFeed), else it is kEndOfInput. With wait_mask, the
// signals are blocked and each wait for input releases them atomically (so
// none slips in between a look at the guard and the wait); a signal the
// guard took ends the read.
LineEnd read_entry_line(TypedLine& line, const sigset_t* wait_mask) {
  line.staged.zero();
  line.count = 0;
  line.nul = false;
  for (;;) {
    if (wait_mask != nullptr) {
      if (SignalGuard::interrupted()) return LineEnd::kInterrupted;
      pollfd input{STDIN_FILENO, POLLIN, 0};
      if (ppoll(&input, 1, nullptr, wait_mask) < 0) {
        if (errno == EINTR) continue;
        line.error = errno;
        return LineEnd::kError;
      }
    }
    // Put in the background without a stop: the terminal is the shell's now.
    if (wait_mask != nullptr && !in_foreground()) return LineEnd::kInterrupted;
    char c;
    ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      line.error = errno;
      return LineEnd::kError;
    }
    if (got == 0) return line.count != 0 ? LineEnd::kLineFeed : LineEnd::kEndOfInput;
    if (c == '\n') {
      // CR LF is one line end (a file written on another system).
      if (line.count != 0 && line.count <= kStagedBytes &&
          line.staged.data()[line.count - 1] == '\r') {
        line.staged.data()[--line.count] = '\0';
      }
      return LineEnd::kLineFeed;
    }
    if (line.count < kStagedBytes) line.staged.data()[line.count] = c;
    line.nul = line.nul || c == '\0';
    ++line.count;
  }
}

// One hidden entry, after OpenBSD's readpassphrase: echo off (ECHONL kept,
// so the line feed still shows) and typed-ahead input dropped, and the
// terminal put back on every way out, a signal included. On its controlling
// terminal only the foreground job does so: in the background the run waits,
// stopped, and leaves the terminal and what was typed at it alone. When
// standard input is not a terminal nothing changes and the line is read as it
// comes.
LineEnd read_hidden_line(TypedLine& line, const char* prompt) {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) != 0) {
    show_prompt(prompt);
    return read_entry_line(line, nullptr);
  }
  if (!wait_for_foreground()) {
    line.error = EIO;
    return LineEnd::kError;
  }
  BlockedSignals blocked(SignalSet::kTerminatingAndStops);
  // Sent to the background just now: with the stops blocked, the kernel
  // would let this run change the shell's terminal.
  if (!in_foreground()) return LineEnd::kInterrupted;
  g_saved_terminal = saved;
  SignalGuard guard(SignalSet::kTerminatingAndStops, restore_terminal);
  termios hidden = saved;
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  hidden.c_lflag |= ECHONL;
  g_terminal_hidden = 1;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);  // may fail harmlessly; entry goes on
  show_prompt(prompt);
  LineEnd end = read_entry_line(line, &blocked.previous());
  restore_terminal();
  guard.release();
  return end;  // signals that came meanwhile are taken as the mask comes back
}

// What an entry that read a line leaves in buffer, and whether it stands:
// the bytes as typed, or the text converted. Nothing is cut: a value over
// `limit` is refused, its bytes in size (as typed, for a line longer than
// the staging area). An empty value asks again unless empty_ok.
// The rules a value meets, once in its stored form: no NUL byte, not empty
// where one is required, within the limit, and (job accounting, stored as
// typed) nothing that would end the key line when a driver reads it back.
EntryResult judge(std::string_view value, int limit, bool empty_ok, bool converted) {
  if (value.find('\0') != std::string_view::npos) return EntryResult::kNulByte;
  if (value.empty()) return empty_ok ? EntryResult::kAccepted : EntryResult::kAskAgain;
  if (value.size() > static_cast<std::size_t>(limit)) return EntryResult::kTooLong;
  if (converted) return EntryResult::kAccepted;
  for (unsigned char c : value) {
    if (is_line_break(c)) return EntryResult::kLineBreak;
  }
  return EntryResult::kAccepted;
}

EntryResult finish_entry(LineEnd end, const TypedLine& line, bool convert, ValueBuffer buffer,
                         int limit, bool empty_ok, std::size_t& size) {
  wipe_bytes(buffer.data(), buffer.size());
  switch (end) {
    case LineEnd::kLineFeed:
      break;
    case LineEnd::kEndOfInput:
    case LineEnd::kInterrupted:
      return EntryResult::kEndOfInput;
    case LineEnd::kError:
      errno = line.error;
      return EntryResult::kReadError;
  }
  if (line.nul) return EntryResult::kNulByte;
  size = line.count;
  if (line.count > kStagedBytes) return EntryResult::kTooLong;
  const std::string_view typed = line.text();
  if (!convert) {
    const EntryResult judged = judge(typed, limit, empty_ok, false);
    if (judged == EntryResult::kAccepted) typed.copy(buffer.data(), typed.size());
    return judged;
  }
  if (typed.empty()) return empty_ok ? EntryResult::kAccepted : EntryResult::kAskAgain;
  SecretText converted;
  // Typed, but not text in any encoding of the locale: never stored as an
  // empty value, nor as a guess.
  if (!convert_to_utf8(line.staged.data(), &converted)) return EntryResult::kUnconvertible;
  size = converted.size();
  const EntryResult judged = judge(converted.view(), limit, empty_ok, true);
  if (judged == EntryResult::kAccepted) converted.view().copy(buffer.data(), converted.size());
  return judged;
}

// "id : " or "user name : ", and one line.
EntryResult ask_id(ValueBuffer buffer, CredentialKind kind, std::size_t& size) {
  TypedLine line;
  // Any kind but these two is taken as job accounting.
  const bool convert = has_user_name(kind);
  show_prompt(convert ? "user name : " : "id : ");
  LineEnd end = read_entry_line(line, nullptr);
  return finish_entry(end, line, convert, buffer, entry_limit(kind, false), false, size);
}

// "pin : " (or the prompt given), and one line with echo off.
EntryResult ask_password(ValueBuffer buffer, CredentialKind kind, std::size_t& size,
                         const char* prompt = "pin : ") {
  TypedLine line;
  LineEnd end;
  // Stopped and continued: the line is abandoned; hide the entry again and
  // ask anew.
  while ((end = read_hidden_line(line, prompt)) == LineEnd::kInterrupted) {
  }
  return finish_entry(end, line, has_user_name(kind), buffer, entry_limit(kind, true),
                      kind != CredentialKind::kSecuredPrint, size);
}

// The PIN or password once more, through the same hidden entry and rules:
// nobody can read back what was typed blind, so a slip would be found only
// at the printer. Accepted when it is the value in password, as stored; the
// end of the input or a failed read as such; anything else (a refused value
// too, which cannot be the accepted first one) is a mismatch.
EntryResult confirm_password(ValueBuffer password, CredentialKind kind, std::size_t& size) {
  SecretArray<kValueBufferSize> again;
  const EntryResult result = ask_password(ValueBuffer(again.bytes), kind, size, "pin (again) : ");
  if (result == EntryResult::kEndOfInput || result == EntryResult::kReadError) return result;
  // Both buffers were zero-filled before their value went in.
  if (result == EntryResult::kAccepted &&
      std::equal(password.begin(), password.end(), again.bytes.begin())) {
    return EntryResult::kAccepted;
  }
  wipe_bytes(password.data(), password.size());
  return EntryResult::kMismatch;
}

}  // namespace

EntryResult judge_value(CredentialKind kind, bool password, std::string_view value) {
  // Deliberate: an empty PIN or password is kept, but not for secured print.
  const bool empty_ok = password && kind != CredentialKind::kSecuredPrint;
  return judge(value, entry_limit(kind, password), empty_ok, has_user_name(kind));
}

bool ask_credentials(CredentialKind kind, ValueBuffer id, ValueBuffer password,
                     EntryReporter report) {
  // Someone at a terminal can type a refused value again; from a pipe or a
  // file the next line is the next answer, and taking it as the retry would
  // shift every answer after it.
  const bool retype = isatty(STDIN_FILENO) == 1;
  for (bool asking_password : {false, true}) {
    for (;;) {
      std::size_t size = 0;
      EntryResult result =
          asking_password ? ask_password(password, kind, size) : ask_id(id, kind, size);
      if (result == EntryResult::kAccepted && asking_password && retype) {
        result = confirm_password(password, kind, size);
      }
      if (result == EntryResult::kAccepted) break;
      const bool again =
          result == EntryResult::kAskAgain ||
          (retype && result != EntryResult::kEndOfInput && result != EntryResult::kReadError);
      report(kind, asking_password, result, size, again);
      if (!again) return false;
    }
  }
  return true;
}
