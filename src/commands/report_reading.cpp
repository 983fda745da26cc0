// SPDX-License-Identifier: Apache-2.0
#include "report_reading.h"

#include <cerrno>

#include "messages.h"
#include "translation.h"

namespace {

// Says why, and keeps it.
bool refuse(const Caller& caller, const StoreError& error, const std::string& file, uid_t owner,
            Refusal* refusal) {
  report_store_error(caller, "", error);
  if (refusal != nullptr) {
    // Kept for a JSON document: in English whatever the locale.
    *refusal = {file, in_english([&] { return store_error_text(caller, "", error); }),
                error.owner.value_or(owner)};
  }
  return false;
}

}  // namespace

std::optional<AccountStore> open_store(const Caller& caller, Refusal* refusal) {
  StoreResult<AccountStore> store = AccountStore::open(caller);
  if (!store) {
    refuse(caller, store.error(), std::string(account_directory()), 0, refusal);
    return std::nullopt;
  }
  return std::move(*store);
}

bool read_trusted(const AccountStore& store, const AccountFile& file,
                  std::optional<AccountText>* text, Refusal* refusal) {
  StoreResult<std::optional<AccountText>> read = store.read(file);
  if (!read) return refuse(store.caller(), read.error(), file.name, file.owner, refusal);
  *text = std::move(*read);
  return true;
}

bool read_sections(const AccountStore& store, const AccountFile& file, std::size_t limit,
                   std::vector<SectionEntries>* sections, bool* exists, Refusal* refusal,
                   std::size_t name_bytes) {
  std::optional<AccountText> text;
  sections->clear();
  if (!read_trusted(store, file, &text, refusal)) return false;
  if (exists != nullptr) *exists = text.has_value();
  std::size_t names = 0;
  if (!text || sections_of(*text, limit, sections)) {
    for (const SectionEntries& s : *sections) names += s.name.size();
    if (names <= name_bytes) return true;
    sections->clear();
  }
  StoreError error;
  error.owner = file.owner;
  fail(error, StoreStep::kTooManySections, file.path(), EFBIG);
  return refuse(store.caller(), error, file.name, file.owner, refusal);
}
