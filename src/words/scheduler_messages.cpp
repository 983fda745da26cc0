// SPDX-License-Identifier: Apache-2.0
// The words for a scheduler that could not be asked (messages.h): one
// sentence per way the conversation can fail, naming the server.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "messages.h"
#include "quoting.h"
#include "translation.h"

void report_unreachable_scheduler(const QueueLookup& lookup) {
  const std::string shown = quote_name(lookup.server);
  const char* server = shown.c_str();
  const long long seconds = scheduler_deadline().count();
  switch (lookup.failure) {
    case SchedulerFailure::kResolve:
      std::fprintf(stderr,
                   _("%s: cannot resolve the name of the print scheduler %s: %s; nothing was "
                     "changed\n"),
                   program_name(), server, lookup.detail.c_str());
      return;
    case SchedulerFailure::kTimeout:
      if (lookup.phase == SchedulerPhase::kResolving) {
        std::fprintf(stderr,
                     _("%s: cannot resolve the name of the print scheduler %s: the name server did "
                       "not answer within %lld s; nothing was changed\n"),
                     program_name(), server, seconds);
        return;
      }
      std::fprintf(stderr,
                   _("%s: the print scheduler at %s did not answer within %lld s; nothing was "
                     "changed\n"),
                   program_name(), server, seconds);
      return;
    case SchedulerFailure::kPassword:
      std::fprintf(stderr,
                   _("%s: the print scheduler at %s asked for a password, which this tool never "
                     "gives; nothing was changed\n"),
                   program_name(), server);
      return;
    case SchedulerFailure::kClosed:
      if (lookup.error != 0) {
        std::fprintf(stderr,
                     _("%s: the print scheduler at %s closed the connection without answering: "
                       "%s; nothing was changed\n"),
                     program_name(), server, error_text(lookup.error));
        return;
      }
      std::fprintf(stderr,
                   _("%s: the print scheduler at %s closed the connection without answering; "
                     "nothing was changed\n"),
                   program_name(), server);
      return;
    case SchedulerFailure::kNoAnswer:
      std::fprintf(stderr,
                   _("%s: the print scheduler at %s did not answer: %s; nothing was changed\n"),
                   program_name(), server, lookup.detail.c_str());
      return;
    case SchedulerFailure::kCheckFailed:
      std::fprintf(
          stderr, _("%s: cannot ask the print scheduler at %s: %s; nothing was changed\n"),
          program_name(), server,
          lookup.error != 0 ? error_text(lookup.error) : _("the check ended unexpectedly"));
      return;
    case SchedulerFailure::kConnect:
    case SchedulerFailure::kNone:
      break;
  }
  std::fprintf(stderr, _("%s: cannot reach the print scheduler at %s: %s; nothing was changed\n"),
               program_name(), server, error_text(lookup.error));
}
