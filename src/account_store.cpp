// SPDX-License-Identifier: Apache-2.0
#include "account_store.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "base64.h"
#include "unique_fd.h"

#ifndef VELMORA_ACCOUNT_DIR
#error "VELMORA_ACCOUNT_DIR must name the account directory"
#endif

namespace {

constexpr char kAccountDir[] = VELMORA_ACCOUNT_DIR;
static_assert(sizeof(kAccountDir) > 1 && sizeof(kAccountDir) - 1 < kMaxPathBytes,
              "the account directory must leave room for file names");

// The bound lines are formatted with: kMaxFormattedLine bytes and the NUL.
constexpr int kFormatBound = kMaxFormattedLine + 1;
using LineBuffer = SecretArray<kFormatBound + 2>;

// Records why an update gives up; false, for `return fail(...)`.
bool fail(StoreError* error, StoreStep step, std::string path, int err) {
  error->step = step;
  error->error = err;
  error->path = std::move(path);
  errno = err;
  return false;
}

bool is_line_break(unsigned char c) { return c == '\n' || c == '\r' || c == 0xFF; }

// Appends the bytes of a line's text, which ends at its first zero byte.
void append_text(SecretText& pending, const char* bytes, std::size_t n) {
  pending.append(bytes, strnlen(bytes, n));
}

// Formats into out with the store's bound; false when the text would be cut.
__attribute__((format(printf, 2, 0))) bool vformat_bounded(LineBuffer& out, const char* format,
                                                           va_list args) {
  out.zero();
  int n = std::vsnprintf(out.data(), kFormatBound, format, args);
  return n >= 0 && n < kFormatBound;
}

__attribute__((format(printf, 2, 3))) bool format_bounded(LineBuffer& out, const char* format,
                                                          ...) {
  va_list args;
  va_start(args, format);
  bool whole = vformat_bounded(out, format, args);
  va_end(args);
  return whole;
}

bool starts_with(std::string_view line, const char* prefix) {
  return line.substr(0, std::strlen(prefix)) == prefix;
}

// Text written inside one line (a printer name, a value stored as typed) must
// not itself hold a line break, or the next read would split the line.
bool fits_on_one_line(const char* text) {
  if (text == nullptr) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (is_line_break(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

// Signals whose default action ends the run and that the terminal or another
// process can send. While a replacement file is held they remove it first, so
// that an interrupted run does not block every later update of the file.
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM,
                                   SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};
constexpr std::size_t kCleanupCount = std::size(kCleanupSignals);

// Holds the cleanup signals back for its lifetime, so that the handler never
// sees a half-recorded file.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kCleanupSignals) sigaddset(&set, signo);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  ~BlockedSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// Unlinks path only if it still names the file (dev, ino). Async-signal-safe.
void unlink_if_same(const char* path, dev_t dev, ino_t ino) {
  struct stat st {};
  if (lstat(path, &st) == 0 && st.st_dev == dev && st.st_ino == ino) ::unlink(path);
}

extern "C" void remove_replacement_on_signal(int signo);

// The replacement file of one update, after git's lock files. Calling
// sequence: create() exclusively beside the target, write() the new content
// line by line, commit() to rename it onto the target. Every other way out
// (an error, an exception, the end of scope, a signal from the cleanup list)
// removes it again, but only while its name still refers to the file this
// run created: a file someone else made is never removed.
class ReplacementFile {
 public:
  ReplacementFile(std::string path, std::string target, StoreError* error)
      : path_(std::move(path)), target_(std::move(target)), error_(error) {}
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile() { rollback(); }

  // Creates the file with exactly `mode`, whatever the umask: drivers running
  // as other users must be able to read the status file, and a user's own
  // file must stay readable by the next run.
  bool create(mode_t mode) {
    BlockedSignals blocked;
    fd_ = UniqueFd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd_.valid()) {
      int err = errno;
      struct stat st {};
      if (err == EEXIST && lstat(path_.c_str(), &st) == 0) error_->owner = st.st_uid;
      return fail(error_, StoreStep::kCreate, path_, err);
    }
    struct stat st {};
    if (fchmod(fd_.get(), mode) != 0 || fstat(fd_.get(), &st) != 0) {
      int err = errno;
      ::unlink(path_.c_str());  // just created exclusively: ours
      fd_.reset();
      return fail(error_, StoreStep::kCreate, path_, err);
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    created_ = true;
    arm();
    return true;
  }

  bool write(const char* data, std::size_t length) {
    if (file_write(fd_.get(), data, length) != 0) {
      return fail(error_, StoreStep::kWrite, path_, errno);
    }
    return true;
  }

  bool write_formatted(const LineBuffer& line) {
    return write(line.data(), std::strlen(line.data()));
  }

  // Formats one line and writes it; a line the bound would cut is refused.
  __attribute__((format(printf, 2, 3))) bool write_line(const char* format, ...) {
    LineBuffer line;
    va_list args;
    va_start(args, format);
    bool whole = vformat_bounded(line, format, args);
    va_end(args);
    if (!whole) return fail(error_, StoreStep::kLineTooLong, path_, EOVERFLOW);
    return write_formatted(line);
  }

  // Puts the file in its target's place. The final fsync catches a failed
  // write-back of the last line, which sync() alone would not report; the
  // directory fsync makes the rename itself durable.
  bool commit() {
    if (fsync(fd_.get()) != 0) return fail(error_, StoreStep::kWrite, path_, errno);
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
      int err = errno;
      error_->target = target_;
      return fail(error_, StoreStep::kRename, path_, err);
    }
    {
      BlockedSignals blocked;
      disarm();
      committed_ = true;
    }
    fd_.reset();
    std::string directory(account_directory());
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || fsync(dir.get()) != 0) {
      error_->target = target_;
      return fail(error_, StoreStep::kSyncDirectory, directory, errno);
    }
    return true;
  }

  // Runs in the signal handler: removes the held file, puts the previous
  // dispositions back and sends the signal again, so that the run ends the
  // way it would have without us.
  static void on_signal(int signo) {
    int saved = errno;
    if (held_.armed != 0) unlink_if_same(held_.path, held_.dev, held_.ino);
    disarm();
    raise(signo);  // blocked until the handler returns, then taken as before
    errno = saved;
  }

 private:
  void rollback() noexcept {
    if (!created_ || committed_) return;
    int saved = errno;
    {
      BlockedSignals blocked;
      if (held_.armed != 0) unlink_if_same(path_.c_str(), dev_, ino_);
      disarm();
    }
    fd_.reset();
    created_ = false;
    errno = saved;
  }

  // Records the file for the handler and catches the cleanup signals. A
  // signal the caller ignores stays ignored. Called with them blocked.
  void arm() {
    static_assert(sizeof(held_.path) > kMaxPathBytes);
    std::memcpy(held_.path, path_.c_str(), path_.size() + 1);
    held_.dev = dev_;
    held_.ino = ino_;
    struct sigaction action {};
    action.sa_handler = remove_replacement_on_signal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : kCleanupSignals) sigaddset(&action.sa_mask, signo);
    for (std::size_t i = 0; i < kCleanupCount; ++i) {
      held_.caught[i] = false;
      if (sigaction(kCleanupSignals[i], nullptr, &held_.previous[i]) != 0 ||
          held_.previous[i].sa_handler == SIG_IGN) {
        continue;
      }
      held_.caught[i] = sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
    held_.armed = 1;
  }

  static void disarm() {
    held_.armed = 0;
    for (std::size_t i = 0; i < kCleanupCount; ++i) {
      if (held_.caught[i]) sigaction(kCleanupSignals[i], &held_.previous[i], nullptr);
      held_.caught[i] = false;
    }
  }

  // What the handler needs. A run holds one replacement file at a time, so
  // there is one slot; it changes only while the cleanup signals are blocked.
  struct Held {
    volatile sig_atomic_t armed = 0;
    char path[kMaxPathBytes + 1] = {};
    dev_t dev = 0;
    ino_t ino = 0;
    struct sigaction previous[kCleanupCount] = {};
    bool caught[kCleanupCount] = {};
  };
  static Held held_;

  std::string path_;
  std::string target_;
  StoreError* error_;
  UniqueFd fd_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool created_ = false;
  bool committed_ = false;
};

ReplacementFile::Held ReplacementFile::held_;

extern "C" void remove_replacement_on_signal(int signo) { ReplacementFile::on_signal(signo); }

// Why a file found under an account file's name must not be adopted, or kNone.
// The directory is writable by everyone: a neighbour may have planted a link,
// a FIFO, a hard link to someone's secrets, or a file of their own.
StoreStep distrust(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return StoreStep::kNotRegularFile;
  if (st.st_uid != getuid()) return StoreStep::kNotOwner;
  if (st.st_nlink != 1) return StoreStep::kHardLinked;
  return StoreStep::kNone;
}

void refuse(StoreError* error, StoreStep step, const std::string& path, const struct stat& st) {
  error->owner = st.st_uid;
  error->links = st.st_nlink;
  fail(error, step, path, step == StoreStep::kHardLinked ? EMLINK : EPERM);
}

enum class OldFile { kOpened, kMissing, kRefused };

// Opens the old file for reading, if it is one this run may adopt (see
// distrust); O_NOFOLLOW and O_NONBLOCK keep a planted link from being followed
// and a planted FIFO from hanging the run. Anything refused is recorded in
// *error with its owner, and left exactly as it is.
OldFile open_old_file(const std::string& path, UniqueFd* fd, StoreError* error) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  const int open_error = file.valid() ? 0 : errno;
  if (open_error == ENOENT) return OldFile::kMissing;
  // What stands under the name, also when it cannot be opened: that is
  // usually someone else's file, and the user must learn whose.
  struct stat st {};
  const bool seen = file.valid() ? fstat(file.get(), &st) == 0 : lstat(path.c_str(), &st) == 0;
  const int stat_error = seen ? 0 : errno;
  if (seen) {
    if (StoreStep why = distrust(st); why != StoreStep::kNone) {
      refuse(error, why, path, st);
      return OldFile::kRefused;
    }
  }
  if (open_error != 0 || !seen) {
    fail(error, StoreStep::kOpen, path, open_error != 0 ? open_error : stat_error);
    return OldFile::kRefused;
  }
  *fd = std::move(file);
  return OldFile::kOpened;
}

// Turns the end of a pass into the update's result.
bool finish_pass(ReadStatus status, const std::string& path, StoreError* error) {
  switch (status) {
    case ReadStatus::kEnd:
      return true;
    case ReadStatus::kReadError:
      return fail(error, StoreStep::kRead, path, errno);
    case ReadStatus::kNoMemory:
      return fail(error, StoreStep::kMemory, path, ENOMEM);
    case ReadStatus::kStopped:
      break;  // the handler recorded why
  }
  return false;
}

// ---- Credential file ------------------------------------------------------

struct KindKeys {
  const char* id;        // prefix of the ID or user name line
  const char* password;  // prefix of the PIN or password line
};

// Deliberate: these prefixes are what drivers read; none begins another.
const KindKeys& keys_of(CredentialKind kind) {
  static constexpr KindKeys kJobAccounting{"id=", "password="};
  static constexpr KindKeys kUserAuthentication{"u_id=", "u_password="};
  static constexpr KindKeys kSecuredPrint{"s_id=", "s_password="};
  switch (kind) {
    case CredentialKind::kUserAuthentication:
      return kUserAuthentication;
    case CredentialKind::kSecuredPrint:
      return kSecuredPrint;
    case CredentialKind::kJobAccounting:
    case CredentialKind::kNone:
      break;
  }
  return kJobAccounting;
}

bool is_key_of(std::string_view line, const KindKeys& keys) {
  return starts_with(line, keys.id) || starts_with(line, keys.password);
}

// Tags match only whole, in the same case: "<%s>" and "</%s>" filled with the
// printer name. Deliberate: drivers find sections the same way.
bool is_opening_tag(const char* printer, const SecretText& line) {
  return line.view().starts_with('<') && check_printer_name(printer, line.c_str(), "<%s>") == 0;
}
bool is_closing_tag(const char* printer, const SecretText& line) {
  return line.view().starts_with("</") && check_printer_name(printer, line.c_str(), "</%s>") == 0;
}

class CredentialUpdate {
 public:
  CredentialUpdate(const char* printer, CredentialKind kind, bool remove, const char* id,
                   const char* password, StoreError* error)
      : printer_(printer), kind_(kind), keys_(keys_of(kind)), remove_(remove), id_(id),
        password_(password), error_(error) {}

  bool run(const char* owner);

 private:
  bool write_key(ReplacementFile& out, const char* prefix, const char* value) {
    return out.write_line("%s%s\n", prefix, value);
  }
  bool write_section(ReplacementFile& out) {
    return out.write_line("<%s>\n", printer_) && write_key(out, keys_.id, id_) &&
           write_key(out, keys_.password, password_) && out.write_line("</%s>\n", printer_);
  }

  bool scan(int fd);
  bool copy(int fd, ReplacementFile& out);

  const char* printer_;
  CredentialKind kind_;
  const KindKeys& keys_;
  bool remove_;
  const char* id_;        // as stored: typed (job accounting) or Base64
  const char* password_;  // likewise
  StoreError* error_;
  std::string conf_path_;
  bool other_kinds_present_ = false;
};

// Decides, for a remove, whether the printer's section holds keys of another
// kind and so must keep its tags.
bool CredentialUpdate::scan(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) {
    other_kinds_present_ = true;  // cannot tell: keep the tags
    return true;
  }
  bool inside = false;
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    if (is_opening_tag(printer_, line)) {
      inside = true;
    } else if (is_closing_tag(printer_, line)) {
      inside = false;
    } else if (inside) {
      for (CredentialKind other : kCredentialKinds) {
        if (other != kind_ && is_key_of(line.view(), keys_of(other))) other_kinds_present_ = true;
      }
    }
    return true;
  });
  return finish_pass(status, conf_path_, error_);
}

bool CredentialUpdate::copy(int fd, ReplacementFile& out) {
  if (lseek(fd, 0, SEEK_SET) != 0) return fail(error_, StoreStep::kRead, conf_path_, errno);
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind a set has written so far. Once both are, no
  // later section gets them again.
  bool id_written = false;
  bool password_written = false;
  // Deliberate: a remove that leaves no key of another kind drops the tags
  // too, and any other line of the section stays where it was.
  const bool keep_tags = !remove_ || other_kinds_present_;
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    if (is_opening_tag(printer_, line)) {
      state = State::kInside;
      return !keep_tags || out.write_line("<%s>\n", printer_);
    }
    if (is_closing_tag(printer_, line)) {
      state = State::kAfter;
      if (!remove_) {
        // A set leaves both key lines in the section: whichever it has not
        // written goes right before the closing tag.
        if (!id_written && !write_key(out, keys_.id, id_)) return false;
        if (!password_written && !write_key(out, keys_.password, password_)) return false;
        id_written = password_written = true;
      }
      return !keep_tags || out.write_line("</%s>\n", printer_);
    }
    if (state == State::kInside && is_key_of(line.view(), keys_)) {
      if (remove_) return true;
      // Each key line is rewritten where it stands, duplicates included.
      if (starts_with(line.view(), keys_.id)) {
        id_written = true;
        return write_key(out, keys_.id, id_);
      }
      password_written = true;
      return write_key(out, keys_.password, password_);
    }
    line.push_back('\n');
    return out.write(line.c_str(), line.size());
  });
  if (!finish_pass(status, conf_path_, error_)) return false;
  // Deliberate: a printer without a section gets one at the end of the file.
  if (!remove_ && state == State::kBefore) return write_section(out);
  // A set cannot tell where such a section ends, so drivers might never see
  // the new values: refuse it rather than report success.
  if (!remove_ && state == State::kInside) {
    return fail(error_, StoreStep::kUnclosedSection, conf_path_, EINVAL);
  }
  return true;
}

bool CredentialUpdate::run(const char* owner) {
  bool cut_conf = false;
  bool cut_new = false;
  auto conf = make_file_path(kPathFormOwner, owner, ".conf", &cut_conf);
  auto next = make_file_path(kPathFormOwner, owner, ".conf.new", &cut_new);
  if (!conf || !next) return fail(error_, StoreStep::kMemory, "", ENOMEM);
  conf_path_ = std::move(*conf);
  if (cut_conf || cut_new) return fail(error_, StoreStep::kPathTooLong, conf_path_, ENAMETOOLONG);

  ReplacementFile out(std::move(*next), conf_path_, error_);
  if (!out.create(0600)) return false;

  UniqueFd old;
  OldFile opened = open_old_file(conf_path_, &old, error_);
  if (opened == OldFile::kRefused) return false;
  if (opened == OldFile::kMissing) {
    if (remove_) return fail(error_, StoreStep::kNothingToRemove, conf_path_, ENOENT);
    if (!write_section(out)) return false;
  } else {
    if (remove_ && !scan(old.get())) return false;
    if (!copy(old.get(), out)) return false;
  }
  return out.commit();
}

// ---- Status file ----------------------------------------------------------

// Deliberate: the values drivers read; any kind but these two is "OFF".
const char* status_value(CredentialKind kind) {
  if (kind == CredentialKind::kJobAccounting) return "ON";
  if (kind == CredentialKind::kUserAuthentication) return "U_ON";
  return "OFF";
}

bool update_status(const char* printer, CredentialKind kind, StoreError* error) {
  bool cut_old = false;
  bool cut_new = false;
  auto path = make_file_path(kPathFormShared, nullptr, "status", &cut_old);
  auto next = make_file_path(kPathFormShared, nullptr, "status.new", &cut_new);
  if (!path || !next) return fail(error, StoreStep::kMemory, "", ENOMEM);
  if (cut_old || cut_new) return fail(error, StoreStep::kPathTooLong, *path, ENAMETOOLONG);

  LineBuffer new_line;
  if (!format_bounded(new_line, "<%s>%s</%s>\n", printer, status_value(kind), printer)) {
    return fail(error, StoreStep::kLineTooLong, *next, EOVERFLOW);
  }
  // A line is the printer's status line exactly when it is one of these three.
  // Deliberate: any other spelling, case or printer name is copied as it is.
  LineBuffer known[3];
  const char* values[] = {"ON", "U_ON", "OFF"};
  bool formatted[3];
  for (int i = 0; i < 3; ++i) {
    formatted[i] = format_bounded(known[i], "<%s>%s</%s>", printer, values[i], printer);
  }
  auto is_status_line = [&](std::string_view line) {
    if (line.empty() || line[0] != '<') return false;
    for (int i = 0; i < 3; ++i) {
      if (formatted[i] && line == known[i].data()) return true;
    }
    return false;
  };

  ReplacementFile out(*next, *path, error);
  if (!out.create(0644)) return false;

  UniqueFd old;
  OldFile opened = open_old_file(*path, &old, error);
  if (opened == OldFile::kRefused) return false;
  bool found = false;
  if (opened == OldFile::kOpened) {
    ReadStatus status = read_account_lines(old.get(), [&](SecretText& line) {
      // Every status line of the printer is replaced, not only the first.
      if (is_status_line(line.view())) {
        found = true;
        return out.write_formatted(new_line);
      }
      line.push_back('\n');
      return out.write(line.c_str(), line.size());
    });
    if (!finish_pass(status, *path, error)) return false;
  }
  if (!found && !out.write_formatted(new_line)) return false;
  return out.commit();
}

}  // namespace

// ---- Public functions -----------------------------------------------------

std::string_view account_directory() { return {kAccountDir, sizeof(kAccountDir) - 1}; }

std::optional<std::string> make_file_path(int form, const char* owner, const char* suffix,
                                          bool* cut) {
  char buffer[kMaxPathBytes + 1] = {};
  std::size_t used = 0;
  bool was_cut = false;
  auto append = [&](const char* piece) {
    std::size_t n = std::strlen(piece);
    std::size_t room = kMaxPathBytes - used;
    if (n > room) {
      n = room;
      was_cut = true;
    }
    std::memcpy(buffer + used, piece, n);
    used += n;
  };
  append(kAccountDir);
  append("/");
  if (form == kPathFormOwner) append(owner != nullptr ? owner : "root");
  append(suffix != nullptr ? suffix : "");
  if (cut != nullptr) *cut = was_cut;
  try {
    return std::string(buffer, used);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int get_line_from_buffer(SecretText& pending, const char* chunk, int start, int length) {
  try {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk);
    for (int at = start; at < length; ++at) {
      unsigned char c = bytes[at];
      if (!is_line_break(c)) continue;
      int i = at - start;
      append_text(pending, chunk + start, static_cast<std::size_t>(i));
      // Deliberate (the files' line format): CR LF, LF CR, LF LF and CR CR
      // end one line, so a blank line after a line break vanishes; 0xFF
      // always takes the byte after it. The byte after the chunk's last is
      // its trailing 0.
      unsigned char next = bytes[at + 1];
      bool pair = c == 0xFF || next == '\n' || next == '\r';
      return i + (pair ? 2 : 1);
    }
    if (start < length) append_text(pending, chunk + start, static_cast<std::size_t>(length - start));
    return -1;
  } catch (const std::bad_alloc&) {
    return -2;
  }
}

ReadStatus read_account_lines(int fd, const LineHandler& handle) {
  SecretArray<kChunkLength + 1> chunk;
  SecretText pending;
  for (;;) {
    ssize_t got = ::read(fd, chunk.data(), kChunkLength);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::kReadError;
    }
    if (got == 0) break;
    int offset = 0;
    while (offset < got) {
      int used = get_line_from_buffer(pending, chunk.data(), offset, kChunkLength);
      if (used == -1) break;
      if (used == -2) {
        errno = ENOMEM;
        return ReadStatus::kNoMemory;
      }
      if (!handle(pending)) return ReadStatus::kStopped;
      pending.clear();
      offset += used;
    }
    chunk.zero();
  }
  // A last line without a line break is still a line.
  if (!pending.empty() && !handle(pending)) return ReadStatus::kStopped;
  return ReadStatus::kEnd;
}

int file_write(int fd, const char* data, std::size_t length) {
  // Deliberate: durability before speed, an fsync before and a sync after
  // every line, so whatever was written is on disk whenever the run ends.
  if (fsync(fd) != 0) return -1;
  std::size_t total = 0;
  while (total < length) {
    ssize_t n = ::write(fd, data + total, length - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;  // no progress: give up rather than spin
      return -1;
    }
    total += static_cast<std::size_t>(n);
  }
  sync();
  return 0;
}

int check_printer_name(const char* printer, const char* line, const char* format) {
  if (printer == nullptr || line == nullptr || format == nullptr) return 1;
  SecretArray<kFormatBound + 1> tag;
  int n = std::snprintf(tag.data(), kFormatBound, format, printer);
  // A tag that does not fit is not the tag: never match its cut form.
  if (n < 0 || n >= kFormatBound) return 1;
  return std::strcmp(line, tag.data());
}

int save_account_conf(const char* printer, const char* owner, const char* id,
                      const char* password, int remove, int kind, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  const CredentialKind credential = kind_from_number(kind);
  if (!fits_on_one_line(printer) || credential == CredentialKind::kNone) {
    fail(error, StoreStep::kArguments, "", EINVAL);
    return 1;
  }
  try {
    SecretText encoded_id;
    SecretText encoded_password;
    if (remove == 0) {
      if (id == nullptr || password == nullptr) {
        fail(error, StoreStep::kArguments, "", EINVAL);
        return 1;
      }
      if (!has_user_name(credential)) {
        // Deliberate: job accounting values are stored as typed. So a line
        // break inside would split the key line.
        if (!fits_on_one_line(id) || !fits_on_one_line(password)) {
          fail(error, StoreStep::kArguments, "", EINVAL);
          return 1;
        }
      } else {
        if (util_encodeBase64(id, &encoded_id) != 0 ||
            util_encodeBase64(password, &encoded_password) != 0) {
          fail(error, StoreStep::kMemory, "", ENOMEM);
          return 1;
        }
        id = encoded_id.c_str();
        password = encoded_password.c_str();
      }
    }
    CredentialUpdate update(printer, credential, remove != 0, id, password, error);
    return update.run(owner) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return 1;
  }
}

int save_account_status(const char* printer, int kind, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  if (!fits_on_one_line(printer)) {
    fail(error, StoreStep::kArguments, "", EINVAL);
    return 1;
  }
  try {
    return update_status(printer, kind_from_number(kind), error) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return 1;
  }
}
