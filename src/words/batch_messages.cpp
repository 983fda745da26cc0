// SPDX-License-Identifier: Apache-2.0
// The words for a refused --batch record (messages.h): a script's reason,
// in English whatever the locale.
#include <string>

#include "messages.h"
#include "translation.h"

namespace {

std::string quoted(const std::string& field) { return "\"" + field + "\""; }

std::string reason(const Caller& caller, const BatchRefusal& r) {
  switch (r.why) {
    case BatchRefusalWhy::kNone:
      break;
    case BatchRefusalWhy::kLineTooLong:
      return "longer than any record could be";
    case BatchRefusalWhy::kNotJson:
      return "not valid JSON";
    case BatchRefusalWhy::kNotObject:
      return "not a JSON object";
    case BatchRefusalWhy::kGivenTwice:
      return quoted(r.field) + " is given twice";
    case BatchRefusalWhy::kNotString:
      return quoted(r.field) + " is not a string";
    case BatchRefusalWhy::kHoldsNul:
      return quoted(r.field) + " holds a NUL character";
    case BatchRefusalWhy::kNoSuchKind:
      return "no such \"kind\"";
    case BatchRefusalWhy::kNoSuchField:
      return "no such field: " + quoted(r.field);
    case BatchRefusalWhy::kNoQueue:
      return "no \"queue\"";
    case BatchRefusalWhy::kNoKind:
      return "no \"kind\"";
    case BatchRefusalWhy::kBadState:
      return "\"state\" is neither \"present\" nor \"absent\"";
    case BatchRefusalWhy::kAbsentTakesNoValues:
      return "an absent credential takes no \"id\" or \"password\"";
    case BatchRefusalWhy::kPresentNeedsValues:
      return "a present credential needs \"id\" and \"password\"";
    case BatchRefusalWhy::kValue:
      return entry_problem(r.kind, r.password, r.entry, std::nullopt);
    case BatchRefusalWhy::kNotRoot:
      return "only root may act for another user";
    case BatchRefusalWhy::kNoSuchAccount:
      return "no such local account";
    case BatchRefusalWhy::kLookupFailed:
      return std::string("cannot look up the account: ") + error_text(r.error);
    case BatchRefusalWhy::kSchedulerNotAsked:
      return "the print scheduler could not be asked";
    case BatchRefusalWhy::kNoSuchQueue:
      return "CUPS knows no such queue";
    case BatchRefusalWhy::kQueueInUse:
      return "CUPS still has this queue";
    case BatchRefusalWhy::kNoSection:
      return "CUPS knows no such queue, and the file has no section of that name";
    case BatchRefusalWhy::kTooManySections:
      return "CUPS knows no such queue, and the file has more sections than a run reads";
    case BatchRefusalWhy::kAmbiguous:
      return "ambiguous: the record on line " + std::to_string(r.line) +
             " is for the same user, queue and kind";
    case BatchRefusalWhy::kHeldBack:
      return "not written: the record on line " + std::to_string(r.line) +
             " for the same file was refused";
    case BatchRefusalWhy::kStore:
      return store_error_text(caller, r.queue, *r.store);
  }
  return "";
}

}  // namespace

std::string batch_refusal_text(const Caller& caller, const BatchRefusal& refusal) {
  return in_english([&] { return reason(caller, refusal); });
}
