// SPDX-License-Identifier: Apache-2.0
#include "credential_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "account_format.h"
#include "base64.h"
#include "section_layout.h"

namespace {

bool is_key_of(const AccountLine& line, CredentialKind kind) {
  return line.what.kind == LineKind::kKey && line.what.credential == kind;
}

bool is_tag(const AccountLine& line) { return line.what.kind == LineKind::kTag; }

// The lines from the queue's first tag line (exact name) up to its last
// one, [first, end); {size, size} when it has none. From spans of an
// undamaged queue (check_settable) that is its one section, if any; a name
// that no section can have ("", "a<b", "/a", too long) is looked for line by
// line, as its tag lines may still be shaped like tags.
std::pair<std::size_t, std::size_t> tag_range(const AccountText& text, std::string_view queue,
                                              const std::vector<SectionSpan>& spans) {
  const std::vector<AccountLine>& lines = text.lines();
  for (const SectionSpan& span : spans) {
    if (span.name == queue) return {span.first, span.end};
  }
  SecretText formatted;
  const std::optional<SectionTag> tag =
      format_opening_tag(queue, &formatted) ? section_tag(formatted.view()) : std::nullopt;
  if (tag && !tag->closing && tag->name == queue) return {lines.size(), lines.size()};
  std::size_t first = lines.size();
  std::size_t end = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!is_tag(lines[i])) continue;
    const std::string_view line_text = text.text(lines[i]);
    if (is_opening_tag(line_text, queue) || is_closing_tag(line_text, queue)) {
      first = std::min(first, i);
      end = i + 1;
    }
  }
  return {first, end};
}

// The queue's sections, when none is damaged; false (kDamagedSection, with
// the damage) otherwise.
bool find_settable(const AccountText& text, std::string_view queue, std::vector<SectionSpan>* spans,
                   StoreError& error) {
  find_sections(text, SIZE_MAX, spans, queue);
  const SectionDamage damage = damage_of(*spans, queue);
  if (!any(damage.what)) return true;
  // Deliberate: drivers may read such a file otherwise than the tool does,
  // so a set is refused rather than reported done; a remove mends it.
  error.damage = damage;
  return fail(error, StoreStep::kDamagedSection, "", EINVAL);
}

bool set(AccountText& text, const CredentialChange& change, StoreError& error) {
  const std::string_view queue = change.queue;
  // Its one section, when it has one, is whole from here on.
  std::vector<SectionSpan> spans;
  if (!find_settable(text, queue, &spans, error)) return false;
  // Only the lines from the queue's first tag to its last one can change:
  // they alone are made anew, and put in place of the old ones. (Found
  // before lines are added: the spans' names point into the model.)
  const auto [first, end] = tag_range(text, queue, spans);
  SecretText formatted;
  if (!format_key_line(*change.kind, KeyPart::kId, change.id.view(), &formatted)) {
    return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
  }
  const AccountLine id_line = text.add(formatted.view());
  if (!format_key_line(*change.kind, KeyPart::kPassword, change.password.view(), &formatted)) {
    return fail(error, StoreStep::kLineTooLong, "", EOVERFLOW);
  }
  const AccountLine password_line = text.add(formatted.view());

  const std::vector<AccountLine>& old = text.lines();
  std::vector<AccountLine> lines;
  bool changed = false;
  enum class State { kBefore, kInside, kAfter } state = State::kBefore;
  // Which key lines of the kind the current section has got: each section
  // of the queue ends up holding both.
  bool id_written = false;
  bool password_written = false;
  for (std::size_t i = first; i < end; ++i) {
    const AccountLine& line = old[i];
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
    } else if (state == State::kInside && is_key_of(line, *change.kind)) {
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
  // Only a name no section can have ("", whose "<>" is no tag) gets here:
  // refused as unclosed rather than reported done.
  if (state == State::kInside) {
    error.damage = {Damage::kUnclosed, 0, 2};
    return fail(error, StoreStep::kDamagedSection, "", EINVAL);
  }
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
  text.replace(first, end, lines, changed);
  return true;
}

// A remove (of one kind) or a forget (every kind; kind nullopt), of the
// queue's spans in any letter case; a lone key line goes with the span it is
// told of. Lines of other spans are never looked at.
void remove(AccountText& text, std::string_view queue, std::optional<CredentialKind> kind,
            Mending* mending) {
  const unsigned going = kind ? kind_keys(*kind) : kEveryKey;
  std::vector<SectionSpan> spans;
  find_sections(text, SIZE_MAX, &spans, queue);
  // Only lines the spans own or are told of can go: those from the first
  // span's up to the last one's alone are looked at, and put back without
  // those that go.
  const std::size_t first = spans.empty() ? 0 : spans.front().told_from;
  const std::size_t end = spans.empty() ? 0 : spans.back().told_to;
  // Deliberate: a span that keeps no key, of its own or told of it, loses its
  // tags too, and any other line of it stays where it was.
  SpanCursor cursor(spans);
  std::vector<AccountLine> lines;
  Mending mended;
  mended.gone = true;
  for (std::size_t i = first; i < end; ++i) {
    const AccountLine& line = text.lines()[i];
    const std::size_t at = cursor.span_of(i);
    bool keep_line = true;
    if (at != SpanCursor::kNoSpan) {
      const SectionSpan& span = spans[at];
      if (span.owns(i) && span.tags(i)) {
        keep_line = ((span.keys | span.lone_keys) & ~going) != 0;
        mended.gone = mended.gone && (!keep_line || !any(span.damage));
      } else if (line.what.kind == LineKind::kKey) {
        keep_line = (key_bit(line.what.credential, line.what.part) & going) == 0;
      }
      if (!keep_line && any(span.damage)) mended.removed.push_back(i + 1);
    }
    if (keep_line) lines.push_back(line);
  }
  const bool dropped = lines.size() != end - first;
  text.replace(first, end, lines, dropped);
  if (mending == nullptr) return;
  find_sections(text, SIZE_MAX, &spans, queue);
  mended.left = damage_of(spans, queue);
  *mending = std::move(mended);
}

// How much of a kind the key bits hold.
Stored stored_in(unsigned keys, CredentialKind kind) {
  const bool id = (keys & key_bit(kind, KeyPart::kId)) != 0;
  const bool password = (keys & key_bit(kind, KeyPart::kPassword)) != 0;
  if (id && password) return Stored::kComplete;
  return id || password ? Stored::kIncomplete : Stored::kNothing;
}

}  // namespace

bool make_change(const char* queue, std::optional<CredentialKind> kind, CredentialEdit edit,
                 const char* id, const char* password, CredentialChange* change,
                 StoreError& error) {
  const bool set = edit == CredentialEdit::kSet;
  if (queue == nullptr || !fits_on_one_line(queue) || (edit != CredentialEdit::kForget && !kind) ||
      (set && (id == nullptr || password == nullptr))) {
    return fail(error, StoreStep::kArguments, "", EINVAL);
  }
  change->queue = queue;
  change->kind = edit == CredentialEdit::kForget ? std::nullopt : kind;
  change->edit = edit;
  change->id.clear();
  change->password.clear();
  if (!set) return true;
  if (!has_user_name(*kind)) {
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

bool apply_change(AccountText& text, const CredentialChange& change, StoreError& error,
                  Mending* mending) {
  switch (change.edit) {
    case CredentialEdit::kSet:
      return set(text, change, error);
    case CredentialEdit::kRemove:
      remove(text, change.queue, change.kind, mending);
      return true;
    case CredentialEdit::kForget:
      remove(text, change.queue, std::nullopt, mending);
      return true;
  }
  return true;
}

bool check_settable(const AccountText& text, std::string_view queue, StoreError& error) {
  std::vector<SectionSpan> spans;
  return find_settable(text, queue, &spans, error);
}

bool sections_of(const AccountText& text, std::size_t limit,
                 std::vector<SectionEntries>* sections_out) {
  std::vector<SectionEntries>& sections = *sections_out;
  sections.clear();
  std::vector<SectionSpan> spans;
  if (!find_sections(text, limit, &spans)) return false;
  struct Name {
    std::size_t at;     // in sections
    bool held = false;  // a section of it was counted (not only a stray tag)
    DamageTally damage;
  };
  std::unordered_map<std::string_view, Name> names;
  for (const SectionSpan& span : spans) {
    auto [found, first] = names.try_emplace(span.name, Name{sections.size(), false, {}});
    if (first) sections.push_back(SectionEntries{std::string(span.name), {}, {}});
    Name& name = found->second;
    name.damage.add(span);
    if (any(span.damage & Damage::kStrayClosing)) continue;  // a stray tag holds no keys
    SectionEntries& entry = sections[name.at];
    for (CredentialKind kind : kCredentialKinds) {
      const Stored stored = stored_in(span.keys, kind);
      if (!name.held) {
        entry.of(kind) = stored;
      } else if (entry.of(kind) != stored) {
        entry.of(kind) = Stored::kIncomplete;
      }
    }
    name.held = true;
  }
  for (const auto& [name, found] : names) sections[found.at].damage = found.damage.result();
  return true;
}
