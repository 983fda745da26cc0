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

// Lines the store formats itself are cut at this many bytes, line feed
// included; a line that would be cut is refused instead.
constexpr int kFormatBound = 511;
using LineBuffer = SecretArray<kFormatBound + 2>;

int fail(StoreError* error, StoreStep step, std::string path, int err) {
  error->step = step;
  error->error = err;
  error->path = std::move(path);
  errno = err;
  return 1;
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
  int create(mode_t mode) {
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
    return 0;
  }

  int write(const char* data, std::size_t length) {
    if (file_write(fd_.get(), data, length) != 0) {
      return fail(error_, StoreStep::kWrite, path_, errno);
    }
    return 0;
  }

  int write_formatted(const LineBuffer& line) {
    return write(line.data(), std::strlen(line.data()));
  }

  // Formats one line and writes it; a line the bound would cut is refused.
  __attribute__((format(printf, 2, 3))) int write_line(const char* format, ...) {
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
  int commit() {
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
    return 0;
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

int refuse(StoreError* error, StoreStep step, const std::string& path, const struct stat& st) {
  error->owner = st.st_uid;
  error->links = st.st_nlink;
  return fail(error, step, path, step == StoreStep::kHardLinked ? EMLINK : EPERM);
}

enum class OldFile { kOpened, kMissing, kRefused };

// Opens the old file for reading, if it is one this run may adopt (see
// distrust); O_NOFOLLOW and O_NONBLOCK keep a planted link from being followed
// and a planted FIFO from hanging the run. Anything refused is recorded in
// *error with its owner, and left exactly as it is.
OldFile open_old_file(const std::string& path, UniqueFd* fd, StoreError* error) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file.valid()) {
    int err = errno;
    if (err == ENOENT) return OldFile::kMissing;
    // A file that cannot be opened is usually someone else's: say whose.
    if (lstat(path.c_str(), &st) != 0) {
      fail(error, StoreStep::kOpen, path, err);
      return OldFile::kRefused;
    }
    if (StoreStep why = distrust(st); why != StoreStep::kNone) {
      refuse(error, why, path, st);
      return OldFile::kRefused;
    }
    fail(error, StoreStep::kOpen, path, err);
    return OldFile::kRefused;
  }
  if (fstat(file.get(), &st) != 0) {
    fail(error, StoreStep::kOpen, path, errno);
    return OldFile::kRefused;
  }
  if (StoreStep why = distrust(st); why != StoreStep::kNone) {
    refuse(error, why, path, st);
    return OldFile::kRefused;
  }
  *fd = std::move(file);
  return OldFile::kOpened;
}

// Turns the end of a pass into the update's result.
int finish_pass(ReadStatus status, const std::string& path, StoreError* error) {
  switch (status) {
    case ReadStatus::kEnd:
      return 0;
    case ReadStatus::kReadError:
      return fail(error, StoreStep::kRead, path, errno);
    case ReadStatus::kNoMemory:
      return fail(error, StoreStep::kMemory, path, ENOMEM);
    case ReadStatus::kStopped:
      return 1;  // the handler recorded why
  }
  return 1;
}

// ---- Credential file ------------------------------------------------------

struct KindKeys {
  const char* id;        // prefix of the ID or user name line
  const char* password;  // prefix of the PIN or password line
};

constexpr KindKeys kKeys[] = {
    {"id=", "password="},      // 1 job accounting
    {"u_id=", "u_password="},  // 2 user authentication
    {"s_id=", "s_password="},  // 3 secured print
};

bool is_key_of(std::string_view line, const KindKeys& keys) {
  return starts_with(line, keys.id) || starts_with(line, keys.password);
}

class CredentialUpdate {
 public:
  CredentialUpdate(const char* printer, int kind, bool remove, const char* id,
                   const char* password, StoreError* error)
      : printer_(printer), kind_(kind), remove_(remove), id_(id), password_(password),
        error_(error) {}

  int run(const char* owner);

 private:
  int write_key(ReplacementFile& out, const char* prefix, const char* value) {
    return out.write_line("%s%s\n", prefix, value);
  }
  int write_pair(ReplacementFile& out) {
    const KindKeys& keys = kKeys[kind_ - 1];
    if (write_key(out, keys.id, id_) != 0) return 1;
    return write_key(out, keys.password, password_);
  }
  int write_section(ReplacementFile& out) {
    if (out.write_line("<%s>\n", printer_) != 0 || write_pair(out) != 0) return 1;
    return out.write_line("</%s>\n", printer_);
  }

  int scan(int fd);
  int copy(int fd, ReplacementFile& out);

  const char* printer_;
  int kind_;
  bool remove_;
  const char* id_;        // as stored: typed (kind 1) or Base64
  const char* password_;  // likewise
  StoreError* error_;
  std::string conf_path_;
  bool other_kinds_present_ = false;
};

// Decides, for a remove, whether the printer's section holds keys of another
// kind and so must keep its tags.
int CredentialUpdate::scan(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) {
    other_kinds_present_ = true;  // cannot tell: keep the tags
    return 0;
  }
  bool inside = false;
  ReadStatus status = read_account_lines(fd, [&](SecretText& text) {
    std::string_view line = text.view();
    if (!line.empty() && line[0] == '<' && check_printer_name(printer_, text.c_str(), "<%s>") == 0) {
      inside = true;
    } else if (starts_with(line, "</") &&
               check_printer_name(printer_, text.c_str(), "</%s>") == 0) {
      inside = false;
    } else if (inside) {
      for (int k = 1; k <= 3; ++k) {
        if (k != kind_ && is_key_of(line, kKeys[k - 1])) other_kinds_present_ = true;
      }
    }
    return 0;
  });
  return finish_pass(status, conf_path_, error_);
}

int CredentialUpdate::copy(int fd, ReplacementFile& out) {
  if (lseek(fd, 0, SEEK_SET) != 0) return fail(error_, StoreStep::kRead, conf_path_, errno);
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind a set has written so far. Once both are, no
  // later section gets them again.
  bool id_written = false;
  bool password_written = false;
  const KindKeys& keys = kKeys[kind_ - 1];
  ReadStatus status = read_account_lines(fd, [&](SecretText& copied) {
    std::string_view line = copied.view();
    const char* text = copied.c_str();
    if (!line.empty() && line[0] == '<' && check_printer_name(printer_, text, "<%s>") == 0) {
      state = State::kInside;
      if (!remove_ || other_kinds_present_) return out.write_line("<%s>\n", printer_);
      return 0;
    }
    if (starts_with(line, "</") && check_printer_name(printer_, text, "</%s>") == 0) {
      state = State::kAfter;
      if (!remove_) {
        // A set leaves both key lines in the section: whichever it has not
        // written goes right before the closing tag.
        if (!id_written && write_key(out, keys.id, id_) != 0) return 1;
        if (!password_written && write_key(out, keys.password, password_) != 0) return 1;
        id_written = password_written = true;
      }
      if (!remove_ || other_kinds_present_) return out.write_line("</%s>\n", printer_);
      return 0;
    }
    if (state == State::kInside && is_key_of(line, keys)) {
      if (remove_) return 0;
      if (starts_with(line, keys.id)) {
        id_written = true;
        return write_key(out, keys.id, id_);
      }
      password_written = true;
      return write_key(out, keys.password, password_);
    }
    copied.push_back('\n');
    return out.write(copied.c_str(), copied.size());
  });
  if (int result = finish_pass(status, conf_path_, error_); result != 0) return result;
  if (!remove_ && state == State::kBefore) return write_section(out);
  // A set cannot tell where such a section ends, so drivers might never see
  // the new values: refuse it rather than report success.
  if (!remove_ && state == State::kInside) {
    return fail(error_, StoreStep::kUnclosedSection, conf_path_, EINVAL);
  }
  return 0;
}

int CredentialUpdate::run(const char* owner) {
  bool cut_conf = false;
  bool cut_new = false;
  auto conf = make_file_path(kPathFormOwner, owner, ".conf", &cut_conf);
  auto next = make_file_path(kPathFormOwner, owner, ".conf.new", &cut_new);
  if (!conf || !next) return fail(error_, StoreStep::kMemory, "", ENOMEM);
  conf_path_ = std::move(*conf);
  if (cut_conf || cut_new) return fail(error_, StoreStep::kPathTooLong, conf_path_, ENAMETOOLONG);

  ReplacementFile out(std::move(*next), conf_path_, error_);
  if (out.create(0600) != 0) return 1;

  UniqueFd old;
  OldFile opened = open_old_file(conf_path_, &old, error_);
  if (opened == OldFile::kRefused) return 1;
  if (opened == OldFile::kMissing) {
    if (remove_) return fail(error_, StoreStep::kNothingToRemove, conf_path_, ENOENT);
    if (write_section(out) != 0) return 1;
  } else {
    if (remove_ && scan(old.get()) != 0) return 1;
    if (copy(old.get(), out) != 0) return 1;
  }
  return out.commit();
}

// ---- Status file ----------------------------------------------------------

const char* status_value(int kind) {
  if (kind == 1) return "ON";
  if (kind == 2) return "U_ON";
  return "OFF";
}

int update_status(const char* printer, int kind, StoreError* error) {
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
  // A line is the printer's status line exactly when it is one of these three;
  // any other spelling, case or printer name is copied as it is.
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
  if (out.create(0644) != 0) return 1;

  UniqueFd old;
  OldFile opened = open_old_file(*path, &old, error);
  if (opened == OldFile::kRefused) return 1;
  bool found = false;
  if (opened == OldFile::kOpened) {
    ReadStatus status = read_account_lines(old.get(), [&](SecretText& copied) {
      if (is_status_line(copied.view())) {
        found = true;
        return out.write_formatted(new_line);
      }
      copied.push_back('\n');
      return out.write(copied.c_str(), copied.size());
    });
    if (int result = finish_pass(status, *path, error); result != 0) return result;
  }
  if (!found && out.write_formatted(new_line) != 0) return 1;
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
      // CR LF, LF CR, LF LF and CR CR end one line; 0xFF always takes the
      // byte after it. The byte after the chunk's last is its trailing 0.
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
      if (handle(pending) != 0) return ReadStatus::kStopped;
      pending.clear();
      offset += used;
    }
    chunk.zero();
  }
  // A last line without a line break is still a line.
  if (!pending.empty() && handle(pending) != 0) return ReadStatus::kStopped;
  return ReadStatus::kEnd;
}

int file_write(int fd, const char* data, std::size_t length) {
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
  SecretArray<512> tag;
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
  if (!fits_on_one_line(printer) || kind < 1 || kind > 3) {
    return fail(error, StoreStep::kArguments, "", EINVAL);
  }
  try {
    SecretText encoded_id;
    SecretText encoded_password;
    if (remove == 0) {
      if (id == nullptr || password == nullptr) return fail(error, StoreStep::kArguments, "", EINVAL);
      if (kind == 1) {
        // Stored as typed, so a line break inside would split the key line.
        for (const char* value : {id, password}) {
          if (!fits_on_one_line(value)) return fail(error, StoreStep::kArguments, "", EINVAL);
        }
      } else {
        if (util_encodeBase64(id, &encoded_id) != 0 ||
            util_encodeBase64(password, &encoded_password) != 0) {
          return fail(error, StoreStep::kMemory, "", ENOMEM);
        }
        id = encoded_id.c_str();
        password = encoded_password.c_str();
      }
    }
    CredentialUpdate update(printer, kind, remove != 0, id, password, error);
    return update.run(owner);
  } catch (const std::bad_alloc&) {
    return fail(error, StoreStep::kMemory, error->path, ENOMEM);
  }
}

int save_account_status(const char* printer, int kind, StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  if (!fits_on_one_line(printer)) return fail(error, StoreStep::kArguments, "", EINVAL);
  try {
    return update_status(printer, kind, error);
  } catch (const std::bad_alloc&) {
    return fail(error, StoreStep::kMemory, error->path, ENOMEM);
  }
}
