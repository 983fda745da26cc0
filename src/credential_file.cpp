// SPDX-License-Identifier: Apache-2.0
#include "credential_file.h"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "account_file.h"
#include "account_format.h"
#include "base64.h"
#include "line_reader.h"
#include "replacement_file.h"
#include "secret.h"
#include "unique_fd.h"

namespace {

class CredentialUpdate {
 public:
  // kind kNone with remove: every kind.
  CredentialUpdate(std::string_view queue, CredentialKind kind, bool remove, std::string_view id,
                   std::string_view password, StoreError* error)
      : queue_(queue),
        kind_(kind),
        keys_(keys_of(kind)),
        every_kind_(remove && kind == CredentialKind::kNone),
        remove_(remove),
        id_(id),
        password_(password),
        error_(error) {}

  // The new content, from the old file (none: old.fd < 0).
  Rewrite write(ReplacementFile& out, const OldContent& old) {
    path_ = old.path;
    if (old.fd < 0) {
      if (remove_) return Rewrite::kUnchanged;
      return write_section(out) ? Rewrite::kWritten : Rewrite::kFailed;
    }
    // Removing every kind drops every tag: nothing to look for first.
    if (remove_ && !every_kind_ && !scan(old.fd)) return Rewrite::kFailed;
    if (!copy(old.fd, out)) return Rewrite::kFailed;
    // Forgetting a queue leaves the files that never had it as they are.
    return every_kind_ && !dropped_ ? Rewrite::kUnchanged : Rewrite::kWritten;
  }

 private:
  // Writes a line the format module made; one the bound would cut is refused.
  bool write_formatted(ReplacementFile& out, bool formatted, const LineBuffer& line) {
    if (!formatted)
      return fail(error_, StoreStep::kLineTooLong, replacement_name(path_), EOVERFLOW);
    return out.write(line.data());
  }
  bool write_key(ReplacementFile& out, const char* prefix, std::string_view value) {
    LineBuffer line;
    return write_formatted(out, format_key_line(line, prefix, value), line);
  }
  bool write_section(ReplacementFile& out) {
    LineBuffer line;
    return write_formatted(out, format_opening_tag(line, queue_), line) &&
           write_key(out, keys_.id, id_) && write_key(out, keys_.password, password_) &&
           write_formatted(out, format_closing_tag(line, queue_), line);
  }

  bool scan(int fd);
  bool copy(int fd, ReplacementFile& out);

  // The spelling of the queue's section that line opens (closing: ends), or
  // nullopt. A set acts on the name as CUPS spells it only; a remove also on
  // sections in other case, which no driver reads.
  std::optional<std::string> section_tag(const SecretText& line, bool closing) const {
    if (closing ? is_closing_tag(line.view(), queue_) : is_opening_tag(line.view(), queue_)) {
      return std::string(queue_);
    }
    if (!remove_) return std::nullopt;
    std::optional<Tag> tag = parse_tag(line.view());
    if (!tag || tag->closing != closing || !same_but_case(tag->name, queue_)) return std::nullopt;
    return std::string(tag->name);
  }

  // Whether line is a key line this update acts on.
  bool is_own_key(std::string_view line) const {
    if (!every_kind_) return is_key_of(line, keys_);
    for (CredentialKind kind : kCredentialKinds) {
      if (is_key_of(line, keys_of(kind))) return true;
    }
    return false;
  }

  std::string_view queue_;
  CredentialKind kind_;
  const KindKeys& keys_;
  bool every_kind_;
  bool remove_;
  std::string_view id_;        // as stored: typed (job accounting) or Base64
  std::string_view password_;  // likewise
  StoreError* error_;
  std::string path_;
  // For a remove: the spellings of the queue's sections that hold keys of
  // another kind and so keep their tags (all of them when the scan could not
  // run).
  std::set<std::string> other_kinds_present_;
  bool keep_every_tag_ = false;
  bool dropped_ = false;  // a remove left a line out
};

// Decides, for a remove, which spellings of the queue's sections hold keys
// of another kind and so must keep their tags. Deliberate: a key of another
// kind in any section of a spelling keeps the tags of all its sections.
bool CredentialUpdate::scan(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) {
    keep_every_tag_ = true;  // cannot tell: keep the tags
    return true;
  }
  std::optional<std::string> inside;
  return read_lines(
      fd, path_,
      [&](SecretText& line) {
        if (std::optional<std::string> opened = section_tag(line, false)) {
          inside = std::move(opened);
        } else if (section_tag(line, true)) {
          inside.reset();
        } else if (inside) {
          for (CredentialKind other : kCredentialKinds) {
            if (!every_kind_ && other != kind_ && is_key_of(line.view(), keys_of(other))) {
              other_kinds_present_.insert(*inside);
            }
          }
        }
        return true;
      },
      error_);
}

bool CredentialUpdate::copy(int fd, ReplacementFile& out) {
  if (lseek(fd, 0, SEEK_SET) != 0) return fail(error_, StoreStep::kRead, path_, errno);
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind a set has written in the current section:
  // each section of the queue ends up holding both.
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
    return out.write(line.view());
  };
  const bool read = read_lines(
      fd, path_,
      [&](SecretText& line) {
        if (std::optional<std::string> spelling = section_tag(line, false)) {
          state = State::kInside;
          id_written = password_written = false;
          if (!keep_tags(*spelling)) return dropped_ = true;
          return copy_line(line);
        }
        if (std::optional<std::string> spelling = section_tag(line, true)) {
          state = State::kAfter;
          if (!remove_) {
            // A set leaves both key lines in the section: whichever it has
            // not written goes right before the closing tag.
            if (!id_written && !write_key(out, keys_.id, id_)) return false;
            if (!password_written && !write_key(out, keys_.password, password_)) return false;
            id_written = password_written = true;
          }
          if (!keep_tags(*spelling)) return dropped_ = true;
          return copy_line(line);
        }
        if (state == State::kInside && is_own_key(line.view())) {
          if (remove_) return dropped_ = true;
          // Each key line is rewritten where it stands, duplicates included.
          if (is_id_key(line.view(), keys_)) {
            id_written = true;
            return write_key(out, keys_.id, id_);
          }
          password_written = true;
          return write_key(out, keys_.password, password_);
        }
        return copy_line(line);
      },
      error_);
  if (!read) return false;
  // Deliberate: a queue without a section gets one at the end of the file.
  if (!remove_ && state == State::kBefore) return write_section(out);
  // A set cannot tell where such a section ends, so drivers might never see
  // the new values: refuse it rather than report success.
  if (!remove_ && state == State::kInside) {
    return fail(error_, StoreStep::kUnclosedSection, path_, EINVAL);
  }
  return true;
}

// The keys of each kind one section instance holds.
struct Presence {
  std::array<bool, 3> id{};
  std::array<bool, 3> password{};
};

Stored stored_in(const Presence& presence, std::size_t kind) {
  if (presence.id[kind] && presence.password[kind]) return Stored::kComplete;
  return presence.id[kind] || presence.password[kind] ? Stored::kIncomplete : Stored::kNothing;
}

}  // namespace

UpdateOutcome update_credentials(const char* queue, const Account& account, const char* id,
                                 const char* password, bool remove, CredentialKind kind,
                                 StoreError* error) {
  StoreError local;
  if (error == nullptr) error = &local;
  *error = StoreError{};
  auto refuse = [&](StoreStep step, int err) {
    fail(error, step, "", err);
    return UpdateOutcome::kRefused;
  };
  if (queue == nullptr || !fits_on_one_line(queue) || kind == CredentialKind::kNone) {
    return refuse(StoreStep::kArguments, EINVAL);
  }
  try {
    SecretText encoded_id;
    SecretText encoded_password;
    std::string_view stored_id;
    std::string_view stored_password;
    if (!remove) {
      if (id == nullptr || password == nullptr) return refuse(StoreStep::kArguments, EINVAL);
      if (!has_user_name(kind)) {
        // Deliberate: job accounting values are stored as typed. So a line
        // break inside would split the key line.
        if (!fits_on_one_line(id) || !fits_on_one_line(password)) {
          return refuse(StoreStep::kArguments, EINVAL);
        }
        stored_id = id;
        stored_password = password;
      } else {
        if (!encode_base64(id, &encoded_id) || !encode_base64(password, &encoded_password)) {
          return refuse(StoreStep::kMemory, ENOMEM);
        }
        stored_id = encoded_id.view();
        stored_password = encoded_password.view();
      }
    }
    std::optional<std::string> name = credential_file_name(account.user, error);
    if (!name) return UpdateOutcome::kRefused;
    CredentialUpdate update(queue, kind, remove, stored_id, stored_password, error);
    return rewrite_account_file(
        {*name, FileUse::kPrivate, account.owner},
        [&](ReplacementFile& out, const OldContent& old) { return update.write(out, old); }, error);
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

UpdateOutcome forget_queue_in(const std::string& name, uid_t owner, const char* queue,
                              StoreError* error) {
  *error = StoreError{};
  if (queue == nullptr || !fits_on_one_line(queue)) {
    fail(error, StoreStep::kArguments, "", EINVAL);
    return UpdateOutcome::kRefused;
  }
  try {
    CredentialUpdate update(queue, CredentialKind::kNone, true, {}, {}, error);
    return rewrite_account_file(
        {name, FileUse::kPrivate, owner},
        [&](ReplacementFile& out, const OldContent& old) { return update.write(out, old); }, error);
  } catch (const std::bad_alloc&) {
    fail(error, StoreStep::kMemory, error->path, ENOMEM);
    return UpdateOutcome::kRefused;
  }
}

bool check_credential_file(const Account& account, StoreError* error) {
  *error = StoreError{};
  std::optional<std::string> name = credential_file_name(account.user, error);
  if (!name) return false;
  std::optional<AccountDirectory> dir = AccountDirectory::open(error);
  if (!dir) return false;
  // A leftover of the caller's own is taken over by the update: no obstacle.
  uid_t holder_owner = 0;
  if (std::optional<Holder> holder =
          find_holder(*dir, replacement_name(*name), account.owner, &holder_owner);
      holder && *holder != Holder::kInterrupted) {
    error->owner = holder_owner;
    error->holder = *holder;
    error->target = dir->path_of(*name);
    return fail(error, StoreStep::kCreate, dir->path_of(replacement_name(*name)), EEXIST);
  }
  UniqueFd old;
  return open_old_file(*dir, *name, FileUse::kPrivate, account.owner, &old, error) !=
         OldFile::kRefused;
}

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
  const bool read = read_lines(
      fd, path,
      [&](SecretText& line) {
        const std::string_view text = line.view();
        std::optional<Tag> tag = parse_tag(text);
        if (tag && !tag->driver_reads()) tag.reset();
        if (tag && !tag->closing) {
          open.emplace_back(std::string(tag->name), Presence{});
        } else if (tag) {
          for (auto it = open.begin(); it != open.end(); ++it) {
            if (it->first == tag->name) {
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
      },
      error);
  for (const auto& [name, presence] : open) merge(name, presence);
  return read;
}

bool has_section(const Account& account, std::string_view queue) {
  StoreError error;
  std::optional<std::string> name = credential_file_name(account.user, &error);
  std::optional<AccountDirectory> dir = AccountDirectory::open(&error);
  UniqueFd fd;
  if (!name || !dir ||
      open_old_file(*dir, *name, FileUse::kPrivate, account.owner, &fd, &error) !=
          OldFile::kOpened) {
    return false;
  }
  std::vector<SectionEntries> sections;
  if (!read_sections(fd.get(), dir->path_of(*name), &sections, &error)) return false;
  for (const SectionEntries& s : sections) {
    if (s.name == queue) return true;
  }
  return false;
}
