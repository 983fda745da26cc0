// SPDX-License-Identifier: Apache-2.0
// Every text the tool writes to standard error, pinned once, word for word:
// each outcome as root and as an ordinary user (65534), since what the
// caller can do about it differs. The command-line tests check only which
// message a run ends with, by its first words.
#include "messages.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "scheduler.h"
#include "section_layout.h"
#include "store_support.h"
#include "test_support.h"

namespace {

constexpr uid_t kNameless = 54321;  // an owner with no login name

StoreError error_of(StoreStep step, int err, std::string path, std::optional<uid_t> owner = {},
                    std::string target = "") {
  StoreError e;
  e.step = step;
  e.error = err;
  e.path = std::move(path);
  e.owner = owner;
  e.target = std::move(target);
  return e;
}

// The caller as the process is now (root, or kOrdinaryUid in the child).
Caller me(const char* user = nullptr) { return caller_filing_under(user); }

// What report writes to standard error, run as root or as kOrdinaryUid.
std::string stderr_of(bool as_root, const std::function<void()>& report) {
  int ends[2];
  if (pipe(ends) != 0) return "(no pipe)";
  pid_t child = fork();
  if (child == 0) {
    dup2(ends[1], STDERR_FILENO);
    close(ends[0]);
    if (!as_root && (setresgid(kOrdinaryUid, kOrdinaryUid, kOrdinaryUid) != 0 ||
                     setresuid(kOrdinaryUid, kOrdinaryUid, kOrdinaryUid) != 0)) {
      _exit(99);
    }
    report();
    _exit(0);
  }
  close(ends[1]);
  std::string text;
  char buffer[1024];
  for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(ends[0]);
  waitpid(child, nullptr, 0);
  return text;
}

TEST(Messages, EachOutcomeHasItsText) {
  REQUIRE_ROOT("to speak as root and as another user");
  const std::string dir = "/acct", conf = dir + "/alice.conf", fresh = conf + ".new";
  const std::string name = program_name();
  StoreError refused = error_of(StoreStep::kNotOwner, EPERM, conf, kNameless);
  refused.expected_owner = kOrdinaryUid;
  StoreError linked = error_of(StoreStep::kHardLinked, EMLINK, dir + "/status", 0);
  linked.links = 2;
  StoreError shared = error_of(StoreStep::kWritableByOthers, EPERM, conf, kOrdinaryUid);
  shared.mode = 0660;
  StoreError secret = error_of(StoreStep::kNotReadableByAll, EPERM, dir + "/status", 0);
  secret.mode = 0600;
  auto existing = [&](Holder holder, uid_t owner) {
    StoreError e = error_of(StoreStep::kCreate, EEXIST, fresh, owner, conf);
    e.holder = holder;
    return e;
  };
  StoreError damaged = error_of(StoreStep::kDamagedSection, EINVAL, conf);
  damaged.damage = {Damage::kUnclosed | Damage::kForeign, 3, 2 | 8};
  StoreError unsafe = error_of(StoreStep::kUnsafeDirectory, EPERM, dir, 0, dir);
  unsafe.mode = 0777;
  StoreError above = error_of(StoreStep::kUnsafeDirectory, EPERM, "/", 0, dir);
  above.mode = 0775;
  Caller printing;              // USER is a print name, not the login name
  printing.uid = kOrdinaryUid;  // the run's, in the child
  printing.user = "alice";
  printing.login = "nobody";
  printing.user_is_login = false;
  auto scheduler = [](SchedulerFailure failure, int error, std::string detail,
                      SchedulerPhase phase = SchedulerPhase::kAsking) {
    QueueLookup lookup;
    lookup.server = "/run/cups/cups.sock";
    lookup.failure = failure;
    lookup.error = error;
    lookup.detail = std::move(detail);
    lookup.phase = phase;
    return lookup;
  };
  // The store's report of an error in a run on lp1.
  const auto store = [](StoreError e) { return [e] { report_store_error(me(), "lp1", e); }; };
  const std::string later = ", then run the command again\n";
  const std::string deadline = std::to_string(scheduler_deadline().count());

  struct Case {
    bool as_root;
    std::function<void()> report;
    std::string text;  // after "NAME: "
  } cases[] = {
      {false, [] { report_wrong_use(WrongUse::kExtraOperand, "x", ""); },
       "extra operand 'x'\nTry '" + name + " --help' for more information.\n"},
      {false, [] { report_wrong_use(WrongUse::kUserMisplaced, "", ""); },
       "--user goes with an option and a queue, --list, --check or --batch\nTry '" + name +
           " --help' for more information.\n"},
      {false,
       [&] {
         Caller c;
         c.uid = kNameless;
         report_caller_problem(CallerProblem::kUserUnset, c);
         c.login_error = EIO;
         report_caller_problem(CallerProblem::kUserUnset, c);
       },
       "USER is not set, and user ID 54321 has no login name: set USER to the name to keep your "
       "credentials under; nothing was changed\n" +
           name +
           ": USER is not set, and the login name of user ID 54321 could not be looked up: "
           "Input/output error; nothing was changed\n"},
      {false,
       [&] {
         Caller c;
         c.user = "../x";
         report_caller_problem(CallerProblem::kUserUnusable, c);
       },
       "USER must be a user name that does not start with '.' nor hold '/': '../x'\n"},
      {false,
       [&] {
         Caller c;
         c.user = "root";
         c.login = "nobody";
         report_caller_problem(CallerProblem::kUserIsAnother, c);
       },
       "USER is 'root', another local account, but you are nobody: keep credentials under your "
       "own name (or a print name no local account has); nothing was changed\n"},
      {true,
       [&] {
         StoreError e = error_of(StoreStep::kSparse, EFBIG, conf, kOrdinaryUid);
         e.size = 4194304;
         e.on_disk = 4096;
         report_store_error(me(), "", e);
       },
       conf + " has 4194304 bytes but only 4096 on disk (owned by nobody): a sparse file, not "
              "one this tool wrote; it was left unchanged: inspect it and remove it, then run "
              "the command again\n"},
      {false,
       [&] {
         StoreError e = error_of(StoreStep::kWouldBeTooLarge, EFBIG, conf);
         e.size = 8388609;
         report_store_error(me(), "", e);
       },
       "cannot update " + conf +
           ": it would hold 8388609 bytes, more than the 8388608 an "
           "account file may hold; nothing was changed\n"},
      {true,
       [&] {
         StoreError e = error_of(StoreStep::kOverBudget, EFBIG, conf, kOrdinaryUid);
         e.size = 67108000;
         report_store_error(me(), "", e);
       },
       conf + " was not read: this run has read 67108000 bytes of account files owned by "
              "nobody, all it reads of one owner's; it was left unchanged\n"},
      {false, [] { report_unknown_queue("nosuch", false); },
       "nosuch: CUPS knows no such queue (lpstat -e lists them)\n"},
      {false, [] { report_unknown_queue("gone", true); },
       "gone: CUPS no longer knows this queue, but your credential file still has a section for "
       "it; remove it with -x, -xu and -xs\n"},
      {false,
       [&] { report_unreachable_scheduler(scheduler(SchedulerFailure::kConnect, ENOENT, "")); },
       "cannot reach the print scheduler at /run/cups/cups.sock: No such file or directory; "
       "nothing was changed\n"},
      {false, [&] { report_unreachable_scheduler(scheduler(SchedulerFailure::kTimeout, 0, "")); },
       "the print scheduler at /run/cups/cups.sock did not answer within " + deadline +
           " s; nothing was changed\n"},
      {false,
       [&] {
         report_unreachable_scheduler(
             scheduler(SchedulerFailure::kTimeout, 0, "", SchedulerPhase::kResolving));
       },
       "cannot resolve the name of the print scheduler /run/cups/cups.sock: the name server did "
       "not answer within " +
           deadline + " s; nothing was changed\n"},
      {false,
       [&] {
         report_unreachable_scheduler(
             scheduler(SchedulerFailure::kResolve, 0, "Name or service not known"));
       },
       "cannot resolve the name of the print scheduler /run/cups/cups.sock: Name or service not "
       "known; nothing was changed\n"},
      {false, [&] { report_unreachable_scheduler(scheduler(SchedulerFailure::kPassword, 0, "")); },
       "the print scheduler at /run/cups/cups.sock asked for a password, which this tool never "
       "gives; nothing was changed\n"},
      {false, [&] { report_unreachable_scheduler(scheduler(SchedulerFailure::kClosed, 0, "")); },
       "the print scheduler at /run/cups/cups.sock closed the connection without answering; "
       "nothing was changed\n"},
      {false,
       [&] {
         report_unreachable_scheduler(
             scheduler(SchedulerFailure::kNoAnswer, 0, "HTTP 404 Not Found"));
       },
       "the print scheduler at /run/cups/cups.sock did not answer: HTTP 404 Not Found; nothing "
       "was changed\n"},
      {false, [] { report_entry(kUser, true, EntryResult::kUnconvertible, 0, true); },
       "password: the text is not valid in the encodings of the locale; type it again\n"},
      {false, [] { report_entry(kJob, false, EntryResult::kTooLong, 8, false); },
       "id: too long: at most 7 bytes can be stored, this is 8; nothing was changed\n"},
      {false, [] { report_entry(kUser, false, EntryResult::kTooLong, 51, true); },
       "user name: too long: at most 32 bytes of UTF-8 can be stored, this is 51; type it again\n"},
      {false, [] { report_entry(kSecure, true, EntryResult::kTooLong, 600, true); },
       "password: too long: at most 7 bytes of UTF-8 can be stored, this is 600; type it again\n"},
      {false, [] { report_entry(kJob, false, EntryResult::kNulByte, 0, true); },
       "id: the text holds a NUL byte, which cannot be stored; type it again\n"},
      {false, [] { report_entry(kJob, false, EntryResult::kLineBreak, 0, true); },
       "id: the text holds a carriage return or a 0xFF byte, which would end the line in the "
       "credential file; type it again\n"},
      {false, [] { report_entry(kSecure, true, EntryResult::kAskAgain, 0, true); },
       "password: cannot be empty for secured print; type it again\n"},
      {false, [] { report_entry(kJob, true, EntryResult::kEndOfInput, 0, false); },
       "reading PIN: unexpected end of input\n"},
      {false,
       [] {
         errno = EIO;
         report_entry(kJob, true, EntryResult::kReadError, 0, false);
       },
       "reading PIN: Input/output error\n"},
      {false, [&] { report_recovered(fresh); },
       "took over " + fresh + ", left by an interrupted update\n"},
      {false, [] { report_not_ready(me("alice"), "lp1", kJob, true, ""); },
       "lp1: job accounting is on, but the ID and PIN stored for alice are incomplete; run: "
       "velmora-account -p lp1\n"},
      {false,
       [] {
         report_not_ready(me("alice"), "lp1", kUser, false, "let the update running now finish");
       },
       "lp1: user authentication is on, but no user name and password are stored for alice; run: "
       "velmora-account -pu lp1 (first let the update running now finish)\n"},
      // Updates that did not take place.
      {false, store(existing(Holder::kRunning, kOrdinaryUid)),
       "cannot create " + fresh + ": File exists (owned by nobody): another update of " + conf +
           " is running now (it may be stopped or slow); let it finish, then run the command "
           "again; do not remove " +
           fresh + "\n"},
      {false, store(existing(Holder::kInterrupted, kOrdinaryUid)),
       "cannot create " + fresh + ": File exists (owned by nobody): an update of " + conf +
           " was interrupted (killed, or the machine stopped) and left it; run the command again, "
           "which takes it over\n"},
      {false, store(existing(Holder::kUnknown, kOrdinaryUid)),
       "cannot create " + fresh + ": File exists (owned by nobody): inspect it and remove it" +
           later},
      {false, store(existing(Holder::kUnknown, kNameless)),
       "cannot create " + fresh +
           ": File exists (owned by 54321): only 54321 or the administrator "
           "can remove it; ask the administrator\n"},
      {true, store(existing(Holder::kUnknown, kNameless)),
       "cannot create " + fresh + ": File exists (owned by 54321): inspect it and remove it" +
           later},
      {false, store(existing(Holder::kUnknown, 0)),
       "cannot create " + fresh +
           ": File exists (owned by root): only the administrator can "
           "remove it; ask the administrator\n"},
      {false, store(error_of(StoreStep::kCreate, EACCES, fresh)),
       "cannot create " + fresh + ": Permission denied\n"},
      {false, store(error_of(StoreStep::kPathTooLong, ENAMETOOLONG, conf)),
       "cannot update " + conf + ": the user name makes the path too long\n"},
      {false, store(error_of(StoreStep::kOpen, EACCES, conf)),
       "cannot open " + conf + ": Permission denied; it was left unchanged\n"},
      {false, store(refused),
       conf + " belongs to 54321, not to nobody; it was left unchanged: only 54321 or the "
              "administrator can remove it; ask the administrator\n"},
      {false, [&] { report_store_error(printing, "lp1", refused); },
       conf + " belongs to 54321, not to nobody (USER is 'alice', not your login name); it was "
              "left unchanged: only 54321 or the administrator can remove it; ask the "
              "administrator\n"},
      {true, store(linked),
       dir +
           "/status has 2 hard links (owned by root); it was left unchanged: inspect it and "
           "remove it" +
           later},
      {false, store(shared),
       conf +
           " has mode 0660 (owned by nobody): others could have changed it; it was left "
           "unchanged: check it, run chmod go-w " +
           conf + later},
      {true, store(secret),
       dir +
           "/status has mode 0600 (owned by root): the status file must be readable by "
           "everyone; it was left unchanged: make sure nothing in it is private, run chmod "
           "0644 " +
           dir + "/status" + later},
      {false, store(secret),
       dir +
           "/status has mode 0600 (owned by root): the status file must be readable by "
           "everyone; it was left unchanged: ask the administrator to run chmod 0644 " +
           dir + "/status\n"},
      {false, store(error_of(StoreStep::kNotRegularFile, EPERM, conf, 0)),
       conf + " is not a regular file (owned by root); it was left unchanged: only the "
              "administrator can remove it; ask the administrator\n"},
      {false, store(error_of(StoreStep::kDirectory, ENOENT, dir)),
       "cannot open the account directory " + dir +
           ": No such file or directory; nothing was changed\n"},
      {false, store(error_of(StoreStep::kUnsafeDirectory, EPERM, dir, kOrdinaryUid + 1, dir)),
       "the account directory " + dir + " belongs to " + user_name(kOrdinaryUid + 1) +
           ", not to root; nothing was changed: ask the administrator to run chown root " + dir +
           "\n"},
      {false, store(unsafe),
       "the account directory " + dir +
           " has mode 0777: others may write in it but it lacks the "
           "sticky bit, so they could replace any file in it; nothing was changed: ask the "
           "administrator to run chmod +t " +
           dir + "\n"},
      {true, store(above),
       "the directory / above the account directory " + dir +
           " has mode 0775: others may write "
           "in it but it lacks the sticky bit, so they could replace the account directory; "
           "nothing "
           "was changed: run chmod go-w /" +
           later},
      {false, store(error_of(StoreStep::kReplaced, ESTALE, fresh, {}, conf)),
       "cannot update " + conf + ": its replacement file " + fresh +
           " was removed or replaced "
           "while this run was writing it; nothing was changed\n"},
      {false, store(error_of(StoreStep::kRead, EIO, conf)),
       "cannot read " + conf + ": Input/output error; it was left unchanged\n"},
      {false, store(error_of(StoreStep::kLineTooLong, EOVERFLOW, fresh)),
       "cannot write " + fresh + ": a line would be longer than 510 bytes; nothing was changed\n"},
      {false, store(damaged),
       "cannot update " + conf +
           ": the section <lp1> has no closing tag and holds a line that is not a key line (line "
           "3); nothing was changed; run: velmora-account -x lp1 and velmora-account -xs lp1 to "
           "take out its own lines, then set it again\n"},
      {true,
       [&] {
         report_damaged_section(me(), conf, "lp 1",
                                {Damage::kStrayClosing | Damage::kDuplicate, 7, 4});
       },
       conf +
           ": the section <'lp 1'> has a closing tag where no such section is open and is in "
           "the file twice (line 7); ask the file's owner to run: USER=alice velmora-account -xu "
           "'lp 1' to take out its own lines, then set it again\n"},  // alice: a print name
      {false,
       [&] {
         report_mending(me(), conf, "lp1", {{3, 4, 5, 9}, true, {}});
       },
       "removed the damaged section <lp1> (lines 3 to 5 and 9 of " + conf + ")\n"},
      {false,
       [&] {
         report_mending(me(), conf, "lp1", {{4}, false, {Damage::kLoneKey, 6, 4}});
       },
       "removed lines of the damaged section <lp1> (line 4 of " + conf + ")\nunit_tests: " + conf +
           ": the section <lp1> has a key line outside every section (line 6); run: "
           "velmora-account -xu lp1 to take out its own lines, then set it again\n"},
      {false, store(error_of(StoreStep::kWrite, ENOSPC, fresh)),
       "cannot write " + fresh + ": No space left on device; nothing was changed\n"},
      {false, store(error_of(StoreStep::kRename, EXDEV, fresh, {}, conf)),
       "cannot rename " + fresh + " to " + conf +
           ": Invalid cross-device link; nothing was changed\n"},
      {false, store(error_of(StoreStep::kSyncDirectory, EIO, dir, {}, conf)),
       "cannot sync " + dir + ": Input/output error; " + conf +
           " was updated but may not survive a crash\n"},
      {false, store(error_of(StoreStep::kArguments, EINVAL, "")),
       "cannot store a value that contains a line break\n"},
      {false, store(error_of(StoreStep::kMemory, ENOMEM, "")),
       "cannot update the account file: Cannot allocate memory\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stderr_of(c.as_root, c.report), name + ": " + c.text);
  }
  // The one line scripts look for, as it always was.
  EXPECT_EQ(stderr_of(false, [] { report_no_queue(); }), "No Printer Queue Entry\n");
}

// A --batch record's reason, in English, for each way it can be refused that
// the end-to-end table does not reach.
TEST(Messages, EachChangeRefusalHasItsReason) {
  using W = ChangeRefusalWhy;
  const std::pair<ChangeRefusal, std::string> cases[] = {
      {{.why = W::kLineTooLong}, "longer than any record could be"},
      {{.why = W::kNotObject}, "not a JSON object"},
      {{.why = W::kNoSuchField, .field = "pasword"}, "no such field: \"pasword\""},
      {{.why = W::kNoSuchKind}, "no such \"kind\""},
      {{.why = W::kNoQueue}, "no \"queue\""},
      {{.why = W::kNoKind}, "no \"kind\""},
      {{.why = W::kBadState}, "\"state\" is neither \"present\" nor \"absent\""},
      {{.why = W::kAbsentTakesNoValues}, "an absent credential takes no \"id\" or \"password\""},
      {{.why = W::kPresentNeedsValues}, "a present credential needs \"id\" and \"password\""},
      {{.why = W::kLookupFailed, .error = EIO}, "cannot look up the account: Input/output error"},
      {{.why = W::kSchedulerNotAsked}, "the print scheduler could not be asked"},
      {{.why = W::kQueueInUse}, "CUPS still has this queue"},
      {{.why = W::kNoSection},
       "CUPS knows no such queue, and the file has no section of that name"},
      {{.why = W::kTooManySections},
       "CUPS knows no such queue, and the file has more sections than a run reads"},
  };
  for (const auto& [refusal, text] : cases) EXPECT_EQ(batch_refusal_text(me(), refusal), text);
}

}  // namespace
