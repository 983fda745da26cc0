// SPDX-License-Identifier: Apache-2.0
#include "credential_file.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "account_format.h"
#include "base64.h"

namespace {

bool is_key_of(const AccountLine& line, CredentialKind kind) {
  return line.what.kind == LineKind::kKey && line.what.credential == kind;
}

bool is_tag(const AccountLine& line) { return line.what.kind == LineKind::kTag; }

bool set(AccountText& text, const CredentialChange& change, StoreError& error) {
  const std::string_view queue = change.queue;
  SecretText formatted;
  if (!format_key_line(change.kind, KeyPart::kId, change.id.view(), &formatted)) {
    return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
  }
  const AccountLine id_line = text.add(formatted.view());
  if (!format_key_line(change.kind, KeyPart::kPassword, change.password.view(), &formatted)) {
    return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
  }
  const AccountLine password_line = text.add(formatted.view());

  std::vector<AccountLine> lines;
  lines.reserve(text.lines().size() + 4);
  bool changed = false;
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind the current section has got: each section
  // of the queue ends up holding both.
  bool id_written = false;
  bool password_written = false;
  for (const AccountLine& line : text.lines()) {
    const std::string_view line_text = text.text(line);
    if (is_tag(line) && is_opening_tag(line_text, queue)) {
      state = State::kInside;
      id_written = password_written = false;
    } else if (is_tag(line) && is_closing_tag(line_text, queue)) {
      state = State::kAfter;
      // Whichever key line the section lacks goes right before its closing tag.
      if (!id_written) lines.push_back(id_line);
      if (!password_written) lines.push_back(password_line);
      changed = changed || !id_written || !password_written;
      id_written = password_written = true;
    } else if (state == State::kInside && is_key_of(line, change.kind)) {
      // Each key line is rewritten where it stands, duplicates included.
      const bool id = line.what.part == KeyPart::kId;
      const AccountLine& fresh = id ? id_line : password_line;
      changed = changed || line_text != text.text(fresh);
      (id ? id_written : password_written) = true;
      lines.push_back(fresh);
      continue;
    }
    lines.push_back(line);
  }
  // A set cannot tell where such a section ends, so drivers might never see
  // the new values: refused rather than reported done.
  if (state == State::kInside) return fail(error, StoreStep::kUnclosedSection, "", EINVAL);
  if (state == State::kBefore) {
    // Deliberate: a queue without a section gets one at the end of the file.
    if (!format_opening_tag(queue, &formatted)) {
      return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
    }
    lines.push_back(text.add(formatted.view()));
    lines.push_back(id_line);
    lines.push_back(password_line);
    if (!format_closing_tag(queue, &formatted)) {
      return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
    }
    lines.push_back(text.add(formatted.view()));
    changed = true;
  }
  text.replace(std::move(lines), changed);
  return true;
}

// A remove (of one kind) or a forget (every kind; kind kNone).
void remove(AccountText& text, std::string_view queue, CredentialKind kind) {
  const bool every_kind = kind == CredentialKind::kNone;
  auto opens = [&](const AccountLine& line) {
    return is_tag(line) && is_opening_tag_in_any_case(text.text(line), queue);
  };
  auto closes = [&](const AccountLine& line) {
    return is_tag(line) && is_closing_tag_in_any_case(text.text(line), queue);
  };
  // The spellings of the queue's sections that hold a key of another kind
  // and so keep their tags. Deliberate: a key of another kind in any section
  // of a spelling keeps the tags of all its sections.
  std::unordered_set<std::string_view> keep;
  if (!every_kind) {
    std::optional<std::string_view> inside;
    for (const AccountLine& line : text.lines()) {
      if (opens(line)) {
        inside = tag_inner(text.text(line));
      } else if (closes(line)) {
        inside.reset();
      } else if (inside && line.what.kind == LineKind::kKey && line.what.credential != kind) {
        keep.insert(*inside);
      }
    }
  }
  // Deliberate: a section that keeps no key loses its tags too, and any other
  // line of it stays where it was.
  std::vector<AccountLine> lines;
  lines.reserve(text.lines().size());
  bool inside = false;
  bool dropped = false;
  for (const AccountLine& line : text.lines()) {
    bool keep_line = true;
    if (opens(line)) {
      inside = true;
      keep_line = keep.contains(tag_inner(text.text(line)));
    } else if (closes(line)) {
      inside = false;
      keep_line = keep.contains(tag_inner(text.text(line)).substr(1));
    } else if (inside && line.what.kind == LineKind::kKey) {
      keep_line = !every_kind && line.what.credential != kind;
    }
    if (keep_line) {
      lines.push_back(line);
    } else {
      dropped = true;
    }
  }
  text.replace(std::move(lines), dropped);
}

// The keys of each kind one section instance holds, as counts of the key
// lines read so far: a section holds a key when the count grew while it
// was open.
// kind x part; a file of at most kMaxFileBytes has fewer lines than 2^32
using KeyCounts = std::array<std::uint32_t, 6>;

std::size_t slot(CredentialKind kind, KeyPart part) {
  return (static_cast<std::size_t>(kind) - 1) * 2 + (part == KeyPart::kPassword ? 1 : 0);
}

Stored stored_between(const KeyCounts& opened, const KeyCounts& now, CredentialKind kind) {
  const bool id = now[slot(kind, KeyPart::kId)] > opened[slot(kind, KeyPart::kId)];
  const bool password =
      now[slot(kind, KeyPart::kPassword)] > opened[slot(kind, KeyPart::kPassword)];
  if (id && password) return Stored::kComplete;
  return id || password ? Stored::kIncomplete : Stored::kNothing;
}

}  // namespace

bool make_change(const char* queue, CredentialKind kind, CredentialEdit edit, const char* id,
                 const char* password, CredentialChange* change, StoreError& error) {
  const bool set = edit == CredentialEdit::kSet;
  if (queue == nullptr || !fits_on_one_line(queue) ||
      (edit != CredentialEdit::kForget && kind == CredentialKind::kNone) ||
      (set && (id == nullptr || password == nullptr))) {
    return fail(error, StoreStep::kArguments, "", EINVAL);
  }
  change->queue = queue;
  change->kind = edit == CredentialEdit::kForget ? CredentialKind::kNone : kind;
  change->edit = edit;
  change->id.clear();
  change->password.clear();
  if (!set) return true;
  if (!has_user_name(kind)) {
    // Deliberate: job accounting values are stored as typed. So a line break
    // inside would split the key line.
    if (!fits_on_one_line(id) || !fits_on_one_line(password)) {
      return fail(error, StoreStep::kArguments, "", EINVAL);
    }
    change->id.append(id);
    change->password.append(password);
    return true;
  }
  if (!encode_base64(id, &change->id) || !encode_base64(password, &change->password)) {
    return fail(error, StoreStep::kMemory, "", ENOMEM);
  }
  return true;
}

bool apply_change(AccountText& text, const CredentialChange& change, StoreError& error) {
  switch (change.edit) {
    case CredentialEdit::kSet:
      return set(text, change, error);
    case CredentialEdit::kRemove:
      remove(text, change.queue, change.kind);
      return true;
    case CredentialEdit::kForget:
      remove(text, change.queue, CredentialKind::kNone);
      return true;
  }
  return true;
}

bool sections_of(const AccountText& text, std::size_t limit,
                 std::vector<SectionEntries>* sections_out) {
  std::vector<SectionEntries>& sections = *sections_out;
  sections.clear();
  std::unordered_map<std::string_view, std::size_t> index;  // name -> place in sections
  auto merge = [&](std::string_view name, const KeyCounts& opened, const KeyCounts& now) {
    auto [at, first] = index.try_emplace(name, sections.size());
    if (first) sections.push_back(SectionEntries{std::string(name), {}});
    SectionEntries& entry = sections[at->second];
    for (CredentialKind kind : kCredentialKinds) {
      const Stored stored = stored_between(opened, now, kind);
      if (first) {
        entry.of(kind) = stored;
      } else if (entry.of(kind) != stored) {
        entry.of(kind) = Stored::kIncomplete;
      }
    }
  };
  // The sections still open of each name form a queue, linked through
  // `next`: a few bytes a section, however many a neighbour's file opens.
  constexpr std::uint32_t kNone = UINT32_MAX;
  struct Open {
    std::string_view name;
    KeyCounts counts;
    std::uint32_t next = kNone;  // the next open section of the same name
    bool closed = false;
  };
  struct Waiting {
    std::uint32_t first = kNone, last = kNone;
  };
  std::vector<Open> open;  // in the order they opened
  std::unordered_map<std::string_view, Waiting> open_by_name;
  KeyCounts counts{};
  for (const AccountLine& line : text.lines()) {
    if (line.what.kind == LineKind::kKey) {
      ++counts[slot(line.what.credential, line.what.part)];
      continue;
    }
    if (!is_tag(line)) continue;
    const std::optional<Tag> tag = section_tag(text.text(line));
    if (!tag) continue;
    if (!tag->closing) {
      if (open.size() == limit) {
        sections.clear();
        return false;
      }
      const auto at = static_cast<std::uint32_t>(open.size());
      Waiting& waiting = open_by_name[tag->name];
      (waiting.last == kNone ? waiting.first : open[waiting.last].next) = at;
      waiting.last = at;
      open.push_back(Open{tag->name, counts});
      continue;
    }
    // A closing tag ends the first section of its name still open.
    auto waiting = open_by_name.find(tag->name);
    if (waiting == open_by_name.end() || waiting->second.first == kNone) continue;
    Open& section = open[waiting->second.first];
    waiting->second.first = section.next;
    if (section.next == kNone) waiting->second.last = kNone;
    section.closed = true;
    merge(section.name, section.counts, counts);
  }
  for (const Open& section : open) {
    if (!section.closed) merge(section.name, section.counts, counts);
  }
  return true;
}
