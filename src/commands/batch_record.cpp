// SPDX-License-Identifier: Apache-2.0
#include "batch_record.h"

#include <algorithm>
#include <vector>

#include "credential_entry.h"
#include "json_fields.h"

namespace {

bool refuse(BatchRecord* record, ChangeRefusalWhy why, const SecretText* field = nullptr) {
  record->refused.why = why;
  if (field != nullptr) record->refused.field = std::string(field->view());
  return false;
}

bool holds_nul(const SecretText& text) { return text.view().find('\0') != std::string_view::npos; }

// The account and queue, first, so that even a refused record's answer
// names them: of a name given twice, its last value.
void take_names(const std::vector<JsonField>& fields, BatchRecord* record) {
  for (const char* name : {"user", "queue"}) {
    const JsonField* last = nullptr;
    for (const JsonField& field : fields) {
      if (field.name.view() == name) last = &field;
    }
    if (last != nullptr && last->string && !holds_nul(last->text)) {
      (name[0] == 'u' ? record->user : record->queue) = std::string(last->text.view());
    }
  }
}

// The fields by name (in byte order, as the rules are applied); of a name
// given twice, both, the earlier first.
std::vector<JsonField*> by_name(std::vector<JsonField>& fields) {
  std::vector<JsonField*> sorted;
  for (JsonField& field : fields) sorted.push_back(&field);
  std::stable_sort(sorted.begin(), sorted.end(), [](const JsonField* a, const JsonField* b) {
    return a->name.view() < b->name.view();
  });
  return sorted;
}

// The field that first repeats a name given before it, or null.
const JsonField* given_twice(const std::vector<JsonField*>& sorted) {
  const JsonField* first = nullptr;
  for (std::size_t k = 1; k < sorted.size(); ++k) {
    if (sorted[k]->name.view() == sorted[k - 1]->name.view() &&
        (first == nullptr || sorted[k] < first)) {
      first = sorted[k];
    }
  }
  return first;
}

bool parse_fields(const std::vector<JsonField*>& fields, BatchRecord* record) {
  std::optional<std::string_view> state;
  bool has_id = false, has_password = false;
  for (JsonField* field : fields) {
    const std::string_view key = field->name.view();
    if (!field->string) return refuse(record, ChangeRefusalWhy::kNotString, &field->name);
    const std::string_view text = field->text.view();
    // A NUL would end the text where the system reads it ("alice\u0000x"
    // acting on alice).
    if (holds_nul(field->text)) return refuse(record, ChangeRefusalWhy::kHoldsNul, &field->name);
    if (key == "kind") {
      for (CredentialKind kind : kCredentialKinds) {
        if (text == names_of(kind).word) record->kind = kind;
      }
      if (!record->kind) return refuse(record, ChangeRefusalWhy::kNoSuchKind);
    } else if (key == "state") {
      state = text;
    } else if (key == "id" || key == "password") {
      (key == "id" ? has_id : has_password) = true;
      (key == "id" ? record->id : record->password) = std::move(field->text);
    } else if (key != "user" && key != "queue") {
      return refuse(record, ChangeRefusalWhy::kNoSuchField, &field->name);
    }
  }
  if (!record->queue || record->queue->empty()) return refuse(record, ChangeRefusalWhy::kNoQueue);
  if (!record->kind) return refuse(record, ChangeRefusalWhy::kNoKind);
  if (state && *state != "present" && *state != "absent") {
    return refuse(record, ChangeRefusalWhy::kBadState);
  }
  record->present = !state || *state == "present";
  if (!record->present) {
    return !(has_id || has_password) || refuse(record, ChangeRefusalWhy::kAbsentTakesNoValues);
  }
  if (!has_id || !has_password) {
    return refuse(record, ChangeRefusalWhy::kPresentNeedsValues);
  }
  // The rules of typed answers, on the values as they would be stored.
  for (bool password : {false, true}) {
    const std::string_view value = (password ? record->password : record->id).view();
    const EntryResult judged = judge_value(*record->kind, password, value);
    if (judged != EntryResult::kAccepted) {
      record->refused.kind = *record->kind;
      record->refused.password = password;
      record->refused.entry = judged;
      return refuse(record, ChangeRefusalWhy::kValue);
    }
  }
  return true;
}

}  // namespace

bool parse_record(std::string_view line, BatchRecord* record) {
  // Not valid JSON (UTF-8 included): refused without a word of it, which
  // may hold a value.
  std::vector<JsonField> fields;
  const JsonText read = read_json_object(line, &fields);
  if (read == JsonText::kInvalid) return refuse(record, ChangeRefusalWhy::kNotJson);
  take_names(fields, record);
  const std::vector<JsonField*> sorted = by_name(fields);
  // A field given twice would otherwise mean its last value: refused, as
  // either could have been meant.
  if (const JsonField* twice = given_twice(sorted)) {
    return refuse(record, ChangeRefusalWhy::kGivenTwice, &twice->name);
  }
  if (read == JsonText::kNotObject) return refuse(record, ChangeRefusalWhy::kNotObject);
  return parse_fields(sorted, record);
}
