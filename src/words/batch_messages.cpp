// SPDX-License-Identifier: Apache-2.0
// The words for a refused --batch record (messages.h): a script's reason,
// in English whatever the locale.
#include <string>

#include "messages.h"
#include "translation.h"

namespace {

std::string quoted(const std::string& field) { return "\"" + field + "\""; }

std::string reason(const Caller& caller, const ChangeRefusal& r) {
  switch (r.why) {
    case ChangeRefusalWhy::kNone:
      break;
    case ChangeRefusalWhy::kLineTooLong:
      return "longer than any record could be";
    case ChangeRefusalWhy::kNotJson:
      return "not valid JSON";
    case ChangeRefusalWhy::kNotObject:
      return "not a JSON object";
    case ChangeRefusalWhy::kGivenTwice:
      return quoted(r.field) + " is given twice";
    case ChangeRefusalWhy::kNotString:
      return quoted(r.field) + " is not a string";
    case ChangeRefusalWhy::kHoldsNul:
      return quoted(r.field) + " holds a NUL character";
    case ChangeRefusalWhy::kNoSuchKind:
      return "no such \"kind\"";
    case ChangeRefusalWhy::kNoSuchField:
      return "no such field: " + quoted(r.field);
    case ChangeRefusalWhy::kNoQueue:
      return "no \"queue\"";
    case ChangeRefusalWhy::kNoKind:
      return "no \"kind\"";
    case ChangeRefusalWhy::kBadState:
      return "\"state\" is neither \"present\" nor \"absent\"";
    case ChangeRefusalWhy::kAbsentTakesNoValues:
      return "an absent credential takes no \"id\" or \"password\"";
    case ChangeRefusalWhy::kPresentNeedsValues:
      return "a present credential needs \"id\" and \"password\"";
    case ChangeRefusalWhy::kValue:
      return entry_problem(r.kind, r.password, r.entry, std::nullopt);
    case ChangeRefusalWhy::kNotRoot:
      return "only root may act for another user";
    case ChangeRefusalWhy::kNoSuchAccount:
      return "no such local account";
    case ChangeRefusalWhy::kLookupFailed:
      return std::string("cannot look up the account: ") + error_text(r.error);
    case ChangeRefusalWhy::kSchedulerNotAsked:
      return "the print scheduler could not be asked";
    case ChangeRefusalWhy::kNoSuchQueue:
      return "CUPS knows no such queue";
    case ChangeRefusalWhy::kQueueInUse:
      return "CUPS still has this queue";
    case ChangeRefusalWhy::kNoSection:
      return "CUPS knows no such queue, and the file has no section of that name";
    case ChangeRefusalWhy::kTooManySections:
      return "CUPS knows no such queue, and the file has more sections than a run reads";
    case ChangeRefusalWhy::kAmbiguous:
      return "ambiguous: the record on line " + std::to_string(r.line) +
             " is for the same user, queue and kind";
    case ChangeRefusalWhy::kHeldBack:
      return "not written: the record on line " + std::to_string(r.line) +
             " for the same file was refused";
    case ChangeRefusalWhy::kStore:
      return store_error_text(caller, r.queue, *r.store);
  }
  return "";
}

}  // namespace

std::string batch_refusal_text(const Caller& caller, const ChangeRefusal& refusal) {
  return in_english([&] { return reason(caller, refusal); });
}
