// SPDX-License-Identifier: Apache-2.0
// The credential file of one user (root.conf for root): a section per
// queue between the tag lines "<QUEUE>" and "</QUEUE>", holding the key
// lines of each kind of credential (account_format.h). Drivers read it; its
// bytes are kept exactly: lines the tool does not own are carried over as
// they are (line endings become LF).
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
// Results: update_credentials returns an UpdateOutcome (store_error.h);
// check_credential_file and read_sections return true, or false with *error
// filled in; has_section answers and says nothing.
#ifndef VELMORA_CREDENTIAL_FILE_H_
#define VELMORA_CREDENTIAL_FILE_H_

#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "credential_kind.h"
#include "store_error.h"

// Whose credential file: the name it is filed under (USER; null: root's,
// "root.conf") and the user ID it belongs to (the caller's, or the account's
// root acts for).
struct Account {
  const char* user;
  uid_t owner;
};

// Sets (remove false) or removes the id and password of `kind` for queue in
// the account's credential file. id and password are as
// typed (job accounting) or converted text (the others, stored in Base64);
// a remove takes neither. A set leaves both key lines of the kind in the
// queue's section: rewritten where they stand, the missing one put before
// the closing tag, or a new section appended. A remove drops the kind's key
// lines from it, and its tags too when no key of another kind stays.
UpdateOutcome update_credentials(const char* queue, const Account& account, const char* id,
                                 const char* password, bool remove, CredentialKind kind,
                                 StoreError* error = nullptr);

// Removes the queue from the credential file `name` of owner: the key lines
// of every kind in its sections, and with them their tags, in the queue's
// own spelling and any other letter case. kNothingToRemove when there is no
// such file, or it does not mention the queue (it is left as it is).
UpdateOutcome forget_queue_in(const std::string& name, uid_t owner, const char* queue,
                              StoreError* error);

// Checks, changing nothing, what an update of the user's credential file
// can know before it writes: the account directory, the file's trust checks
// and a replacement file in the way. False with *error as the update would
// fill it in; the update checks again when it writes.
bool check_credential_file(const Account& account, StoreError* error);

// ---- Reading it back ----------------------------------------------------------

// How much of a kind's pair of key lines a section holds.
enum class Stored { kNothing, kIncomplete, kComplete };

// What the file holds under one section name, as spelled there. Sections of
// one spelling count together: complete when each holds both key lines,
// nothing when none holds either, incomplete otherwise.
struct SectionEntries {
  std::string name;
  std::array<Stored, 3> kinds{};  // job accounting, user authentication, secured print
  Stored& of(CredentialKind kind) { return kinds.at(static_cast<std::size_t>(kind) - 1); }
  Stored of(CredentialKind kind) const { return kinds.at(static_cast<std::size_t>(kind) - 1); }
};

// Reads the sections of the credential file open on fd (read through
// account_directory.h's trust checks), in the order their names first
// appear. A key line belongs to every section open around it; a section the
// file leaves open ends with it. Never looks at a value.
bool read_sections(int fd, const std::string& path, std::vector<SectionEntries>* sections,
                   StoreError* error);

// Whether the user's credential file, if trusted, has a section of exactly
// that name (for a remove of a queue CUPS no longer knows).
bool has_section(const Account& account, std::string_view queue);

#endif  // VELMORA_CREDENTIAL_FILE_H_
