// SPDX-License-Identifier: Apache-2.0
#include "known_queues.h"

#include <vector>

#include "account_format.h"
#include "messages.h"
#include "scheduler.h"
#include "translation.h"

std::string KnownQueues::field(const std::string& queue) const {
  if (exactly.contains(queue)) return W_("known");
  return in_any_case.contains(lower_case(queue)) ? W_("other-case") : W_("gone");
}

std::optional<KnownQueues> ask_known_queues() {
  std::vector<std::string> names;
  const QueueLookup lookup = list_queues(&names);
  if (lookup.result != QueueCheck::kKnown) {
    report_unreachable_scheduler(lookup);
    return std::nullopt;
  }
  KnownQueues known;
  for (const std::string& name : names) {
    known.exactly.insert(name);
    known.in_any_case.insert(lower_case(name));
  }
  return known;
}
