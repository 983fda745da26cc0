// SPDX-License-Identifier: Apache-2.0
#include "credential_file.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "account_directory.h"
#include "base64.h"
#include "line_reader.h"
#include "replacement_file.h"
#include "secret.h"
#include "unique_fd.h"

namespace {

// Tags match only whole, in the same case: "<%s>" and "</%s>" filled with the
// printer name. Deliberate: drivers find sections the same way.
bool is_opening_tag(const char* printer, const SecretText& line) {
  return line.view().starts_with('<') && check_printer_name(printer, line.c_str(), "<%s>") == TagMatch::kMatch;
}
bool is_closing_tag(const char* printer, const SecretText& line) {
  return line.view().starts_with("</") && check_printer_name(printer, line.c_str(), "</%s>") == TagMatch::kMatch;
}

class CredentialUpdate {
 public:
  CredentialUpdate(const char* printer, CredentialKind kind, bool remove, const char* id,
                   const char* password, StoreError* error)
      : printer_(printer), kind_(kind), keys_(keys_of(kind)), remove_(remove), id_(id),
        password_(password), error_(error) {}

  UpdateOutcome run(const char* owner) {
    if (update(owner)) return UpdateOutcome::kDone;
    return nothing_to_remove_ ? UpdateOutcome::kNothingToRemove : UpdateOutcome::kRefused;
  }

 private:
  bool write_key(ReplacementFile& out, const char* prefix, const char* value) {
    return out.write_line("%s%s\n", prefix, value);
  }
  bool write_section(ReplacementFile& out) {
    return out.write_line("<%s>\n", printer_) && write_key(out, keys_.id, id_) &&
           write_key(out, keys_.password, password_) && out.write_line("</%s>\n", printer_);
  }

  bool update(const char* owner);
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
  bool nothing_to_remove_ = false;
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
      if (line.view().starts_with(keys_.id)) {
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

bool CredentialUpdate::update(const char* owner) {
  bool cut_conf = false;
  bool cut_new = false;
  auto conf = make_file_path(PathForm::kOwner, owner, ".conf", &cut_conf);
  auto next = make_file_path(PathForm::kOwner, owner, ".conf.new", &cut_new);
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
    if (remove_) {
      nothing_to_remove_ = true;
      return false;
    }
    if (!write_section(out)) return false;
  } else {
    if (remove_ && !scan(old.get())) return false;
    if (!copy(old.get(), out)) return false;
  }
  return out.commit();
}

}  // namespace

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
  return line.starts_with(keys.id) || line.starts_with(keys.password);
}

UpdateOutcome save_account_conf(const char* printer, const char* owner, const char* id,
                                const char* password, bool remove, CredentialKind kind,
                                StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  auto refuse = [&](StoreStep step, int err) {
    fail(error, step, "", err);
    return UpdateOutcome::kRefused;
  };
  if (!fits_on_one_line(printer) || kind == CredentialKind::kNone) {
    return refuse(StoreStep::kArguments, EINVAL);
  }
  try {
    SecretText encoded_id;
    SecretText encoded_password;
    if (!remove) {
      if (id == nullptr || password == nullptr) return refuse(StoreStep::kArguments, EINVAL);
      if (!has_user_name(kind)) {
        // Deliberate: job accounting values are stored as typed. So a line
        // break inside would split the key line.
        if (!fits_on_one_line(id) || !fits_on_one_line(password)) {
          return refuse(StoreStep::kArguments, EINVAL);
        }
      } else {
        if (util_encodeBase64(id, &encoded_id) != 0 ||
            util_encodeBase64(password, &encoded_password) != 0) {
          return refuse(StoreStep::kMemory, ENOMEM);
        }
        id = encoded_id.c_str();
        password = encoded_password.c_str();
      }
    }
    CredentialUpdate update(printer, kind, remove, id, password, error);
    return update.run(owner);
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

