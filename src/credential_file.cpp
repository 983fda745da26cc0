// SPDX-License-Identifier: Apache-2.0
#include "credential_file.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <set>
#include <unordered_map>
#include <string>
#include <string_view>
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
  return line.view().starts_with('<') &&
         check_printer_name(printer, line.c_str(), "<%s>") == TagMatch::kMatch;
}
bool is_closing_tag(const char* printer, const SecretText& line) {
  return line.view().starts_with("</") &&
         check_printer_name(printer, line.c_str(), "</%s>") == TagMatch::kMatch;
}

// The name a tag line carries, in whatever case: "<NAME>", or "</NAME>" when
// closing; nullopt for any other line.
std::optional<std::string_view> tag_name(std::string_view line, bool closing) {
  const std::string_view start = closing ? "</" : "<";
  if (line.size() <= start.size() + 1 || !line.starts_with(start) || !line.ends_with('>')) {
    return std::nullopt;
  }
  return line.substr(start.size(), line.size() - start.size() - 1);
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

  // The spelling of the printer's section that line opens (closing: ends),
  // or nullopt. A set acts on the name as CUPS spells it only; a remove also
  // on sections in other case, which no driver reads.
  std::optional<std::string> section_tag(const SecretText& line, bool closing) const {
    if (closing ? is_closing_tag(printer_, line) : is_opening_tag(printer_, line)) return printer_;
    if (!remove_) return std::nullopt;
    std::optional<std::string_view> name = tag_name(line.view(), closing);
    if (!name || !same_but_case(*name, printer_)) return std::nullopt;
    return std::string(*name);
  }

  const char* printer_;
  CredentialKind kind_;
  const KindKeys& keys_;
  bool remove_;
  const char* id_;        // as stored: typed (job accounting) or Base64
  const char* password_;  // likewise
  StoreError* error_;
  std::string conf_path_;
  // For a remove: the spellings of the printer's sections that hold keys of
  // another kind and so keep their tags (all of them when the scan could not
  // run).
  std::set<std::string> other_kinds_present_;
  bool keep_every_tag_ = false;
  bool nothing_to_remove_ = false;
};

// Decides, for a remove, which spellings of the printer's sections hold keys
// of another kind and so must keep their tags. Deliberate: a key of another
// kind in any section of a spelling keeps the tags of all its sections.
bool CredentialUpdate::scan(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) {
    keep_every_tag_ = true;  // cannot tell: keep the tags
    return true;
  }
  std::optional<std::string> inside;
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    if (std::optional<std::string> opened = section_tag(line, false)) {
      inside = std::move(opened);
    } else if (section_tag(line, true)) {
      inside.reset();
    } else if (inside) {
      for (CredentialKind other : kCredentialKinds) {
        if (other != kind_ && is_key_of(line.view(), keys_of(other))) {
          other_kinds_present_.insert(*inside);
        }
      }
    }
    return true;
  });
  return finish_pass(status, conf_path_, error_);
}

bool CredentialUpdate::copy(int fd, ReplacementFile& out) {
  if (lseek(fd, 0, SEEK_SET) != 0) return fail(error_, StoreStep::kRead, conf_path_, errno);
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind a set has written in the current section:
  // each section of the printer ends up holding both.
  bool id_written = false;
  bool password_written = false;
  // Deliberate: a remove that leaves no key of another kind drops the tags
  // too, and any other line of the section stays where it was. Kept tags
  // are written as they stood.
  auto keep_tags = [&](const std::string& spelling) {
    return !remove_ || keep_every_tag_ || other_kinds_present_.contains(spelling);
  };
  auto copy_line = [&](SecretText& line) {
    line.push_back('\n');
    return out.write(line.c_str(), line.size());
  };
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    if (std::optional<std::string> spelling = section_tag(line, false)) {
      state = State::kInside;
      id_written = password_written = false;
      return !keep_tags(*spelling) || copy_line(line);
    }
    if (std::optional<std::string> spelling = section_tag(line, true)) {
      state = State::kAfter;
      if (!remove_) {
        // A set leaves both key lines in the section: whichever it has not
        // written goes right before the closing tag.
        if (!id_written && !write_key(out, keys_.id, id_)) return false;
        if (!password_written && !write_key(out, keys_.password, password_)) return false;
        id_written = password_written = true;
      }
      return !keep_tags(*spelling) || copy_line(line);
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
    return copy_line(line);
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
  OldFile opened = open_old_file(*dir, conf_name, FileUse::kPrivate, getuid(), &old, error_);
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


bool check_credential_file(const char* owner, StoreError* error) {
  *error = StoreError{};
  bool cut_conf = false;
  bool cut_new = false;
  auto conf = make_file_path(PathForm::kOwner, owner, ".conf", &cut_conf);
  auto next = make_file_path(PathForm::kOwner, owner, ".conf.new", &cut_new);
  if (!conf || !next) return fail(error, StoreStep::kMemory, "", ENOMEM);
  if (cut_conf || cut_new) return fail(error, StoreStep::kPathTooLong, *conf, ENAMETOOLONG);
  std::optional<AccountDirectory> dir = AccountDirectory::open(error);
  if (!dir) return false;
  uid_t holder_owner = 0;
  // A leftover of the caller's own is taken over by the update: no obstacle.
  if (std::optional<Holder> holder = find_holder(*dir, name_in_directory(*next), &holder_owner);
      holder && *holder != Holder::kInterrupted) {
    error->owner = holder_owner;
    error->holder = *holder;
    error->target = *conf;
    return fail(error, StoreStep::kCreate, *next, EEXIST);
  }
  UniqueFd old;
  return open_old_file(*dir, name_in_directory(*conf), FileUse::kPrivate, getuid(), &old, error) !=
         OldFile::kRefused;
}

namespace {

// The keys of each kind one section instance holds.
struct Presence {
  std::array<bool, 3> id{};
  std::array<bool, 3> password{};
};

Stored stored_in(const Presence& presence, std::size_t kind) {
  if (presence.id[kind] && presence.password[kind]) return Stored::kComplete;
  return presence.id[kind] || presence.password[kind] ? Stored::kIncomplete : Stored::kNothing;
}

// A section name as drivers read it: no angle bracket inside, and an
// opening tag's name does not start with "/".
std::optional<std::string_view> section_name(std::string_view line, bool closing) {
  std::optional<std::string_view> name = tag_name(line, closing);
  if (!name || name->find_first_of("<>") != std::string_view::npos) return std::nullopt;
  if (!closing && name->starts_with('/')) return std::nullopt;
  return name;
}

}  // namespace

bool read_sections(int fd, const std::string& path, std::vector<SectionEntries>* sections,
                   StoreError* error) {
  sections->clear();
  std::vector<std::pair<std::string, Presence>> open;  // sections open now
  std::unordered_map<std::string, std::size_t> index;  // name -> place in *sections
  auto merge = [&](const std::string& name, const Presence& presence) {
    auto [at, first] = index.try_emplace(name, sections->size());
    if (first) sections->push_back(SectionEntries{name, {}});
    SectionEntries* entry = &(*sections)[at->second];
    for (std::size_t k = 0; k < 3; ++k) {
      Stored now = stored_in(presence, k);
      if (first) {
        entry->kinds[k] = now;
      } else if (entry->kinds[k] != now) {
        entry->kinds[k] = Stored::kIncomplete;
      }
    }
  };
  ReadStatus status = read_account_lines(fd, [&](SecretText& line) {
    const std::string_view text = line.view();
    if (std::optional<std::string_view> name = section_name(text, false)) {
      open.emplace_back(std::string(*name), Presence{});
    } else if (std::optional<std::string_view> closed = section_name(text, true)) {
      for (auto it = open.begin(); it != open.end(); ++it) {
        if (it->first == *closed) {
          merge(it->first, it->second);
          open.erase(it);
          break;
        }
      }
    } else {
      for (std::size_t k = 0; k < 3; ++k) {
        const KindKeys& keys = keys_of(kCredentialKinds[k]);
        for (auto& [name, presence] : open) {
          presence.id[k] = presence.id[k] || text.starts_with(keys.id);
          presence.password[k] = presence.password[k] || text.starts_with(keys.password);
        }
      }
    }
    return true;
  });
  for (const auto& [name, presence] : open) merge(name, presence);
  return finish_pass(status, path, error);
}
