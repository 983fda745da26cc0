// SPDX-License-Identifier: Apache-2.0
#include "section_layout.h"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "account_format.h"

namespace {

constexpr std::uint32_t kNotYet = UINT32_MAX;

unsigned mend_bit(CredentialKind kind) { return 1u << static_cast<unsigned>(kind); }

// The mend bits of the kinds whose key bits are set.
unsigned kinds_in(unsigned keys) {
  unsigned kinds = 0;
  for (CredentialKind kind : kCredentialKinds) {
    if ((keys & kind_keys(kind)) != 0) kinds |= mend_bit(kind);
  }
  return kinds;
}

// How many sections of each name a driver still reads as open. A file holds
// few at a time, so they are kept in a short list; a file of many unclosed
// tags moves them to a hash table, which keeps the pass linear. The last
// one opened waits apart until another opens: most are closed right away.
class OpenCounts {
 public:
  void open(std::string_view name) {
    if (waiting_) add(last_);
    last_ = name;
    waiting_ = true;
  }
  // Ends one section of the name, when one is open.
  void close(std::string_view name) {
    if (waiting_ && last_ == name) {
      waiting_ = false;
      return;
    }
    if (many_.empty()) {
      const auto it = find_few(name);
      if (it == few_.end()) return;
      --total_;
      if (--it->second == 0) {
        *it = few_.back();
        few_.pop_back();
      }
    } else if (auto it = many_.find(name); it != many_.end() && it->second > 0) {
      --total_;
      --it->second;
    }
  }
  // Ends the section opened last, when no tag came after its opening one.
  void close_last() { waiting_ = false; }
  bool any() const { return waiting_ || total_ > 0; }

 private:
  void add(std::string_view name) {
    ++total_;
    if (many_.empty()) {
      const auto it = find_few(name);
      if (it != few_.end()) {
        ++it->second;
        return;
      }
      if (few_.size() < kFew) {
        few_.emplace_back(name, 1);
        return;
      }
      many_.insert(few_.begin(), few_.end());
      few_.clear();
    }
    ++many_[name];
  }
  using Few = std::vector<std::pair<std::string_view, std::size_t>>;
  Few::iterator find_few(std::string_view name) {
    return std::find_if(few_.begin(), few_.end(), [&](const auto& e) { return e.first == name; });
  }
  static constexpr std::size_t kFew = 16;
  std::string_view last_;  // the last opened, when waiting_: not counted below
  bool waiting_ = false;
  Few few_;  // while many_ is empty: the names open, each count above zero
  std::unordered_map<std::string_view, std::size_t> many_;
  std::size_t total_ = 0;
};

void mark(SectionSpan& span, Damage damage, std::size_t line) {
  if (!any(span.damage) || line < span.damaged_at)
    span.damaged_at = static_cast<std::uint32_t>(line);
  span.damage |= damage;
}

}  // namespace

bool find_sections(const AccountText& text, std::size_t limit, std::vector<SectionSpan>* spans_out,
                   std::optional<std::string_view> focus) {
  std::vector<SectionSpan>& spans = *spans_out;
  spans.clear();
  constexpr std::size_t kNone = SIZE_MAX;       // no span kept
  std::unordered_set<std::string_view> opened;  // names (kept) that had a section
  std::optional<std::string_view> open;         // the name of the span whose lines these are
  std::size_t kept = kNone;                     // that span, or the last one, when kept
  bool before_first = true;                     // no span yet
  unsigned lone_before = 0;                     // lone keys before the first span
  std::uint32_t first_lone = kNotYet;
  // Sections a driver still reads as open (a closing tag ends the first
  // open one of its name, whatever tags came between): a key line outside
  // every span while one is open is that section's for a driver, and so is
  // told of no span, and never goes with another queue's remove.
  OpenCounts driver_open;
  // Held here: the calls in the loop could, for all the compiler knows,
  // change the vector, which would make it read its size and data anew.
  const AccountLine* const lines = text.lines().data();
  const std::size_t count = text.lines().size();
  const auto at = [](std::size_t i) { return static_cast<std::uint32_t>(i); };
  auto end_open = [&](std::size_t i, bool closed) {
    if (kept != kNone) {
      SectionSpan& span = spans[kept];
      span.end = at(closed ? i + 1 : i);
      span.closed = closed;
      if (!closed) mark(span, Damage::kUnclosed, span.first);
    }
    open.reset();
  };
  for (std::size_t i = 0; i < count; ++i) {
    const AccountLine& line = lines[i];
    const std::optional<SectionTag> tag =
        line.what.kind == LineKind::kTag ? section_tag_of_tag_line(text.text(line)) : std::nullopt;
    if (tag) {
      if (open && tag->closing && *open == tag->name) {
        // The tag before this one opened it: no need to look it up.
        driver_open.close_last();
        end_open(i, true);
        continue;
      }
      if (!tag->closing) {
        driver_open.open(tag->name);
      } else {
        driver_open.close(tag->name);
      }
      if (open) end_open(i, false);
      // Lone keys from here on are told of this span.
      if (kept != kNone) spans[kept].told_to = at(i);
      kept = kNone;
      if (!tag->closing) open = tag->name;
      const bool first = std::exchange(before_first, false);
      if (focus && !same_but_case(tag->name, *focus)) continue;
      if (spans.size() == limit) {
        spans.clear();
        return false;
      }
      SectionSpan span;
      span.name = tag->name;
      span.first = span.end = span.told_from = at(i);
      if (tag->closing) {
        span.end = span.first + 1;
        mark(span, Damage::kStrayClosing, i);
      } else if (!opened.insert(tag->name).second) {
        mark(span, Damage::kDuplicate, i);
      }
      if (first) {
        span.told_from = 0;
        span.lone_keys = lone_before;
        if (first_lone != kNotYet) mark(span, Damage::kLoneKey, first_lone);
      }
      kept = spans.size();
      spans.push_back(span);
      continue;
    }
    if (line.what.kind == LineKind::kKey) {
      const unsigned bit = key_bit(line.what.credential, line.what.part);
      if (open) {
        if (kept != kNone) spans[kept].keys |= bit;
      } else if (before_first) {
        lone_before |= bit;
        first_lone = std::min(first_lone, at(i));
      } else if (kept != kNone && driver_open.any()) {
        spans[kept].told_to = at(i);  // from here on, told of none
        kept = kNone;
      } else if (kept != kNone) {
        spans[kept].lone_keys |= bit;
        mark(spans[kept], Damage::kLoneKey, i);
      }
    } else if (open && kept != kNone && line.size != 0) {
      mark(spans[kept], Damage::kForeign, i);
    }
  }
  if (open) end_open(count, false);
  if (kept != kNone) spans[kept].told_to = at(count);
  return true;
}

std::size_t SpanCursor::span_of(std::size_t line) {
  while (at_ < spans_.size() && spans_[at_].told_to <= line) ++at_;
  return at_ < spans_.size() && spans_[at_].told_from <= line ? at_ : kNoSpan;
}

void DamageTally::add(const SectionSpan& span) {
  held_ |= kinds_in(span.keys | span.lone_keys);
  if (!any(span.damage)) return;
  if (!any(damage_.what) || span.damaged_at + 1 < damage_.line) damage_.line = span.damaged_at + 1;
  damage_.what |= span.damage;
  // Its tags go once no key of another kind stays; lone keys alone go with
  // their kinds.
  damage_.mend |=
      kinds_in(any(span.damage & ~Damage::kLoneKey) ? span.keys | span.lone_keys : span.lone_keys);
}

SectionDamage DamageTally::result() const {
  SectionDamage damage = damage_;
  if (!any(damage.what) || damage.mend != 0) return damage;
  // Any remove mends it: one of a kind the sections do not hold loses nothing.
  damage.mend = mend_bit(CredentialKind::kJobAccounting);
  for (CredentialKind kind : kCredentialKinds) {
    if ((held_ & mend_bit(kind)) == 0) {
      damage.mend = mend_bit(kind);
      break;
    }
  }
  return damage;
}

SectionDamage damage_of(const std::vector<SectionSpan>& spans, std::string_view name) {
  DamageTally tally;
  for (const SectionSpan& span : spans) {
    if (span.name == name) tally.add(span);
  }
  return tally.result();
}
