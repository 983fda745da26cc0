// SPDX-License-Identifier: Apache-2.0
#include "account_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "account_directory.h"
#include "base64.h"
#include "line_reader.h"
#include "replacement_file.h"
#include "unique_fd.h"

namespace {

bool starts_with(std::string_view line, const char* prefix) {
  return line.substr(0, std::strlen(prefix)) == prefix;
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

  std::optional<AccountDirectory> dir = AccountDirectory::open(error_);
  if (!dir) return false;
  const std::string conf_name = name_in_directory(conf_path_);
  ReplacementFile out(*dir, name_in_directory(*next), conf_name, error_);
  if (!out.create(0600)) return false;

  UniqueFd old;
  OldFile opened = open_old_file(*dir, conf_name, FileUse::kPrivate, &old, error_);
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
  if (!format_line(new_line, "<%s>%s</%s>\n", printer, status_value(kind), printer)) {
    return fail(error, StoreStep::kLineTooLong, *next, EOVERFLOW);
  }
  // A line is the printer's status line exactly when it is one of these three.
  // Deliberate: any other spelling, case or printer name is copied as it is.
  LineBuffer known[3];
  const char* values[] = {"ON", "U_ON", "OFF"};
  bool formatted[3];
  for (int i = 0; i < 3; ++i) {
    formatted[i] = format_line(known[i], "<%s>%s</%s>", printer, values[i], printer);
  }
  auto is_status_line = [&](std::string_view line) {
    if (line.empty() || line[0] != '<') return false;
    for (int i = 0; i < 3; ++i) {
      if (formatted[i] && line == known[i].data()) return true;
    }
    return false;
  };

  std::optional<AccountDirectory> dir = AccountDirectory::open(error);
  if (!dir) return false;
  ReplacementFile out(*dir, name_in_directory(*next), name_in_directory(*path), error);
  if (!out.create(0644)) return false;

  UniqueFd old;
  OldFile opened = open_old_file(*dir, name_in_directory(*path), FileUse::kPublic, &old, error);
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
