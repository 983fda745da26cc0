// SPDX-License-Identifier: Apache-2.0
// Which queues CUPS has, for a listing: the whole destination list from one
// request, and the CUPS field a listing shows for a section's name.
//
//   const std::optional<KnownQueues> known = ask_known_queues();
//   row.push_back(known ? known->field(name) : "?");
//
// Results: ask_known_queues returns nullopt, having said why, when the
// scheduler could not be asked; field answers.
#ifndef VELMORA_KNOWN_QUEUES_H_
#define VELMORA_KNOWN_QUEUES_H_

#include <optional>
#include <string>
#include <unordered_set>

struct KnownQueues {
  std::unordered_set<std::string> exactly;
  std::unordered_set<std::string> in_any_case;
  // "known", "other-case" (drivers do not read this spelling) or "gone".
  std::string field(const std::string& queue) const;
};

std::optional<KnownQueues> ask_known_queues();

#endif  // VELMORA_KNOWN_QUEUES_H_
