// SPDX-License-Identifier: Apache-2.0
// One --batch record read from its line, in process: which refusal each
// way of getting a record wrong gets, and what a record that stands holds.
// The reasons' wording is the messages test's; whole runs are the tool's.
#include "batch_record.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The outcome as one line: the refusal and its field, or what was read.
std::string outcome(std::string_view line) {
  BatchRecord r;
  const bool read = parse_record(line, &r);
  if (read != (r.refused.why == ChangeRefusalWhy::kNone)) return "read and refused at once";
  if (!read) return "refused " + std::to_string(static_cast<int>(r.refused.why)) + r.refused.field;
  return r.user.value_or("-") + " " + r.queue.value_or("-") + " " + names_of(*r.kind).word +
         (r.present ? " present " : " absent ") + std::string(r.id.view()) + "/" +
         std::string(r.password.view());
}

TEST(BatchRecord, EachFieldByTheRules) {
  using W = ChangeRefusalWhy;
  auto refused = [](W why, std::string field = "") {
    return "refused " + std::to_string(static_cast<int>(why)) + field;
  };
  const std::pair<std::string, std::string> cases[] = {
      {R"({"queue":"q","kind":"job-accounting","id":"1","password":"2"})",
       "- q job-accounting present 1/2"},
      {R"({"user":"u","queue":"q","kind":"secured-print","state":"absent"})",
       "u q secured-print absent /"},
      {R"( {"kind":"user-authentication","state":"present","id":"Jää","password":"p","queue":"q"} )",
       "- q user-authentication present Jää/p"},
      {R"({"queue":"q","kind":"user-authentication","id":"","password":"p"})", refused(W::kValue)},
      {R"({"queue":"q")", refused(W::kNotJson)},
      {"{\"queue\":\"q\xff\"}", refused(W::kNotJson)},  // not UTF-8
      {R"(["q"])", refused(W::kNotObject)},
      {R"({"queue":"q","queue":"r","kind":"job-accounting","state":"absent"})",
       refused(W::kGivenTwice, "queue")},
      {R"({"queue":1,"kind":"job-accounting","state":"absent"})", refused(W::kNotString, "queue")},
      {R"({"queue":"q","kind":"job-accounting","id":null,"password":"2"})",
       refused(W::kNotString, "id")},
      {R"({"queue":"q","kind":"job-accounting","id":"\u0000","password":"2"})",
       refused(W::kHoldsNul, "id")},
      {R"({"queue":"q","kind":"job","state":"absent"})", refused(W::kNoSuchKind)},
      {R"({"queue":"q","kind":"job-accounting","pasword":"2","id":"1"})",
       refused(W::kNoSuchField, "pasword")},
      {R"({"kind":"job-accounting","state":"absent"})", refused(W::kNoQueue)},
      {R"({"queue":"","kind":"job-accounting","state":"absent"})", refused(W::kNoQueue)},
      {R"({"queue":"q","state":"absent"})", refused(W::kNoKind)},
      {R"({"queue":"q","kind":"job-accounting","state":"gone"})", refused(W::kBadState)},
      {R"({"queue":"q","kind":"job-accounting","state":"absent","id":"1"})",
       refused(W::kAbsentTakesNoValues)},
      {R"({"queue":"q","kind":"job-accounting","id":"1"})", refused(W::kPresentNeedsValues)},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(outcome(line), expected) << line;
}

}  // namespace
