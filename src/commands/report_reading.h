// SPDX-License-Identifier: Apache-2.0
// The account files read back for a report (--list, --check, root's
// listing and audit): through the same trust checks as an update, each
// refusal said on standard error as an update says it, and kept, so that a
// JSON document can list it too.
//
//   Refusal refusal;
//   std::vector<SectionEntries> sections;
//   if (!read_sections(store, file, kMaxListedSections, &sections, nullptr, &refusal)) ...
//
// Results: true with what was read, or false (said, and told in *refusal).
#ifndef VELMORA_REPORT_READING_H_
#define VELMORA_REPORT_READING_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "account_store.h"
#include "credential_file.h"

// Why a file was not read: which, the line said, and whose the file is.
struct Refusal {
  std::string file;
  std::string reason;
  uid_t owner = 0;
};

// The store of the run (nullopt: said why, and told in *refusal).
std::optional<AccountStore> open_store(const Caller& caller, Refusal* refusal = nullptr);

// Reads one file (*text nullopt: there is none).
bool read_trusted(const AccountStore& store, const AccountFile& file,
                  std::optional<AccountText>* text, Refusal* refusal = nullptr);

// The sections of a credential file, at most `limit` of them and
// `name_bytes` of their names (*exists: there is a file).
bool read_sections(const AccountStore& store, const AccountFile& file, std::size_t limit,
                   std::vector<SectionEntries>* sections, bool* exists = nullptr,
                   Refusal* refusal = nullptr, std::size_t name_bytes = kMaxListedNameBytes);

#endif  // VELMORA_REPORT_READING_H_
