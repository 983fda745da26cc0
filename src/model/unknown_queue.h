// SPDX-License-Identifier: Apache-2.0
// The one rule for a queue CUPS does not know (deleted, or a typo): nothing
// is set for it, but what the files still hold under that name can be
// cleared, since nothing else can remove those lines. A remove goes ahead
// from a file with a section of exactly that name (a prompted -x, -xu, -xs,
// and a --batch record with "state": "absent"); root's -d clears the queue's
// line from the status file. --check says the caller's file still holds it
// when a remove would go ahead.
//
// A request is judged first without its file (kReadTheFile: a remove, to be
// judged again with the file's sections), so that a file is read only when
// the answer depends on it.
//
// Results: judge_unknown_queue returns the verdict; the wording of each
// verdict is the caller's (a prompted run's line, a --batch answer).
#ifndef VELMORA_UNKNOWN_QUEUE_H_
#define VELMORA_UNKNOWN_QUEUE_H_

#include <string>
#include <unordered_set>

#include "account_text.h"

// The sections of a file, as far as a run reads them: all, or (complete
// false) those read before the bound a listing keeps.
struct FileSections {
  std::unordered_set<std::string> names;
  bool complete = true;
};

FileSections sections_in(const AccountText& text);

enum class UnknownQueueAsk { kRemove, kDisable, kOther };

enum class UnknownQueue {
  kNoSuchQueue,      // nothing asked can be done for it
  kReadTheFile,      // a remove: judged again with the file's sections
  kClearSection,     // a remove from a section of exactly that name: go ahead
  kNoSection,        // a remove, but the file has no section of that name
  kTooManySections,  // a remove, but the file has more sections than a run reads
  kClearStatusLine,  // root's -d: clear the queue's line from the status file
};

// sections: the file's, or null before it is read.
UnknownQueue judge_unknown_queue(UnknownQueueAsk ask, bool root, const std::string& queue,
                                 const FileSections* sections);

#endif  // VELMORA_UNKNOWN_QUEUE_H_
