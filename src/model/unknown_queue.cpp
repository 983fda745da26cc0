// SPDX-License-Identifier: Apache-2.0
#include "unknown_queue.h"

#include <vector>

#include "credential_file.h"

FileSections sections_in(const AccountText& text) {
  std::vector<SectionEntries> read;
  FileSections sections;
  sections.complete = sections_of(text, kMaxListedSections, &read);
  for (const SectionEntries& s : read) sections.names.insert(s.name);
  return sections;
}

UnknownQueue judge_unknown_queue(UnknownQueueAsk ask, bool root, const std::string& queue,
                                 const FileSections* sections) {
  switch (ask) {
    case UnknownQueueAsk::kRemove:
      if (sections == nullptr) return UnknownQueue::kReadTheFile;
      if (!sections->complete) return UnknownQueue::kTooManySections;
      return sections->names.contains(queue) ? UnknownQueue::kClearSection
                                             : UnknownQueue::kNoSection;
    case UnknownQueueAsk::kDisable:
      return root ? UnknownQueue::kClearStatusLine : UnknownQueue::kNoSuchQueue;
    case UnknownQueueAsk::kOther:
      break;
  }
  return UnknownQueue::kNoSuchQueue;
}
