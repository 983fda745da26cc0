// SPDX-License-Identifier: Apache-2.0
// The credential file of one user (root.conf for root): a section per queue
// between the tag lines "<QUEUE>" and "</QUEUE>", holding the key lines of
// each kind of credential (account_format.h). Drivers read it; its bytes are
// kept exactly: lines the tool does not own are carried over as they are.
//
//   <office>
//   id=1234567              job accounting ID and PIN, as typed
//   password=0042
//   u_id=YWxpY2U=           user authentication, Base64 of UTF-8
//   u_password=c2VjcmV0
//   s_id=...                secured print, Base64 of UTF-8
//   s_password=...
//   </office>
//
// The changes are edits of the file's model (account_text.h), in memory:
//
//   CredentialChange change;
//   if (!make_change(queue, kind, CredentialEdit::kSet, id, password, &change, error)) ...
//   if (!apply_change(text, change, error)) ...   // text.changes() tells if it did
//
// Sections are read as section_layout.h tells: each edit keeps to the
// queue's own lines, a set refuses a damaged section, and a remove of every
// kind a damaged section holds takes it out, leaving its other lines.
//
// Results: make_change and apply_change return true, or false with error
// filled in (kArguments, kMemory, kLineTooLong, kDamagedSection; the path is
// the caller's to fill in); sections_of answers.
#ifndef VELMORA_CREDENTIAL_FILE_H_
#define VELMORA_CREDENTIAL_FILE_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account_text.h"
#include "credential_kind.h"
#include "secret.h"
#include "store_error.h"

enum class CredentialEdit {
  // Leaves both key lines of the kind, with the new values, in the section
  // of the queue: rewritten where they stand, the missing one put before the
  // closing tag, or a new section appended. Refused for a damaged section.
  kSet,
  // Drops the kind's key lines from the queue's sections (in any letter
  // case, which no driver reads) and the lone ones told of them, and a
  // section's tags too when no key of another kind stays with it.
  kRemove,
  // Drops the key lines of every kind, and every tag, of the queue's
  // sections in any letter case: for a queue deleted from CUPS.
  kForget,
};

struct CredentialChange {
  std::string queue;
  std::optional<CredentialKind> kind;  // kForget: nullopt, every kind
  CredentialEdit edit = CredentialEdit::kRemove;
  SecretText id;        // kSet: as stored, typed (job accounting) or Base64
  SecretText password;  // likewise
  // kRemove of a queue CUPS does not know: made only when the file has a
  // section of exactly its name (unknown_queue.h).
  bool needs_section = false;
};

// A change of queue, with the values as typed (job accounting) or converted
// to UTF-8 (the others, then stored in Base64); a remove or forget takes no
// values (null). A set or remove needs a kind; a forget is of every kind
// (nullopt).
bool make_change(const char* queue, std::optional<CredentialKind> kind, CredentialEdit edit,
                 const char* id, const char* password, CredentialChange* change, StoreError& error);

// What a remove or forget did to damaged sections of its queue: the lines
// it took out of them (counted from 1, as the tool reads lines), whether
// each damaged section lost its tags too, and what is still wrong.
struct Mending {
  std::vector<std::size_t> removed;
  bool gone = false;
  SectionDamage left;
};

bool apply_change(AccountText& text, const CredentialChange& change, StoreError& error,
                  Mending* mending = nullptr);

// Whether a set for queue may go ahead: false (kDamagedSection, with the
// damage) when its sections are damaged.
bool check_settable(const AccountText& text, std::string_view queue, StoreError& error);

// ---- Reading it back ----------------------------------------------------------

// How much of a kind's pair of key lines a section holds.
enum class Stored { kNothing, kIncomplete, kComplete };

// What the file holds under one section name, as spelled there. Sections of
// one spelling count together: complete when each holds both key lines among
// its own, nothing when none holds either, incomplete otherwise.
struct SectionEntries {
  std::string name;
  std::array<Stored, 3> kinds{};  // job accounting, user authentication, secured print
  SectionDamage damage;           // a stray closing tag alone makes an entry too
  Stored& of(CredentialKind kind) { return kinds.at(index_of(kind)); }
  Stored of(CredentialKind kind) const { return kinds.at(index_of(kind)); }
};

// The sections of a credential file, by name in the order they first
// appear, each credited only with its own lines. Never looks at a value;
// linear in the file's size however it is damaged. False (nothing in
// *sections) when the file holds more than `limit` tags that start a span:
// what is read back stays bounded, whatever a file holds.
bool sections_of(const AccountText& text, std::size_t limit, std::vector<SectionEntries>* sections);

// More sections than any real file holds (one file of 8 MiB could open two
// million): what a listing reads back of one file, or one owner's files.
constexpr std::size_t kMaxListedSections = 200'000;
// What root's listing of every user's files holds in all: sections, and
// bytes of their names.
constexpr std::size_t kMaxListedRows = 1'000'000;
constexpr std::size_t kMaxListedNameBytes = std::size_t{64} << 20;

#endif  // VELMORA_CREDENTIAL_FILE_H_
