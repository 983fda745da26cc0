// SPDX-License-Identifier: Apache-2.0
// The sections of a credential file as the tool reads them: which lines are
// each section's own, and what is wrong with it. One pass over the file's
// model (account_text.h), linear in its size however it is damaged.
//
// A section opened by "<q>" ends at its "</q>". When another tag comes
// first (or the end of the file), "<q>" is left open and its own lines run
// only up to that tag: a tag always ends what is open, so no section is
// credited with, or edited through, the lines of another. (A driver may
// read such a file otherwise, crediting a key line to every section open
// around it: hence damage is told, and refuses a set until it is mended.)
//
// Damage (store_error.h), bit by bit:
//   kUnclosed      "<q>" with another tag, or the end, before its "</q>"
//   kStrayClosing  "</q>" with no section of q open: a span of its own
//   kDuplicate     a second section of the same exact name
//   kLoneKey       a key line outside every section; it is told of the
//                  span before it (or of the first one, when none is)
//   kForeign       a line inside a section that is no key line (blank
//                  lines aside: they carry nothing)
//
// Lines outside every span that are no key lines (comments, say) are no
// damage. A remove of every kind a damaged span holds takes out its tags
// and key lines (credential_file.h), which leaves the file whole.
//
//   std::vector<SectionSpan> spans;
//   if (!find_sections(text, limit, &spans)) ...        // more than limit
//   find_sections(text, SIZE_MAX, &spans, "lp1");       // only lp1's, any case
//   SectionDamage damage = damage_of(spans, "lp1");
//
// Results: find_sections returns false (nothing in *spans) past `limit`
// spans; the others answer.
#ifndef VELMORA_SECTION_LAYOUT_H_
#define VELMORA_SECTION_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "account_text.h"
#include "credential_kind.h"
#include "store_error.h"

// The bit of a kind's key line (six: kind by part), and of both of a kind.
constexpr unsigned kEveryKey = 63;
constexpr unsigned key_bit(CredentialKind kind, KeyPart part) {
  return 1u << (index_of(kind) * 2 + (part == KeyPart::kPassword ? 1 : 0));
}
constexpr unsigned kind_keys(CredentialKind kind) {
  return key_bit(kind, KeyPart::kId) | key_bit(kind, KeyPart::kPassword);
}

struct SectionSpan {
  std::string_view name;
  std::uint32_t first = 0;  // line index of its opening tag (or of the stray closing tag)
  std::uint32_t end = 0;    // one past its own lines, its closing tag included when it has one
  bool closed = false;      // ends in its own closing tag
  Damage damage{};
  std::uint32_t damaged_at = 0;  // line index of its first damage
  unsigned keys = 0;             // key_bit of each key line among its own lines
  unsigned lone_keys = 0;        // the same, of the lone key lines told of it
  // The lines whose lone keys are told of it: from its first (or from the
  // file's start, for the file's first span) up to the next span.
  std::uint32_t told_from = 0;
  std::uint32_t told_to = 0;
  bool owns(std::size_t line) const { return line >= first && line < end; }
  // Whether the line is one of its tags.
  bool tags(std::size_t line) const { return line == first || (closed && line + 1 == end); }
};

// The spans of a file in the order they start; given a focus, only those
// named so in any letter case (what an edit of that queue looks at, in
// memory bounded by them).
bool find_sections(const AccountText& text, std::size_t limit, std::vector<SectionSpan>* spans,
                   std::optional<std::string_view> focus = std::nullopt);

// Which span each line is of: its own line, or the span a line outside
// every span is told of; lines asked in increasing order. kNoSpan: none
// (of those found).
class SpanCursor {
 public:
  static constexpr std::size_t kNoSpan = SIZE_MAX;
  explicit SpanCursor(const std::vector<SectionSpan>& spans) : spans_(spans) {}
  std::size_t span_of(std::size_t line);

 private:
  const std::vector<SectionSpan>& spans_;
  std::size_t at_ = 0;
};

// What is wrong with the spans of one name, added up span by span, and the
// kinds whose removes mend it (at least one when anything is wrong: the
// spans' own kinds, else one they do not hold).
class DamageTally {
 public:
  void add(const SectionSpan& span);
  SectionDamage result() const;

 private:
  SectionDamage damage_;
  unsigned held_ = 0;  // kinds held, as mend bits
};

// The same, of the spans of exactly that name.
SectionDamage damage_of(const std::vector<SectionSpan>& spans, std::string_view name);

#endif  // VELMORA_SECTION_LAYOUT_H_
