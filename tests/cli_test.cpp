// SPDX-License-Identifier: Apache-2.0
// The command end to end: the built tool, a private CUPS scheduler with queues
// lp1 and lp2, real files and real users.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "fake_scheduler.h"
#include "messages.h"
#include "test_support.h"
#include "tool_runner.h"

namespace {

using namespace std::string_literals;

std::string usage(const std::string& name) {
  std::string text =
      "@ Usage: \n"
      "Setting Job Accounting ID/Password \n"
      "  @ -p [Printer Name]\n"
      "Remove ID/Password \n"
      "  @ -x [Printer Name]\n\n"
      "Setting User Authentication Function User Name/Password \n"
      "  @ -pu [Printer Name]\n"
      "Remove User Name/Password \n"
      "  @ -xu [Printer Name]\n\n"
      "Setting Secured Print Function User Name/Password \n"
      "  @ -ps [Printer Name]\n"
      "Remove User Name/Password \n"
      "  @ -xs [Printer Name]\n\n"
      "Root privilege is required to perform following operations \n"
      "Enable Job Accounting \n"
      "  @ -e [Printer Name]\n"
      "Enable User Authentication Function \n"
      "  @ -eu [Printer Name]\n"
      "Disable Job Accounting and User Authentication Function \n"
      "  @ -d [Printer Name]\n";
  for (std::size_t at = 0; (at = text.find('@', at)) != std::string::npos; at += name.size())
    text.replace(at, 1, name);
  return text;
}

const std::string kUsage = usage("velmora-account");
const std::string kHelp = "Usage: velmora-account [--user NAME] OPTION QUEUE\n";

const std::string kNoQueue = "No Printer Queue Entry\n";

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    reset_account_dir();
    chmod(test_account_dir().c_str(), 01777);  // like the installed directory
  }
  static ToolRun root(std::vector<std::string> args, std::string input = "") {
    return run_tool({.args = std::move(args), .input = std::move(input)});
  }
  static ToolRun user(std::vector<std::string> args, std::string input = "",
                      std::optional<std::string> name = "alice") {
    return run_tool({.args = std::move(args),
                     .input = std::move(input),
                     .as_root = false,
                     .user = std::move(name)});
  }
  static std::optional<std::string> conf(const std::string& owner) {
    return read_file(account_path(owner + ".conf"));
  }
  // The user that user() runs as.
  static uid_t ordinary_uid() { return running_as_root() ? kOrdinaryUid : getuid(); }
  // A file of the user that user() runs as.
  static void write_user_file(const std::string& name, const std::string& bytes, mode_t mode) {
    write_file(account_path(name), bytes, mode);
    ASSERT_EQ(lchown(account_path(name).c_str(), ordinary_uid(), ordinary_uid()), 0);
  }
};

// A Latin-1 locale built with localedef under a name that says no character
// set, in a folder of its own (LOCPATH); nullopt when it cannot be built.
std::optional<std::string> generate_latin_locale() {
  const std::string dir = test_home() + "/locales";
  mkdir(dir.c_str(), 0755);
  const std::string locale = dir + "/velmora_latin";
  // Warnings about the locale's sources make localedef's status non-zero.
  if (!file_exists(locale + "/LC_CTYPE")) {
    [[maybe_unused]] int status =
        std::system(("localedef -c -i de_DE -f ISO-8859-1 " + locale + " >/dev/null 2>&1").c_str());
  }
  if (file_exists(locale + "/LC_CTYPE")) return dir;
  return std::nullopt;
}

// The build tree's catalogues, under locales built with localedef in a
// folder of their own: the tool's sentences in the language, every text of
// old, prompt and machine-read form as under C, and C itself byte for byte.
TEST_F(Cli, MessagesInTheUsersLanguageAndMachineFormsAlike) {
  const std::string dir = test_home() + "/locales";
  for (const char* source : {"ja_JP", "de_DE"}) {
    const std::string made = dir + "/" + source + ".UTF-8";
    if (!file_exists(made + "/LC_CTYPE")) {
      mkdir(dir.c_str(), 0755);
      [[maybe_unused]] int status = std::system(
          ("localedef -c -i " + std::string(source) + " -f UTF-8 " + made + " >/dev/null 2>&1")
              .c_str());
    }
    if (!file_exists(made + "/LC_CTYPE")) GTEST_SKIP() << "localedef could not build " << source;
  }
  write_user_file("alice.conf", "<lp1>\n</lp1>\n", 0600);  // a row for the listings
  const std::string batch =
      R"({"queue":"lp1","kind":"secured-print","state":"present","id":"a","password":""})"
      "\n{\"queue\":\"nosuch\",\"kind\":\"job-accounting\",\"state\":\"absent\"}\n";
  const std::string held = R"({"queue":"lp1","kind":"job-accounting","id":"1","password":"2"})"
                           "\n";
  struct Case {
    const char* locale;
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> says;  // in standard error; the rest as under C, or (C) these exactly
    std::string out = "";           // standard output exactly, when not as under C
    bool blocked = false;           // someone else's replacement file in the way
  } cases[] = {
      {"de_DE.UTF-8", {"-zz", "lp1"}, "", {"-zz: keine solche Option\n" + kUsage}},
      {"ja_JP.UTF-8",
       {"--json"},
       "",
       {"--json は --list または --check と共に指定します\n詳しくは"}},
      {"ja_JP.UTF-8", {"-ps", "lp1"}, "a\n\n", {"セキュリティ印刷では空にできません"}},
      {"de_DE.UTF-8", {"-x", "nosuch"}, "", {kNoQueue}},
      {"ja_JP.UTF-8", {"--list", "--json"}, "", {}},
      // Translated words, the columns as wide as a terminal shows them.
      {"ja_JP.UTF-8",
       {"--list"},
       "",
       {},
       "キュー  有効な機能  部門管理  ユーザー認証  セキュリティ印刷  CUPS\n"
       "lp1     -           -         -             -                 登録済み\n"},
      {"ja_JP.UTF-8", {"--check", "lp1", "--json"}, "", {}},
      {"ja_JP.UTF-8", {"--check", "lp1", "--json"}, "", {}, "", true},  // who holds the file
      {"ja_JP.UTF-8", {"--batch"}, batch, {"変更 0 件、変更なし 0 件、拒否 2 件"}},
      {"ja_JP.UTF-8", {"--batch"}, held, {"alice.conf.new"}, "", true},  // the store's reason
      {"C.UTF-8", {"-zz", "lp1"}, "", {"velmora-account: -zz: no such option\n" + kUsage}},
      {"C", {"-zz", "lp1"}, "", {"velmora-account: -zz: no such option\n" + kUsage}},
      {"C",
       {"--json"},
       "",
       {"velmora-account: --json goes with --list or --check\nTry 'velmora-account --help' for "
        "more information.\n"}},
  };
  for (const Case& c : cases) {
    if (c.blocked) write_file(account_path("alice.conf.new"), "", 0600);  // root's
    const auto run_in = [&](const std::string& locale) {
      // LANGUAGE chooses among translations, but never over C.
      return run_tool({.args = c.args,
                       .input = c.input,
                       .as_root = false,
                       .env = {"LOCPATH=" + dir, "LC_ALL=" + locale,
                               "LANGUAGE=" + std::string(locale.starts_with("C") ? "de" : "")}});
    };
    const ToolRun run = run_in(c.locale), english = run_in("C");
    EXPECT_EQ(run.status, english.status) << c.locale << " " << c.args[0];
    EXPECT_EQ(run.out, c.out.empty() ? english.out : c.out) << c.locale << " " << c.args[0];
    std::remove(account_path("alice.conf.new").c_str());
    if (std::string(c.locale).starts_with("C")) {
      EXPECT_EQ(run.err, c.says[0]);
    } else if (c.says.empty() || c.says[0] == kNoQueue) {
      EXPECT_EQ(run.err, english.err) << c.args[0];
    } else {
      EXPECT_NE(run.err.find(c.says[0]), std::string::npos) << c.locale << ": " << run.err;
    }
  }
}

TEST_F(Cli, WrongArgumentCountPrintsUsageWhateverTheUser) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "an option and a queue name are needed"},
      {{"-p"}, "-p: a queue name is needed"},
      {{"-zz"}, "-zz: no such option"},
      {{"-p", "lp1", "extra"}, "extra operand 'extra'"},
      {{"-zz", "nosuch", "x", "y"}, "extra operand 'x'"},
      {{"--", "-p", "lp1"}, "extra operand 'lp1'"}};  // the option and the queue of old come first
  for (const auto& [args, why] : cases) {
    for (const std::optional<std::string>& name :
         {std::optional<std::string>("alice"), std::optional<std::string>()}) {
      ToolRun run = user(args, "", name);
      EXPECT_EQ(run.status, 2) << args.size();
      EXPECT_EQ(run.err, "velmora-account: " + why + "\n" + kUsage);
      EXPECT_EQ(run.out, "");
    }
  }
  EXPECT_TRUE(account_dir_entries().empty());
}

// Words that start with "--" are this tool's own: GNU's answers.
TEST_F(Cli, LongOptionsAnswerAsGnuToolsDo) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_starts;
    std::vector<std::string> says;
  } cases[] = {
      {{"--help"}, 0, kHelp, {}},
      {{"--help", "x", "y"}, 0, kHelp, {}},
      {{"-p", "--he"}, 0, kHelp, {}},  // an unambiguous prefix
      {{"--dry-run", "--list"}, 2, "", {"--dry-run goes with --batch"}},
      {{"--user", "alice", "-e", "lp1"}, 2, "", {"--user does not go with -e"}},
      {{"--version"}, 0, "velmora-account " TOOL_VERSION "\n", {}},
      {{"--list", "extra"}, 2, "", {"extra operand 'extra'"}},
      {{"--check"}, 2, "", {"--check needs the name of a queue"}},
      {{"--check", "lp1", "lp2"}, 2, "", {"extra operand 'lp2'"}},
      {{"--list", "--check", "lp1"}, 2, "", {"--list and --check cannot be combined"}},
      {{"--frob"}, 2, "", {"unrecognized option '--frob'"}},
      {{"-p", "lp1", "--frob"}, 2, "", {"unrecognized option '--frob'"}},
      {{"--check", "nosuch"}, 1, "", {"nosuch: CUPS knows no such queue"}},
  };
  for (const Case& c : cases) {
    ToolRun run = user(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0];
    EXPECT_TRUE(says(run.err, c.says)) << c.args[0];
    EXPECT_TRUE(run.out.starts_with(c.out_starts)) << run.out;
  }
  EXPECT_NE(user({"--help"}).out.find("\n  --check      show what the driver will find"),
            std::string::npos);
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, UsageNamesTheToolByItsPath) {
  REQUIRE_ROOT("to act as root and as another user");
  struct Case {
    std::optional<std::string> argv0;
    bool no_argv;
    std::string name;
  } cases[] = {
      {"/some/where/acct-tool", false, "acct-tool"},
      {"plain-name", false, "plain-name"},
      {"", false, "velmora-account"},
      {std::nullopt, true, "velmora-account"},  // no argument vector at all
  };
  for (const Case& c : cases) {
    ToolRun run = run_tool({.argv0 = c.argv0, .no_argv = c.no_argv});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, c.name + ": an option and a queue name are needed\n" + usage(c.name));
  }
}

TEST_F(Cli, OptionsMatchByPrefixInTheirOrder) {
  REQUIRE_ROOT("to act as root and as another user");
  struct Case {
    const char* option;
    std::string input;
    std::string conf;    // root.conf afterwards ("" = none)
    std::string status;  // status file afterwards ("" = none)
    bool usage;
  } cases[] = {
      {"-pu", "bob\npw\n", "<lp1>\nu_id=Ym9i\nu_password=cHc=\n</lp1>\n", "", false},
      {"-pux", "bob\npw\n", "<lp1>\nu_id=Ym9i\nu_password=cHc=\n</lp1>\n", "", false},
      {"-psq", "bob\npw\n", "<lp1>\ns_id=Ym9i\ns_password=cHc=\n</lp1>\n", "", false},
      {"-pz", "12\n34\n", "<lp1>\nid=12\npassword=34\n</lp1>\n", "", false},
      {"-p", "12\n34\n", "<lp1>\nid=12\npassword=34\n</lp1>\n", "", false},
      {"-d5", "", "", "<lp1>OFF</lp1>\n", false},
      {"-eux", "", "", "<lp1>U_ON</lp1>\n", false},
      {"-ex", "", "", "<lp1>ON</lp1>\n", false},
      {"-Pu", "", "", "", true},
      {"-", "", "", "", true},
      {"p", "", "", "", true},
      {"", "", "", "", true},
  };
  for (const Case& c : cases) {
    SetUp();
    ToolRun run = root({c.option, "lp1"}, c.input);
    EXPECT_EQ(run.status, c.usage ? 2 : 0) << c.option << ": " << run.err;
    const std::string word = c.option[0] != '\0' ? c.option : "''";
    EXPECT_EQ(run.err, c.usage ? "velmora-account: " + word + ": no such option\n" + kUsage : "")
        << c.option;
    EXPECT_EQ(conf("root").value_or(""), c.conf) << c.option;
    EXPECT_EQ(read_file(account_path("status")).value_or(""), c.status) << c.option;
  }
}

TEST_F(Cli, UnknownQueueComesBeforeTheOption) {
  for (const char* option : {"-zz", "-p", "-xu", "-e", "-Pu"}) {
    ToolRun run = user({option, "nosuch"}, "alice\nsecret\n");
    EXPECT_EQ(run.status, 1) << option;  // a typo is no success
    EXPECT_EQ(run.err, kNoQueue) << option;
    EXPECT_EQ(run.out, "") << option;  // no prompt
  }
  // No queue CUPS could hold: unknown without asking (a long name once
  // stalled the library for a minute).
  ToolRun run = user({"-x", std::string(40000, 'q')});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, kNoQueue);

  // A scheduler that cannot be asked is not an unknown queue: status 1,
  // nothing prompted, nothing changed, and never later than the deadline,
  // whatever the server (or the name server) does. All at once, to wait once.
  FakeScheduler silent(FakeScheduler::kSilent, test_home() + "/silent.sock");
  FakeScheduler silent_tcp(FakeScheduler::kSilent, "");
  FakeScheduler closing(FakeScheduler::kClose, test_home() + "/closing.sock");
  FakeScheduler trickling(FakeScheduler::kTrickle, test_home() + "/trickling.sock");
  FakeScheduler trickling_tcp(FakeScheduler::kTrickle, "");
  FakeScheduler password(FakeScheduler::kPassword, test_home() + "/password.sock");
  const std::string none = test_home() + "/no-scheduler.sock";
  const int closed = socket(AF_INET, SOCK_STREAM, 0);  // a port bound, but not listening
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string refused = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::string why_not = test_home() + "/offline-resolver.err";
  const bool offline = std::system((OFFLINE_RESOLVER " true >/dev/null 2>" + why_not).c_str()) == 0;
  const std::string late =
      " did not answer within " + std::to_string(TEST_SCHEDULER_DEADLINE) + " s";
  struct Case {
    std::string server;
    std::vector<std::string> env = {};
    std::string why;
    std::vector<std::string> args = {"-pu", "lp1"};
    bool offline = false;
  } cases[] = {
      {.server = none,
       .why = "cannot reach the print scheduler at " + none + ": No such file or directory"},
      {.server = refused,
       .why = "cannot reach the print scheduler at " + refused + ": Connection refused"},
      {.server = silent.server(), .why = "the print scheduler at " + silent.server() + late},
      {.server = silent_tcp.server(),
       .env = {"CUPS_ENCRYPTION=Required"},
       .why = "the print scheduler at " + silent_tcp.server() + late},
      {.server = closing.server(),
       .why = "the print scheduler at " + closing.server() +
              " closed the connection without answering"},
      {.server = closing.server(),
       .why = "the print scheduler at " + closing.server() +
              " closed the connection without answering",
       .args = {"--list"}},
      {.server = trickling.server(), .why = "the print scheduler at " + trickling.server() + late},
      {.server = trickling_tcp.server(),
       .why = "the print scheduler at " + trickling_tcp.server() + late,
       .args = {"--list"}},
      {.server = trickling.server(),
       .why = "the print scheduler at " + trickling.server() + late,
       .args = {"--check", "lp1"}},
      {.server = password.server(),
       .why = "the print scheduler at " + password.server() + " asked for a password"},
      {.server = "printhost.example",
       .why = "cannot resolve the name of the print scheduler printhost.example:631: the name "
              "server did not answer",
       .offline = true},
  };
  write_user_file("alice.conf", "<lp1>\n</lp1>\n", 0600);  // something for --list to ask about
  std::vector<std::thread> runs;
  std::vector<ToolRun> results(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].offline && !offline) {
      std::cerr << "skipped " << cases[i].server
                << ": cannot make a network namespace here: " << read_file(why_not).value_or("")
                << "\n";
      continue;
    }
    runs.emplace_back([&, i] {
      ToolCall call{.args = cases[i].args,
                    .as_root = false,
                    .cups_server = cases[i].server,
                    .env = cases[i].env,
                    .patience_ms = 40000};
      if (cases[i].offline) call.wrapper = {OFFLINE_RESOLVER};
      results[i] = run_tool(call);
    });
  }
  for (std::thread& t : runs) t.join();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].offline && !offline) continue;
    EXPECT_EQ(results[i].status, 1) << cases[i].server;
    EXPECT_TRUE(says(results[i].err, {cases[i].why})) << cases[i].server << " " << cases[i].args[0];
    EXPECT_EQ(results[i].out.find(" : "), std::string::npos) << results[i].out;  // no prompt
  }
  close(closed);
  std::remove(account_path("alice.conf").c_str());
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, RootOnlyOptionsPrintTheUsageForOthers) {
  for (const char* option : {"-e", "-eu", "-d"}) {
    ToolRun run = user({option, "lp1"});
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_EQ(run.err, "velmora-account: "s + option +
                           ": only root may switch a printer's functions\n" + kUsage)
        << option;
  }
  EXPECT_FALSE(file_exists(account_path("status")));
}

TEST_F(Cli, RootOnlyOptionsSetTheStatus) {
  REQUIRE_ROOT("to act as root and as another user");
  EXPECT_EQ(root({"-e", "lp1"}).status, 0);
  EXPECT_EQ(root({"-eu", "lp2"}).status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n");
  EXPECT_EQ(root({"-d", "lp1"}).status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>OFF</lp1>\n<lp2>U_ON</lp2>\n");
  EXPECT_EQ(file_mode(account_path("status")) & 0444, 0444u);
}

TEST_F(Cli, RootFilesUnderRootWhateverUserSays) {
  REQUIRE_ROOT("to act as root and as another user");
  for (const std::optional<std::string>& name :
       {std::optional<std::string>("bob"), std::optional<std::string>()}) {
    EXPECT_EQ(run_tool({.args = {"-p", "lp1"}, .input = "1\n2\n", .user = name}).status, 0);
  }
  EXPECT_EQ(conf("root"), "<lp1>\nid=1\npassword=2\n</lp1>\n");
  EXPECT_FALSE(file_exists(account_path("bob.conf")));
}

TEST_F(Cli, OrdinaryUsersFileUnderUserVerbatim) {
  // Another user's name is used as given; CUPS matches the queue name without
  // regard to case, and it is stored as CUPS spells it.
  ToolRun run = user({"-p", "LP1"}, "1\n2\n", "bob");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(conf("bob"), "<lp1>\nid=1\npassword=2\n</lp1>\n");
  EXPECT_EQ(file_mode(account_path("bob.conf")), 0600u);
}

// Without USER (cron, env -i): under the login name; a user ID without one
// is refused.
TEST_F(Cli, WithoutUserTheLoginName) {
  ToolCall call{.args = {"-p", "lp1"}, .input = "3\n4\n", .as_root = false, .user = std::nullopt};
  // env -i, then only what every run of the tests gets
  call.wrapper = tool_environment(call);
  call.wrapper.insert(call.wrapper.begin(), {"/usr/bin/env", "-i"});
  ASSERT_EQ(run_tool(call).status, 0);
  const std::string login = user_name(ordinary_uid());
  EXPECT_EQ(conf(login), "<lp1>\nid=3\npassword=4\n</lp1>\n");
  struct stat st {};
  ASSERT_EQ(lstat(account_path(login + ".conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ordinary_uid());
  REQUIRE_ROOT("to act as root and as another user");
  call.as_root = true;
  call.wrapper = {"/usr/bin/setpriv", "--reuid=54321", "--regid=54321", "--clear-groups", "--"};
  ToolRun run = run_tool(call);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(says(run.err, {"USER is not set, and user ID 54321 has no login name"}));
}

TEST_F(Cli, UserMustNameAFileInTheAccountDirectory) {
  const std::string unusable = "USER must be a user name that does not start with '.' nor hold '/'";
  struct Case {
    std::optional<std::string> user;
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {"", {"-p", "lp1"}, unusable},
      {"../x", {"-xu", "nosuch"}, unusable},
      {".hidden", {"-p", "lp1"}, unusable},  // a file root's listings would pass over
      {"root",
       {"-p", "lp1"},
       "USER is 'root', another local account, but you are " + user_name(ordinary_uid())},
      {"daemon", {"-x", "lp1"}, "USER is 'daemon', another local account"},
  };
  for (const Case& c : cases) {
    ToolRun run = user(c.args, "1\n2\n", c.user);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(says(run.err, {c.says}));
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, SetAndRemoveEachKindEndToEnd) {
  struct Step {
    const char* option;
    const char* queue;
    std::string input;
    std::string conf;
  } steps[] = {
      {"-p", "lp1", "1234567\n0042\n", "<lp1>\nid=1234567\npassword=0042\n</lp1>\n"},
      {"-pu", "lp1", "alice\nsecret\n",
       "<lp1>\nid=1234567\npassword=0042\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"},
      {"-ps", "lp2", "bob\nlongpas\n",
       "<lp1>\nid=1234567\npassword=0042\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"
       "<lp2>\ns_id=Ym9i\ns_password=bG9uZ3Bhcw==\n</lp2>\n"},
      {"-x", "lp1", "",
       "<lp1>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</"
       "lp1>\n<lp2>\ns_id=Ym9i\ns_password=bG9uZ3Bhcw==\n</lp2>\n"},
      {"-xs", "lp2", "", "<lp1>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"},
      {"-xu", "lp1", "", ""},
  };
  for (const Step& s : steps) {
    ToolRun run = user({s.option, s.queue}, s.input);
    EXPECT_EQ(run.status, 0) << s.option << ": " << run.err;
    EXPECT_EQ(run.err, "") << s.option;
    EXPECT_EQ(conf("alice"), s.conf) << s.option;
  }
  // The prompts, on standard output, in order; asked again after an empty entry.
  EXPECT_EQ(user({"-ps", "lp2"}, "\nbob\n\npw\n").out, "user name : user name : pin : pin : ");
  EXPECT_EQ(user({"-p", "lp2"}, "1\n\n").out, "id : pin : ");
}

TEST_F(Cli, StoreFailuresAreReportedWithStatus1) {
  // Nothing to remove is not a failure, and creates nothing.
  for (const char* option : {"-x", "-xu", "-xs"}) {
    ToolRun run = user({option, "lp1"});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.err, "") << option;
  }
  EXPECT_TRUE(account_dir_entries().empty());

  // A credential file others could have written, beside a leftover of the
  // user's: neither is used; say which file and what to do.
  write_user_file("alice.conf", "<lp1>\nid=1\n</lp1>\n", 0666);
  write_user_file("alice.conf.new", "", 0666);
  const std::string lock = account_path("alice.conf.new");
  const std::string message = account_path("alice.conf") + " has mode 0666 (owned by " +
                              user_name(ordinary_uid()) + "): others could have changed it";
  for (const char* option : {"-p", "-x"}) {
    ToolRun run = user({option, "lp1"}, "9\n9\n");
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_TRUE(says(run.err, {message})) << option;
    EXPECT_EQ(run.out, "") << option;  // said before any prompt
  }
  EXPECT_EQ(conf("alice"), "<lp1>\nid=1\n</lp1>\n");
  EXPECT_TRUE(file_exists(lock));

  // A credential file its owner cannot read is refused, not replaced.
  std::remove(lock.c_str());
  write_user_file("alice.conf", "<lp1>\nid=1\n</lp1>\n", 0000);
  ToolRun unreadable = user({"-p", "lp2"}, "9\n9\n");
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_TRUE(
      says(unreadable.err, {"cannot open " + account_path("alice.conf") + ": Permission denied"}));
  EXPECT_FALSE(file_exists(lock));
  chmod(account_path("alice.conf").c_str(), 0600);

  // Input that ends before the line does: nothing stored, one line, status 1.
  ToolRun run = user({"-pu", "lp2"}, "carol\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(says(run.err, {"reading password: unexpected end of input"}));
  run = user({"-ps", "lp2"}, "");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(says(run.err, {"reading user name: unexpected end of input"}));
  EXPECT_EQ(conf("alice"), "<lp1>\nid=1\n</lp1>\n");
}

// Root's replacement of the public status file is root's alone until its
// rename (mode 0600: no neighbour can open it, let alone hold its lock),
// and root's own leftover is taken over by the next run.
TEST_F(Cli, StatusReplacementIsRootsAloneAndHealsItself) {
  REQUIRE_ROOT("to act as root and as another user");
  std::string old;
  for (int i = 0; i < 3000; ++i)
    old += "<q" + std::to_string(i) + ">ON</q" + std::to_string(i) + ">\n";
  write_file(account_path("status"), old, 0644);
  const std::string replacement = account_path("status.new");
  const off_t complete = static_cast<off_t>(old.size() + std::string("<lp1>ON</lp1>\n").size());
  int seen = 0, public_seen = 0;                             // public while still being written
  ToolCall call{.args = {"-e", "lp1"}, .stop_at = "fsync"};  // written whole, not yet renamed
  call.while_running = [&](pid_t tool) {
    struct stat st {};
    if (lstat(replacement.c_str(), &st) == 0) {
      ++seen;
      if ((st.st_mode & 077) != 0 || st.st_size != complete) ++public_seen;
    }
    kill(tool, SIGCONT);
  };
  ToolRun run = run_tool(call);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_GT(seen, 0);
  EXPECT_EQ(public_seen, 0);
  EXPECT_EQ(file_mode(account_path("status")), 0644u);

  // Left readable by a crash just before its rename, and held open and
  // locked by a reader since: still root's to clear.
  write_file(replacement, "half written\n", 0644);
  const int reader = open(replacement.c_str(), O_RDONLY);
  struct flock shared {};
  shared.l_type = F_RDLCK;
  ASSERT_EQ(fcntl(reader, F_OFD_SETLK, &shared), 0);
  ASSERT_EQ(flock(reader, LOCK_SH), 0);
  run = root({"-d", "lp1"});
  close(reader);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(says(run.err, {"took over " + replacement}));
  EXPECT_EQ(read_file(account_path("status")), old + "<lp1>OFF</lp1>\n");
  EXPECT_FALSE(file_exists(replacement));
}

// ---- The shared directory: what other users may have planted ---------------

constexpr uid_t kNamelessUid = 54321;  // an owner with no login name

TEST_F(Cli, PlantedFilesAreRefusedAndTheirOwnerNamed) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string nobody = user_name(kOrdinaryUid);
  const std::string nameless = std::to_string(kNamelessUid);
  struct Case {
    const char* what;
    std::string name;  // planted in the account directory
    uid_t owner;
    const char* link_from = nullptr;  // non-null: the planted name is a hard link to this file
    bool as_root = true;
    std::vector<std::string> args;
    std::string says;  // after `lead` and the planted path
    bool grows = false;
    std::string lead = "";
    mode_t mode = 0644;
  } cases[] = {
      {.what = "status planted before root's first -e",
       .name = "status",
       .owner = kOrdinaryUid,
       .args = {"-e", "lp1"},
       .says = " belongs to " + nobody + ", not to root;"},
      {.what = "root.conf planted",
       .name = "root.conf",
       .owner = kOrdinaryUid,
       .args = {"-p", "lp1"},
       .says = " belongs to " + nobody + ", not to root;"},
      {.what = "status that keeps growing",
       .name = "status",
       .owner = kOrdinaryUid,
       .args = {"-d", "lp1"},
       .says = " belongs to " + nobody + ", not to root;",
       .grows = true},
      {.what = "status hard-linked to a user's secrets",
       .name = "status",
       .owner = kOrdinaryUid,
       .link_from = "alice.conf",
       .args = {"-eu", "lp1"},
       .says = " belongs to " + nobody + ", not to root;"},
      {.what = "status hard-linked to root's secrets",
       .name = "status",
       .owner = 0,
       .link_from = "root.conf",
       .args = {"-e", "lp1"},
       .says = " has 2 hard links (owned by root);"},
      {.what = "the user's file made by root",
       .name = "alice.conf",
       .owner = 0,
       .as_root = false,
       .args = {"-x", "lp1"},
       .says = " belongs to root, not to " + nobody + " (USER is 'alice', not your login name);"},
      {.what = "the user's file made by a neighbour",
       .name = "alice.conf",
       .owner = kNamelessUid,
       .as_root = false,
       .args = {"-p", "lp1"},
       .says = " belongs to " + nameless + ", not to " + nobody},
      {.what = "the user's replacement file made by a neighbour",
       .name = "alice.conf.new",
       .owner = kNamelessUid,
       .as_root = false,
       .args = {"-pu", "lp1"},
       .says = ": File exists (owned by " + nameless + "): only " + nameless,
       .lead = "cannot create "},
      {.what = "root's replacement file made by a neighbour",
       .name = "status.new",
       .owner = kOrdinaryUid,
       .args = {"-e", "lp1"},
       .says = ": File exists (owned by " + nobody + "): inspect it",
       .lead = "cannot create "},
      {.what = "a private file of root's moved in as status",
       .name = "status",
       .owner = 0,
       .args = {"-e", "lp1"},
       .says = " has mode 0600 (owned by root): the status file must be readable by everyone;",
       .mode = 0600},
      {.what = "a credential file others may write",
       .name = "alice.conf",
       .owner = kOrdinaryUid,
       .as_root = false,
       .args = {"-x", "lp1"},
       .says = " has mode 0660 (owned by " + nobody + "): others could have changed it;",
       .mode = 0660},
  };
  for (const Case& c : cases) {
    SetUp();
    const std::string planted = account_path(c.name);
    const std::string bytes = "<lp1>OFF</lp1>\nid=planted\n";
    if (c.link_from != nullptr) {
      write_file(account_path(c.link_from), bytes, 0600);
      ASSERT_EQ(lchown(account_path(c.link_from).c_str(), c.owner, c.owner), 0);
      ASSERT_EQ(link(account_path(c.link_from).c_str(), planted.c_str()), 0);
    } else {
      write_file(planted, bytes, c.mode);
      ASSERT_EQ(lchown(planted.c_str(), c.owner, c.owner), 0);
    }
    std::atomic<bool> done = false;
    std::thread writer;
    if (c.grows) {
      writer = std::thread([&] {
        std::ofstream out(planted, std::ios::app);
        while (!done) out << "<lp2>ON</lp2>\n" << std::flush;
      });
    }
    ToolRun run = c.as_root ? root(c.args, "1\n2\n") : user(c.args, "1\n2\n");
    done = true;
    if (writer.joinable()) writer.join();
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_TRUE(says(run.err, {c.lead + planted + c.says})) << c.what;
    EXPECT_EQ(run.out, "") << c.what;  // refused before any prompt
    struct stat st {};
    ASSERT_EQ(lstat(planted.c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_uid, c.owner) << c.what;
    std::string now = read_file(planted).value_or("");
    EXPECT_EQ(c.grows ? now.substr(0, bytes.size()) : now, bytes) << c.what;
    for (const std::string& entry : account_dir_entries()) {
      EXPECT_TRUE(entry == c.name || (c.link_from != nullptr && entry == c.link_from))
          << c.what << ": " << entry;
    }
  }
}

// (The status file's mode is checked by the store's tests.)
TEST_F(Cli, CredentialFileStaysReadableByTheNextRunWhateverTheUmask) {
  for (const auto& [option, input] : {std::pair{"-p", "1\n2\n"}, std::pair{"-pu", "al\npw\n"}}) {
    ToolRun run =
        run_tool({.args = {option, "lp1"}, .input = input, .as_root = false, .umask = 0777});
    EXPECT_EQ(run.status, 0) << option << ": " << run.err;
    EXPECT_EQ(file_mode(account_path("alice.conf")), 0600u) << option;
  }
  EXPECT_EQ(conf("alice"), "<lp1>\nid=1\npassword=2\nu_id=" + base64("al") +
                               "\nu_password=" + base64("pw") + "\n</lp1>\n");
}

TEST_F(Cli, ClosedStandardDescriptorsReadAsNothing) {
  REQUIRE_ROOT("to act as root and as another user");
  struct Case {
    std::vector<int> closed;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;
    std::optional<std::string> status_file;
  } cases[] = {
      {{0}, {"-p", "lp1"}, 1, {"reading id: unexpected end of input"}, std::nullopt},
      {{0, 1, 2}, {"-p", "lp1"}, 1, {}, std::nullopt},
      {{0, 1, 2}, {"-e", "lp1"}, 0, {}, "<lp1>ON</lp1>\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    ToolRun run = run_tool({.args = c.args, .closed = c.closed});
    EXPECT_EQ(run.status, c.status) << c.closed.size() << c.args[0] << run.err;
    EXPECT_TRUE(says(run.err, c.says));
    EXPECT_EQ(read_file(account_path("status")), c.status_file);
    EXPECT_FALSE(file_exists(account_path("root.conf")));
  }
}

TEST_F(Cli, SignalDuringAnUpdateRemovesItsReplacementFile) {
  REQUIRE_ROOT("to act as root and as another user");
  // Stopped before its rename: the signal lands mid-update whatever the disk.
  std::string old;
  for (int i = 0; i < 200; ++i)
    old += "<q" + std::to_string(i) + ">\nid=1\n</q" + std::to_string(i) + ">\n";
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGRTMIN, SIGPWR, SIGSYS}) {
    SetUp();
    write_file(account_path("root.conf"), old, 0600);
    const std::string replacement = account_path("root.conf.new");
    bool seen = false;
    ToolCall call{.args = {"-x", "q1"}, .stop_at = "fsync"};
    call.while_running = [&](pid_t tool) {
      seen = file_exists(replacement);
      kill(tool, signo);
      kill(tool, SIGCONT);
    };
    ToolRun run = run_tool(call);
    EXPECT_TRUE(seen) << strsignal(signo);
    EXPECT_EQ(run.status, 128 + signo) << strsignal(signo) << run.err;
    EXPECT_FALSE(file_exists(replacement)) << strsignal(signo);
    EXPECT_EQ(read_file(account_path("root.conf")), old) << strsignal(signo);
  }
}

// An update that is stopped holds its replacement file: others are told to
// wait; if the file is removed anyway and another update goes through, the
// stopped one, continued, renames nothing. One that was killed left a file
// nobody holds, and says so.
TEST_F(Cli, ReplacementFileIsALockHeldByALiveRun) {
  std::string old;
  for (int i = 0; i < 30; ++i)
    old += "<q" + std::to_string(i) + ">\nid=1\n</q" + std::to_string(i) + ">\n";
  write_user_file("alice.conf", old + "<lp1>\nid=1\n</lp1>\n", 0600);
  const std::string path = account_path("alice.conf"), lock = path + ".new";
  const std::string owner = "(owned by " + user_name(ordinary_uid()) + "): ";
  const std::string added = "<lp2>\nid=7\npassword=8\n</lp2>\n";
  ToolRun waiting, second;
  // Stopped holding its replacement file.
  ToolCall first{.args = {"-x", "lp1"}, .as_root = false, .patience_ms = 60000, .stop_at = "fsync"};
  first.while_running = [&](pid_t tool) {
    waiting = user({"-p", "lp2"}, "7\n8\n");
    std::remove(lock.c_str());  // against the advice
    second = user({"-p", "lp2"}, "7\n8\n");
    kill(tool, SIGCONT);
  };
  ToolRun stopped = run_tool(first);
  EXPECT_EQ(waiting.status, 1);
  EXPECT_TRUE(says(waiting.err, {"cannot create " + lock + ": File exists " + owner +
                                 "another update of " + path + " is running now"}));
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(stopped.status, 1);
  EXPECT_TRUE(says(stopped.err, {"cannot update " + path + ": its replacement file " + lock +
                                 " was removed or replaced"}));
  EXPECT_EQ(conf("alice"), old + "<lp1>\nid=1\n</lp1>\n" + added);

  first.args = {"-x", "lp2"};
  first.while_running = [&](pid_t tool) { kill(tool, SIGKILL); };
  EXPECT_EQ(run_tool(first).status, 128 + SIGKILL);
  ASSERT_TRUE(file_exists(lock));
  // --check tells, and the next update takes the leftover over.
  EXPECT_NE(user({"--check", "lp2"})
                .out.find("replacement-file: left by an interrupted update (the next "
                          "update takes it over)\n"),
            std::string::npos);
  ToolRun after = user({"-x", "lp2"});
  EXPECT_EQ(after.status, 0);
  EXPECT_TRUE(says(after.err, {"took over " + lock}));
  EXPECT_EQ(conf("alice"), old + "<lp1>\nid=1\n</lp1>\n");
  EXPECT_FALSE(file_exists(lock));
}

// Runs stopped (or killed) at a call while others go through: whatever the
// schedule, what each run says is true, and nothing left behind blocks
// anyone's next run.
TEST_F(Cli, CrashAndRaceSchedulesEndTruly) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string path = account_path("alice.conf"), fresh = path + ".new";
  const std::string gone = "<gone>\nid=1\n</gone>\n", lp1 = "<lp1>\nid=7\npassword=8\n</lp1>\n";
  const std::string lp2 = "<lp2>\nid=5\npassword=6\n</lp2>\n";
  auto call = [](bool as_root, std::vector<std::string> args, std::string input = "",
                 std::string stop_at = "", std::string stop_path = "") {
    return ToolCall{.args = std::move(args),
                    .input = std::move(input),
                    .as_root = as_root,
                    .stop_at = std::move(stop_at),
                    .stop_path = std::move(stop_path)};
  };
  // The link that puts a replacement file under its name.
  const std::string naming = without_tmpfile() ? "renameat2" : "linkat";
  struct Case {
    const char* what;
    std::string old;
    std::function<void()> plant = nullptr;
    ToolCall stopped = {};  // args empty: none; its input is given after the others ran
    bool kill = false;      // killed where it stopped, else continued
    std::vector<std::string> stopped_says = {};
    ToolCall meanwhile;  // goes through while the first is stopped, or after
    int status = 0;      // of that run
    std::vector<std::string> says = {};
    std::string result;
  } cases[] = {
      {.what = "root's --forget holds the user's replacement file",
       .old = gone,
       .stopped = call(true, {"--forget", "gone"}, "", "fsync"),
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .status = 1,
       .says = {"cannot create " + fresh + ": File exists (owned by " + user_name(ordinary_uid()) +
                "): the administrator's update of " + path + " is running now"},
       .result = ""},
      {.what = "root's --forget killed holding it",
       .old = gone,
       .stopped = call(true, {"--forget", "gone"}, "", "fsync"),
       .kill = true,
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .says = {"took over " + fresh},
       .result = gone + lp1},
      {.what = "the file renamed over between its open and the look at it",
       .old = gone,
       .stopped = call(false, {"-p", "lp2"}, "5\n6\n", "openat", test_account_dir()),
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .result = gone + lp1 + lp2},
      {.what = "a leftover gone before the run could clear it",
       .old = gone + lp2,
       .plant = [&] { write_user_file("alice.conf.new", "half\n", 0600); },
       .stopped = call(false, {"-x", "lp2"}, "", naming),
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .says = {"took over " + fresh},
       .result = gone + lp1},
      {.what = "a leftover another run is looking at",
       .old = gone + lp2,
       .plant = [&] { write_user_file("alice.conf.new", "half\n", 0600); },
       .stopped = call(false, {"-x", "lp2"}, "", "openat", test_account_dir()),
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .says = {"took over " + fresh},
       .result = gone + lp1},
      // Another run taking a leftover over, stopped holding its turn: a
      // third run is told an update runs now, never that one was
      // interrupted and should be run again.
      {.what = "a leftover another run is taking over, and another -p",
       .old = gone + lp2,
       .plant = [&] { write_user_file("alice.conf.new", "half\n", 0600); },
       .stopped = call(false, {"-x", "lp2"}, "", "flock", fresh),
       .stopped_says = {"took over " + fresh},
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .status = 1,
       .says = {"cannot create " + fresh + ": File exists (owned by " + user_name(ordinary_uid()) +
                "): another update of " + path + " is running now"},
       .result = gone},
      {.what = "a leftover another run is taking over, and root's --forget",
       .old = gone + lp2,
       .plant = [&] { write_user_file("alice.conf.new", "half\n", 0600); },
       .stopped = call(false, {"-x", "lp2"}, "", "flock", fresh),
       .stopped_says = {"took over " + fresh},
       .meanwhile = call(true, {"--forget", "gone"}),
       .status = 1,
       .says = {"cannot create " + fresh + ": File exists (owned by " + user_name(ordinary_uid()) +
                "): another update of " + path + " is running now"},
       .result = gone},
      {.what = "a leftover with a second, private name",
       .old = gone,
       .plant =
           [&] {
             write_user_file("alice.conf.new", "half\n", 0600);
             ASSERT_EQ(
                 link(fresh.c_str(), account_path(".alice.conf.new.0123456789abcdef").c_str()), 0);
           },
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .says = {"took over " + fresh},
       .result = gone + lp1},
      {.what = "32,768 private names planted by a neighbour",
       .old = gone,
       .plant =
           [&] {
             for (int pid = 1; pid <= 32768; ++pid) {
               const std::string planted = account_path(".alice.conf.new." + std::to_string(pid));
               close(open(planted.c_str(), O_CREAT | O_WRONLY, 0600));
               ASSERT_EQ(lchown(planted.c_str(), kNamelessUid, kNamelessUid), 0);
             }
           },
       .meanwhile = call(false, {"-p", "lp1"}, "7\n8\n"),
       .result = gone + lp1},
  };
  for (Case& c : cases) {
    SetUp();
    write_user_file("alice.conf", c.old, 0600);
    if (c.plant) c.plant();
    ToolRun meanwhile, stopped;
    if (c.stopped.args.empty()) {
      meanwhile = run_tool(c.meanwhile);
    } else {
      c.stopped.while_running = [&](pid_t tool) {
        if (!c.kill) meanwhile = run_tool(c.meanwhile);
        kill(tool, c.kill ? SIGKILL : SIGCONT);
      };
      stopped = run_tool(c.stopped);
      EXPECT_EQ(stopped.status, c.kill ? 128 + SIGKILL : 0) << c.what << stopped.err;
      EXPECT_TRUE(says(stopped.err, c.stopped_says)) << c.what;
      if (c.kill) meanwhile = run_tool(c.meanwhile);
    }
    EXPECT_EQ(meanwhile.status, c.status) << c.what << meanwhile.err;
    EXPECT_TRUE(says(meanwhile.err, c.says)) << c.what;
    EXPECT_EQ(conf("alice"), c.result) << c.what;
    for (const std::string& entry : account_dir_entries()) {
      EXPECT_TRUE(entry == "alice.conf" || entry.starts_with(".alice.conf.new.") ||
                  entry == "root.conf")
          << c.what << ": " << entry << " left behind";
    }
  }
}

// Anyone may create files in the account directory, so it must keep users
// from replacing each other's: root's (or the caller's), sticky if shared.
TEST_F(Cli, UnsafeAccountDirectoryIsRefused) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string dir = test_account_dir();
  const std::string parent = dir.substr(0, dir.rfind('/'));
  struct stat parent_was {};
  ASSERT_EQ(stat(parent.c_str(), &parent_was), 0);
  struct Case {
    uid_t owner;
    mode_t mode;
    bool as_root;
    std::string says;
    mode_t parent_mode = 0;  // 0: as it is
  } cases[] = {
      {kOrdinaryUid, 01777, true,
       "the account directory " + dir + " belongs to " + user_name(kOrdinaryUid) + ", not to root"},
      {0, 0777, false, "the account directory " + dir + " has mode 0777: others may write in it"},
      // The whole path counts: whoever may swap a directory above it may
      // swap the account directory itself.
      {0, 01777, true,
       "the directory " + parent + " above the account directory " + dir + " has mode 0775", 0775},
  };
  for (const Case& c : cases) {
    SetUp();
    ASSERT_EQ(chown(dir.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);
    if (c.parent_mode != 0) {
      ASSERT_EQ(chmod(parent.c_str(), c.parent_mode), 0);
    }
    ToolRun run = c.as_root ? root({"-p", "lp1"}, "1\n2\n") : user({"-p", "lp1"}, "1\n2\n");
    chmod(parent.c_str(), parent_was.st_mode & 07777);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(says(run.err, {c.says}));
    EXPECT_TRUE(account_dir_entries().empty());
  }
}

// ---- Status 0 means the typed values are where drivers look ------------------

TEST_F(Cli, SuccessMeansStoredWhereDriversLook) {
  const std::string old = base64("old"), al = base64("al"), pw = base64("pw");
  const std::string bad_pin = "password: the text is not valid",
                    bad_name = "user name: the text is not valid";
  const std::string kJapanese =
      "LANG=ja_JP.UTF-8";  // UTF-8, EUC-JP, SHIFT-JIS: none takes a lone 0xFF
  // A locale whose name says no character set: only the system's locale data
  // tells that it is Latin-1.
  const std::string kGenerated = "(a generated Latin-1 locale)";
  const std::optional<std::string> latin_locale = generate_latin_locale();
  const std::string jaa = "J\xC3\xA4\xC3\xA4";  // Jää in UTF-8
  struct Case {
    const char* what;
    std::string old = {};
    std::vector<std::string> args = {};
    std::string input = {};
    std::vector<std::string> env = {};
    int status = 0;
    std::string out = {};
    std::vector<std::string> says = {};
    std::optional<std::string> result = std::nullopt;  // nullopt: the old file, untouched
  } cases[] = {
      {.what = "queue named in another case",
       .old = "<lp1>\nid=1\npassword=2\n</lp1>\n",
       .args = {"-pu", "LP1"},
       .input = "al\npw\n",
       .out = "user name : pin : ",
       .result = "<lp1>\nid=1\npassword=2\nu_id=" + al + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "remove by another case",
       .old = "<lp1>\nu_id=" + old + "\nu_password=" + old + "\n</lp1>\nx\n",
       .args = {"-xu", "LP1"},
       .result = "x\n"},
      {.what = "a remove clears sections in another case too",
       .old = "<LP1>\nu_id=" + old + "\n</LP1>\n<lp1>\nid=1\nu_id=" + old + "\n</lp1>\n",
       .args = {"-xu", "lp1"},
       .result = "<lp1>\nid=1\n</lp1>\n"},
      {.what = "a remove for a queue CUPS no longer knows",
       .old = "<gone>\nid=1\npassword=2\n</gone>\nx\n",
       .args = {"-x", "gone"},
       .result = "x\n"},
      {.what = "a set for a vanished queue is not done",
       .old = "<gone>\nid=1\n</gone>\n",
       .args = {"-p", "gone"},
       .input = "1\n2\n",
       .status = 1,
       .says = {"No Printer Queue Entry"}},
      {.what = "a section twice: refused before a prompt",
       .old = "<lp1>\nu_id=" + old + "\n</lp1>\n<lp1>\n</lp1>\n",
       .args = {"-pu", "lp1"},
       .input = "al\npw\n",
       .status = 1,
       .says = {"cannot update " + account_path("alice.conf") +
                ": the section <lp1> is in the file twice (line 4); nothing was changed; run: "
                "velmora-account -x lp1 to take out its own lines"}},
      {.what = "a lone user name gets its password",
       .old = "<lp1>\nu_id=" + old + "\n</lp1>\n",
       .args = {"-pu", "lp1"},
       .input = "al\npw\n",
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + al + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "a lone password gets its user name",
       .old = "<lp1>\ns_password=" + old + "\n</lp1>\n",
       .args = {"-ps", "lp1"},
       .input = "al\npw\n",
       .out = "user name : pin : ",
       .result = "<lp1>\ns_password=" + pw + "\ns_id=" + al + "\n</lp1>\n"},
      {.what = "a section without its closing tag: refused before a prompt",
       .old = "<lp2>\n</lp2>\n<lp1>\nu_id=" + old + "\n",
       .args = {"-pu", "lp1"},
       .input = "al\npw\n",
       .status = 1,
       .says = {"cannot update " + account_path("alice.conf") +
                ": the section <lp1> has no closing tag (line 3)"}},
      {.what = "a piped unconvertible password ends the run",
       .old = "x\n",
       .args = {"-pu", "lp1"},
       .input = "al\n\xff\n",
       .env = {kJapanese},
       .status = 1,
       .out = "user name : pin : ",
       .says = {bad_pin}},
      {.what = "a piped unconvertible user name ends the run",
       .old = "x\n",
       .args = {"-pu", "lp1"},
       .input = "\xff\nal\n\xffx\npw\n",
       .env = {kJapanese},
       .status = 1,
       .out = "user name : ",
       .says = {bad_name}},
      {.what = "an empty password is still accepted",
       .args = {"-pu", "lp1"},
       .input = "al\n\n",
       .env = {kJapanese},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + al + "\nu_password=\n</lp1>\n"},
      {.what = "a piped ID over 7 bytes ends the run, the next line unread",
       .args = {"-p", "lp1"},
       .input = "12345678\n1234567\n0042\n",
       .status = 1,
       .out = "id : ",
       .says = {"id: too long: at most 7 bytes can be stored, this is 8; nothing was changed\n"}},
      {.what = "a piped empty user name is asked again, one over 32 bytes ends the run",
       .args = {"-pu", "lp1"},
       .input = "\n" + std::string(33, 'u') + "\nal\npw\n",
       .status = 1,
       .out = "user name : user name : ",
       .says =
           {"user name: too long: at most 32 bytes of UTF-8 can be stored, this is 33; nothing"}},
      {.what = "a piped empty secured print password is asked again, one over 7 bytes ends the run",
       .args = {"-ps", "lp1"},
       .input = "al\n\n\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\npw\n",
       .status = 1,
       .out = "user name : pin : pin : ",
       .says = {"password: cannot be empty for secured print; type it again\n",
                "password: too long: at most 7 bytes of UTF-8 can be stored, this is 8; nothing"}},
      {.what = "CR LF ends a line",
       .args = {"-pu", "lp1"},
       .input = "al\r\npw\r\n",
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + al + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "a piped NUL byte ends the run",
       .args = {"-p", "lp1"},
       .input = "\0abc\n1\n\0xyz\n2\n"s,
       .status = 1,
       .out = "id : ",
       .says = {"id: the text holds a NUL byte, which cannot be stored; nothing was changed\n"}},
      {.what = "a piped CR inside an ID ends the run",
       .args = {"-p", "lp1"},
       .input = "1\r2\n1\n2\n",
       .status = 1,
       .out = "id : ",
       .says = {"id: the text holds a carriage return or a 0xFF byte"}},
      {.what = "the last line needs no line feed",
       .args = {"-p", "lp1"},
       .input = "1234567\n0042",
       .out = "id : pin : ",
       .result = "<lp1>\nid=1234567\npassword=0042\n</lp1>\n"},
      {.what = "Latin-1 under its locale",
       .args = {"-pu", "lp1"},
       .input = "J\xE4\xE4\npw\n",
       .env = {"LANG=de_DE.ISO-8859-1"},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64(jaa) + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "KOI8-R under its locale",
       .args = {"-pu", "lp1"},
       .input = "\xE9\xD7\xC1\xCE\npw\n",
       .env = {"LANG=ru_RU.KOI8-R"},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD") +
                 "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "EUC-KR under LC_ALL, whatever LANG says",
       .args = {"-pu", "lp1"},
       .input = "\xC7\xD1\xB1\xDB\npw\n",
       .env = {"LC_ALL=ko_KR.EUC-KR", "LANG=en_GB.UTF-8"},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64("\xED\x95\x9C\xEA\xB8\x80") + "\nu_password=" + pw +
                 "\n</lp1>\n"},
      {.what = "E9 E9 with no locale is EUC-JP",
       .args = {"-pu", "lp1"},
       .input = "\xE9\xE9\npw\n",
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64("\xE8\x9C\x91") + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "an empty LC_CTYPE still chooses the last list",
       .args = {"-pu", "lp1"},
       .input = "caf\xE9\npw\n",
       .env = {"LC_CTYPE=", "LANG=ja_JP.UTF-8"},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64("caf\xC3\xA9") + "\nu_password=" + pw + "\n</lp1>\n"},
      {.what = "Latin-1 by the locale's data",
       .args = {"-pu", "lp1"},
       .input = "J\xE4\xE4\npw\n",
       .env = {kGenerated},
       .out = "user name : pin : ",
       .result = "<lp1>\nu_id=" + base64(jaa) + "\nu_password=" + pw + "\n</lp1>\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    write_user_file("alice.conf", c.old, 0600);
    ToolCall call{.args = c.args, .input = c.input, .as_root = false, .env = c.env};
    if (c.env.size() == 1 && c.env[0] == kGenerated) {
      if (!latin_locale) {
        std::cerr << "skipped " << c.what << ": localedef could not build a Latin-1 locale\n";
        continue;
      }
      call.env = {"LOCPATH=" + *latin_locale, "LANG=velmora_latin"};
    }
    ToolRun run = run_tool(call);
    EXPECT_EQ(run.status, c.status) << c.what;
    EXPECT_EQ(run.out, c.out) << c.what;
    EXPECT_TRUE(says(run.err, c.says)) << c.what;
    EXPECT_EQ(conf("alice"), c.result.value_or(c.old)) << c.what;
  }
}

TEST_F(Cli, StatusIsStoredUnderTheQueuesOwnSpelling) {
  REQUIRE_ROOT("to act as root and as another user");
  write_file(account_path("status"), "<lp1>ON</lp1>\n", 0644);
  EXPECT_EQ(root({"-d", "LP1"}).status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>OFF</lp1>\n");
}

// ---- What is stored, and what drivers will find --------------------------------

TEST_F(Cli, ListShowsWhatIsStoredButNoValue) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string name = base64("secret-name"), pass = base64("secret-pass");
  const std::string conf = "<lp1>\nu_id=" + name + "\nu_password=" + pass +
                           "\n</lp1>\n<lp2>\nid=4242\n</lp2>\n" + "<LP2>\ns_id=" + name +
                           "\ns_password=" + pass + "\n</LP2>\n<gone>\nid=1\npassword=2\n</gone>\n";
  const std::string status = "<lp1>U_ON</lp1>\n<lp2>ON</lp2>\n<nothere>OFF</nothere>\n";
  const std::string header =
      "QUEUE    SWITCHED-ON          JOB-ACCOUNTING  USER-AUTHENTICATION  SECURED-PRINT  CUPS\n";
  const std::string refused =
      account_path("alice.conf") + " belongs to " + std::to_string(kNamelessUid);
  struct Case {
    uid_t owner;  // of alice.conf
    int status;
    std::string out;
    std::vector<std::string> says;
  } cases[] = {
      {kOrdinaryUid,
       0,
       header + "LP2      -                    -               -                    stored         "
                "other-case\n"
                "gone     -                    stored          -                    -              "
                "gone\n"
                "lp1      user-authentication  -               stored               -              "
                "known\n"
                "lp2      job-accounting       incomplete      -                    -              "
                "known\n"
                "nothere  off                  -               -                    -              "
                "gone\n",
       {}},
      {kNamelessUid,
       1,
       header + "lp1      user-authentication  -               -                    -              "
                "known\n"
                "lp2      job-accounting       -               -                    -              "
                "known\n"
                "nothere  off                  -               -                    -              "
                "gone\n",
       {refused}},
  };
  for (const Case& c : cases) {
    write_file(account_path("status"), status, 0644);
    write_file(account_path("alice.conf"), conf, 0600);
    ASSERT_EQ(lchown(account_path("alice.conf").c_str(), c.owner, c.owner), 0);
    ToolRun run = user({"--list"});
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    EXPECT_TRUE(says(run.err, c.says));
    for (const std::string& secret : {name, pass, std::string("4242")}) {
      EXPECT_EQ(run.out.find(secret), std::string::npos) << secret;
    }
  }
}

TEST_F(Cli, TheCheckSaysWhetherTheDriverWillFindWhatItNeeds) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string id = "<lp1>\nid=1\npassword=2\n</lp1>\n",
                    user_auth = "<lp1>\nu_id=YQ==\nu_password=YQ==\n</lp1>\n";
  struct Case {
    const char* what;
    std::string conf = {}, status = {};
    bool leftover = false;  // alice.conf.new left by an interrupted update
    const char* queue = "lp1";
    int code = 0;
    std::vector<std::string> says = {};
    std::string out_has = {};
  } cases[] = {
      {.what = "user authentication on and stored",
       .conf = user_auth,
       .status = "<lp1>U_ON</lp1>\n",
       .queue = "LP1",
       .out_has =
           "switched-on: user-authentication\njob-accounting: -\nuser-authentication: stored\n"},
      {.what = "job accounting on, half stored",
       .conf = "<lp1>\nid=1\n</lp1>\n",
       .status = "<lp1>ON</lp1>\n",
       .code = 1,
       .says = {"lp1: job accounting is on, but the ID and PIN stored for alice are incomplete; "
                "run: velmora-account -p lp1"},
       .out_has = "job-accounting: incomplete\n"},
      {.what = "job accounting on, stored only in another case",
       .conf = user_auth + "<LP1>\nid=1\npassword=2\n</LP1>\n",
       .status = "<lp1>ON</lp1>\n",
       .code = 1,
       .says = {"lp1: job accounting is on, but no ID and PIN are stored"},
       .out_has = "other-spellings: LP1\n"},
      {.what = "user authentication on, an update interrupted",
       .conf = id,
       .status = "<lp1>U_ON</lp1>\n",
       .leftover = true,
       .code = 1,
       .says = {"lp1: user authentication is on, but no user name and password are stored for "
                "alice; run: velmora-account -pu lp1\n"},
       .out_has =
           "replacement-file: left by an interrupted update (the next update takes it over)\n"},
      {.what = "both off", .status = "<lp1>OFF</lp1>\n", .out_has = "switched-on: off\n"},
      {.what = "nothing recorded",
       .conf = id,
       .out_has = "switched-on: -\njob-accounting: stored\n"},
      {.what = "a queue CUPS does not know",
       .conf = id,
       .queue = "nosuch",
       .code = 1,
       .says = {"nosuch: CUPS knows no such queue"}},
      {.what = "a queue CUPS no longer knows",
       .conf = "<gone>\nid=1\n</gone>\n",
       .queue = "gone",
       .code = 1,
       .says =
           {"gone: CUPS no longer knows this queue, but your credential file still has a section"}},
  };
  for (const Case& c : cases) {
    SetUp();
    write_file(account_path("status"), c.status, 0644);
    write_user_file("alice.conf", c.conf, 0600);
    if (c.leftover) write_user_file("alice.conf.new", "", 0600);
    ToolRun run = user({"--check", c.queue});
    EXPECT_EQ(run.status, c.code) << c.what;
    EXPECT_TRUE(says(run.err, c.says)) << c.what;
    EXPECT_NE(run.out.find(c.out_has), std::string::npos) << c.what << ": " << run.out;
  }
}

// One row per kind of damage: --check names it and is not ready, --list and
// root's --list --all-users name it and end with 1, a set is refused before
// a prompt, and the removes named take out that section's own lines only.
TEST_F(Cli, DamagedSectionsAreToldRefusedAndMended) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string path = account_path("alice.conf"), lp2 = "<lp2>\nid=3\npassword=4\n</lp2>\n";
  const struct Case {
    std::string conf;
    const char* field;               // --check's damage field
    std::string wrong;               // after "the section <lp1> "
    std::vector<std::string> mends;  // the removes named, in order
    std::string removed;             // what the last one says it took out
    std::string mended;
  } cases[] = {
      {"<lp1>\nid=1\npassword=2\n" + lp2,
       "no-closing-tag",
       "has no closing tag (line 1)",
       {"-x"},
       "the damaged section <lp1> (lines 1 to 3",
       lp2},
      {lp2 + "</lp1>\n",
       "stray-closing-tag",
       "has a closing tag where no such section is open (line 5)",
       {"-x"},
       "the damaged section <lp1> (line 5",
       lp2},
      {"<lp1>\nid=1\n</lp1>\n" + lp2 + "<lp1>\n</lp1>\n",
       "duplicate-section",
       "is in the file twice (line 8)",
       {"-xu"},
       "the damaged section <lp1> (lines 8 to 9",
       "<lp1>\nid=1\n</lp1>\n" + lp2},  // the first section's ID stays
      {"<lp1>\nu_id=YQ==\nu_password=YQ==\n</lp1>\nid=9\n" + lp2,
       "lone-key",
       "has a key line outside every section (line 5)",
       {"-x"},
       "lines of the damaged section <lp1> (line 5",
       "<lp1>\nu_id=YQ==\nu_password=YQ==\n</lp1>\n" + lp2},
      {"<lp1>\nid=1\n# mine\nu_id=YQ==\n</lp1>\n" + lp2,
       "foreign-line",
       "holds a line that is not a key line (line 3)",
       {"-x", "-xu"},
       "the damaged section <lp1> (lines 1 and 3 to 4",
       "# mine\n" + lp2},
  };
  for (const Case& c : cases) {
    SetUp();
    write_user_file("alice.conf", c.conf, 0600);
    std::string told = "the section <lp1> " + c.wrong + "; run: ";
    for (const std::string& mend : c.mends) told += "velmora-account " + mend + " lp1 and ";
    told.erase(told.size() - 5);
    ToolRun run = user({"--check", "lp1"});
    EXPECT_EQ(run.status, 1) << c.field;
    EXPECT_TRUE(says(run.err, {path + ": " + told})) << c.field;
    EXPECT_NE(run.out.find("job-accounting: damaged\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("damage: "s + c.field + "\n"), std::string::npos) << run.out;
    run = user({"--list"});
    EXPECT_EQ(run.status, 1) << c.field;
    EXPECT_TRUE(says(run.err, {path + ": " + told})) << c.field;
    EXPECT_EQ(run.out,  // lp2 is never credited to lp1, nor lp1 to lp2
              "QUEUE  SWITCHED-ON  JOB-ACCOUNTING  USER-AUTHENTICATION  SECURED-PRINT  CUPS\n"
              "lp1    -            damaged         damaged              damaged        known\n"
              "lp2    -            stored          -                    -              known\n");
    EXPECT_NE(user({"--list", "--json"}).out.find("\"damage\": \""s + c.field + "\""),
              std::string::npos);
    run = root({"--list", "--all-users"});
    EXPECT_EQ(run.status, 1) << c.field;
    EXPECT_NE(run.err.find("ask the file's owner to run: USER=alice velmora-account " + c.mends[0]),
              std::string::npos)
        << run.err;
    run = user({"-p", "lp1"}, "1\n2\n");
    EXPECT_EQ(run.status, 1) << c.field;
    EXPECT_EQ(run.out, "");  // nothing asked
    EXPECT_TRUE(says(run.err, {"cannot update " + path + ": the section <lp1> " + c.wrong}));
    EXPECT_EQ(conf("alice"), c.conf);
    for (const std::string& mend : c.mends) run = user({mend, "lp1"});
    EXPECT_EQ(run.status, 0) << c.field;
    EXPECT_TRUE(says(run.err, {"removed " + c.removed + " of " + path + ")\n"})) << c.field;
    EXPECT_EQ(conf("alice"), c.mended) << c.field;
    EXPECT_EQ(user({"--check", "lp1"}).status, 0) << c.field;
  }
}

// ---- For the administrator ----------------------------------------------------

// Whether text is one JSON document, as python3 reads it.
bool parses_as_json(const std::string& text) {
  const std::string path = test_home() + "/document.json";
  write_file(path, text, 0644);
  return std::system(
             ("python3 -c 'import json, sys; json.load(open(sys.argv[1]))' " + path).c_str()) == 0;
}

// Root acts for a local account with --user: the file is that account's, as
// if they had typed the values themselves; nobody else may act for another.
TEST_F(Cli, RootActsForAUserWithUser) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string nobody = user_name(kOrdinaryUid);
  struct Case {
    bool as_root;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> says;
  } cases[] = {
      {true, {"--user", nobody, "-p", "lp1"}, "1234567\n0042\n", 0, {}},
      {true, {"--user=" + nobody, "--check", "lp1", "--json"}, "", 0, {}},
      {false, {"--user", nobody, "--list", "--json"}, "", 0, {}},   // oneself is allowed
      {false, {"--user", "alice", "--list", "--json"}, "", 0, {}},  // and USER's print name
      {false, {"--check", "nosuch", "--json"}, "", 1, {"nosuch: CUPS knows no such queue"}},
      {false,
       {"--user", "root", "-p", "lp1"},
       "9\n9\n",
       1,
       {"--user root: only root may act for another user"}},
      {true,
       {"--user", "no-such-account", "-x", "lp1"},
       "",
       1,
       {"--user no-such-account: no such local account"}},
      {false, {"--forget", "lp1"}, "", 2, {"--forget: only root may do this"}},
      {false, {"--list", "--all-users"}, "", 2, {"--all-users: only root may do this"}},
      {true, {"--user", nobody, "--forget", "lp1"}, "", 2, {"--user goes with"}},
      // The fix, as printed, is for the account acted for.
      {true,
       {"--user", nobody, "--check", "lp2"},
       "",
       1,
       {"lp2: job accounting is on, but no ID and PIN are stored for " + nobody +
        "; run: velmora-account --user " + nobody + " -p lp2\n"}},
  };
  write_file(account_path("status"), "<lp2>ON</lp2>\n", 0644);
  for (const Case& c : cases) {
    ToolRun run = run_tool({.args = c.args, .input = c.input, .as_root = c.as_root});
    EXPECT_EQ(run.status, c.status) << c.args[1] << " " << c.args[2];
    EXPECT_TRUE(says(run.err, c.says)) << c.args[1] << " " << c.args[2];
    if (c.args.back() == "--json") {
      EXPECT_TRUE(parses_as_json(run.out)) << run.out;
    }
    EXPECT_EQ(run.out.find("1234567"), std::string::npos);  // never a value
  }
  struct stat st {};
  ASSERT_EQ(lstat(account_path(nobody + ".conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOrdinaryUid);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(conf(nobody), "<lp1>\nid=1234567\npassword=0042\n</lp1>\n");
  // The account's own run finds what root stored.
  ToolRun own = user({"--check", "lp1"}, "", nobody);
  EXPECT_EQ(own.status, 0);
  EXPECT_NE(own.out.find("job-accounting: stored\n"), std::string::npos) << own.out;
  EXPECT_FALSE(file_exists(account_path("root.conf")));
}

// Every user's entries, never a value; a planted file is reported and the
// rest still listed.
TEST_F(Cli, RootListsEveryUsersEntriesWithoutValues) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string secret = base64("s3cret-name");
  write_file(account_path("root.conf"),
             "<lp1>\nu_id=" + secret + "\nu_password=" + secret + "\n</lp1>\n", 0600);
  write_user_file(user_name(kOrdinaryUid) + ".conf", "<lp2>\nid=4242\npassword=7\n</lp2>\n", 0600);
  write_user_file("printname.conf", "<gone>\nid=4242\n</gone>\n", 0600);         // a print name's
  write_user_file("daemon.conf", "<lp1>\nid=4242\npassword=7\n</lp1>\n", 0600);  // not daemon's
  write_file(account_path("status"), "<lp1>U_ON</lp1>\n", 0644);
  // Planted to stall root or to act on its terminal: refused by size before
  // a byte is read, and named with the escapes shown.
  write_user_file("sparse.conf", "", 0600);
  ASSERT_EQ(truncate(account_path("sparse.conf").c_str(), off_t{15} << 40), 0);
  write_user_file("x\x1b]0;owned\a\x1b[2J\r.conf", "<lp1>\n", 0666);
  const std::string nobody = user_name(kOrdinaryUid);
  ToolRun run = root({"--list", "--all-users"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(says(
      run.err,
      {account_path("daemon.conf") + " belongs to " + nobody + ", not to daemon",
       account_path("sparse.conf") + " has 16492674416640 bytes (owned by " + nobody + "), more",
       "$'" + account_path("x\\e]0;owned\\a\\e[2J\\r.conf") + "' has mode 0666"}));
  // USER, OWNER, QUEUE and the stored fields, one row per section.
  std::vector<std::string> rows;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string user, owner, queue, on, job, auth, secured;
    fields >> user >> owner >> queue >> on >> job >> auth >> secured;
    rows.push_back(user + " " + owner + " " + queue + " " + job + " " + auth);
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"USER OWNER QUEUE JOB-ACCOUNTING USER-AUTHENTICATION",
                                            nobody + " " + nobody + " lp2 stored -",
                                            "printname " + nobody + " gone incomplete -",
                                            "root root lp1 - stored"}));
  ToolRun json = root({"--json", "--list", "--all-users"});
  EXPECT_EQ(json.status, 1);
  EXPECT_TRUE(parses_as_json(json.out)) << json.out;
  // Each file refused is in the document as on standard error.
  EXPECT_NE(json.out.find("\"file\": \"daemon.conf\",\n      \"owner\": \"" + nobody +
                          "\",\n      \"reason\": \"" + account_path("daemon.conf") +
                          " belongs to " + nobody),
            std::string::npos)
      << json.out;
  for (const std::string& value : {secret, std::string("4242")}) {
    EXPECT_EQ(run.out.find(value), std::string::npos);
    EXPECT_EQ(json.out.find(value), std::string::npos);
  }
}

// Root's audit of one queue: per user, whether the driver will find what
// the function switched on needs; the status says whether all will.
TEST_F(Cli, RootAuditsAQueueForEveryUser) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string nobody = user_name(kOrdinaryUid);
  write_user_file(nobody + ".conf", "<lp1>\nid=1\npassword=2\nu_id=YQ==\n</lp1>\n", 0600);
  write_file(account_path("daemon.conf"), "<lp1>\nid=1\n</lp1>\n", 0600);
  ASSERT_EQ(chown(account_path("daemon.conf").c_str(), 1, 1), 0);
  struct Case {
    std::string status, queue;
    int exit;
    std::string nobody_row, daemon_row;  // after USER and OWNER
  } cases[] = {
      {"<lp1>ON</lp1>\n", "LP1", 1, "job-accounting stored incomplete - yes",
       "job-accounting incomplete - - no"},
      {"<lp1>U_ON</lp1>\n", "lp1", 1, "user-authentication stored incomplete - no",
       "user-authentication incomplete - - no"},
      {"<lp1>OFF</lp1>\n", "lp1", 0, "off stored incomplete - yes", "off incomplete - - yes"},
      {"", "nosuch", 1, "", ""},
  };
  for (const Case& c : cases) {
    write_file(account_path("status"), c.status, 0644);
    const ToolRun run = root({"--check", c.queue, "--all-users"});
    EXPECT_EQ(run.status, c.exit) << c.status;
    std::map<std::string, std::string> rows;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::string user, owner, field, rest;
      fields >> user >> owner;
      while (fields >> field) rest += (rest.empty() ? "" : " ") + field;
      rows[user] = rest;
    }
    EXPECT_EQ(rows[nobody], c.nobody_row) << c.status;
    EXPECT_EQ(rows["daemon"], c.daemon_row) << c.status;
    const ToolRun json = root({"--check", c.queue, "--all-users", "--json"});
    if (!c.nobody_row.empty()) {
      EXPECT_TRUE(parses_as_json(json.out)) << json.out;
      EXPECT_NE(json.out.find(std::string("\"ready\": ") + (c.exit == 0 ? "true" : "false")),
                std::string::npos);
    }
  }
}

// A deleted queue, forgotten: root's -d takes its status line, --forget
// that and its sections in every user's file, each file staying its user's;
// a file being updated this moment is reported, not waited on.
TEST_F(Cli, RootForgetsADeletedQueueEverywhere) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string nobody = user_name(kOrdinaryUid);
  write_file(account_path("status"), "<gone>U_ON</gone>\n<lp1>ON</lp1>\n", 0644);
  ToolRun run = root({"-d", "gone"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  EXPECT_TRUE(says(root({"-d", "gone"}).err, {"No Printer Queue Entry"}));
  // A queue CUPS still has, in any case, is never forgotten.
  for (const char* live : {"lp1", "LP1"}) {
    run = root({"--forget", live});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(says(run.err, {"lp1: CUPS still has this queue; nothing was changed"}));
    EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  }

  write_file(account_path("status"), "<Gone>ON</Gone>\n<lp1>ON</lp1>\n", 0644);  // any case
  write_file(account_path("root.conf"), "<gone>\nid=1\nu_id=YQ==\n</gone>\n<lp1>\nid=2\n</lp1>\n",
             0600);
  write_user_file(nobody + ".conf", "# mine\n<GONE>\ns_id=YQ==\ns_password=YQ==\n</GONE>\n", 0600);
  write_user_file("printname.conf", "<lp1>\nid=3\n</lp1>\n", 0600);
  write_file(account_path("daemon.conf"), "<gone>\nid=4\n</gone>\n", 0600);
  ASSERT_EQ(chown(account_path("daemon.conf").c_str(), 1, 1), 0);
  write_file(account_path("daemon.conf.new"), "", 0600);
  ASSERT_EQ(chown(account_path("daemon.conf.new").c_str(), 1, 1), 0);
  const int held = open(account_path("daemon.conf.new").c_str(), O_RDWR);
  struct flock live {};
  live.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(held, F_OFD_SETLK, &live), 0);       // an update of daemon's, running now
  write_user_file("x\x1b[2J.conf", "<gone>\n", 0666);  // a name that would clear the screen
  struct stat before {};
  ASSERT_EQ(stat(account_path("root.conf").c_str(), &before), 0);
  run = root({"--forget", "gone", "--dry-run"});
  EXPECT_EQ(run.out, "would forget gone: 3 files would change (status, " + nobody +
                         ".conf, root.conf), 2 refused (daemon.conf, $'x\\e[2J.conf'); nothing "
                         "was written\n");
  struct stat after {};
  ASSERT_EQ(stat(account_path("root.conf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(read_file(account_path("status")), "<Gone>ON</Gone>\n<lp1>ON</lp1>\n");
  run = root({"--forget", "gone"});
  close(held);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(says(run.err, {"cannot create " + account_path("daemon.conf.new") + ": File exists",
                             "$'" + account_path("x\\e[2J.conf") + "' has mode 0666"}));
  EXPECT_EQ(run.out, "forgot gone: 3 files changed (status, " + nobody +
                         ".conf, root.conf), 2 refused (daemon.conf, $'x\\e[2J.conf')\n");
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n");
  EXPECT_EQ(conf("root"), "<lp1>\nid=2\n</lp1>\n");
  EXPECT_EQ(conf(nobody), "# mine\n");
  EXPECT_EQ(conf("printname"), "<lp1>\nid=3\n</lp1>\n");
  EXPECT_EQ(conf("daemon"), "<gone>\nid=4\n</gone>\n");
  struct stat st {};
  ASSERT_EQ(lstat(account_path(nobody + ".conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kOrdinaryUid);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Many credentials in one run: each record answered in order, never with a
// value; each file rewritten once with all its records, or left untouched.
TEST_F(Cli, BatchAnswersEachRecordAndWritesEachFileOnce) {
  REQUIRE_ROOT("to act as root and as another user");
  const std::string nobody = user_name(kOrdinaryUid);
  write_file(account_path("root.conf"), "<lp2>\nid=1\npassword=2\n</lp2>\n", 0600);
  write_user_file(nobody + ".conf", "<gone>\nid=3\npassword=4\n</gone>\n", 0600);
  struct Record {
    std::string json, answer;  // the answer after "{"line":N,"
  } records[] = {
      {R"({"queue":"lp1","kind":"job-accounting","id":"1234567","password":"0042"})",
       R"("user":"root","queue":"lp1","kind":"job-accounting","result":"changed"})"},
      {R"({"queue":"lp2","kind":"job-accounting","id":"1","password":"2"})",
       R"("user":"root","queue":"lp2","kind":"job-accounting","result":"unchanged"})"},
      {R"({"user":")" + nobody +
           R"(","queue":"LP2","kind":"secured-print","id":"Jää","password":"s3"})",
       R"("user":")" + nobody + R"(","queue":"LP2","kind":"secured-print","result":"changed"})"},
      {R"({"user":")" + nobody + R"(","queue":"gone","kind":"job-accounting","state":"absent"})",
       R"("user":")" + nobody + R"(","queue":"gone","kind":"job-accounting","result":"changed"})"},
      {R"({"queue":"nosuch","kind":"job-accounting","id":"5","password":"6"})",
       R"("user":"root","queue":"nosuch","kind":"job-accounting","result":"refused",)"
       R"("reason":"CUPS knows no such queue"})"},
      {R"({"queue":"lp1","kind":"user-authentication","id":"")"
       R"(,"password":"x"})",
       R"("user":null,"queue":"lp1","kind":"user-authentication",)"
       R"("result":"refused","reason":"user name: cannot be empty"})"},
      {R"({"queue":"lp1","kind":"job-accounting","id":"12345678","password":"1"})",
       R"("user":null,"queue":"lp1","kind":"job-accounting","result":"refused",)"
       R"("reason":"id: too long: at most 7 bytes can be stored"})"},
      {R"({"user":"no-such-account","queue":"lp1","kind":"job-accounting","state":"absent"})",
       R"("user":"no-such-account","queue":"lp1","kind":"job-accounting","result":"refused",)"
       R"("reason":"no such local account"})"},
      {"{\"queue\": \"lp1\", \"pasword\": \"x\"",
       R"("user":null,"queue":null,"kind":null,)"
       R"("result":"refused","reason":"not valid JSON"})"},
      // One record a file refuses keeps the file's others from it too.
      {R"({"user":"daemon","queue":"lp2","kind":"job-accounting","id":"1","password":"2"})",
       R"("user":"daemon","queue":"lp2","kind":"job-accounting","result":"refused",)"
       R"("reason":"not written: the record on line 11 for the same file was refused"})"},
      {R"({"user":"daemon","queue":"lp1","kind":"job-accounting","id":"1","password":"2"})",
       R"("user":"daemon","queue":"lp1","kind":"job-accounting","result":"refused",)"
       R"("reason":"cannot update )" +
           account_path("daemon.conf") +
           R"(: the section <lp1> has no closing tag (line 1); nothing was changed; run: )"
           R"(velmora-account --user daemon -x lp1 to take out its own lines, then set it again"})"},
      // A record means one thing: no field twice, no NUL, the right types,
      // and one record per user, queue and kind; a refusal names them.
      {R"({"queue":"lp1","kind":"job-accounting","id":"1","password":"0042","password":""})",
       R"("user":null,"queue":"lp1","kind":null,"result":"refused",)"
       R"("reason":"\"password\" is given twice"})"},
      {R"({"user":"root\u0000-not-root","queue":"lp1","kind":"job-accounting","state":"absent"})",
       R"("user":null,"queue":"lp1","kind":"job-accounting","result":"refused",)"
       R"("reason":"\"user\" holds a NUL character"})"},
      {R"({"user":")" + nobody + R"(","queue":"lp2","kind":7,"id":"1","password":"2"})",
       R"("user":")" + nobody +
           R"(","queue":"lp2","kind":null,"result":"refused",)"
           R"("reason":"\"kind\" is not a string"})"},
      {R"({"user":")" + nobody +
           R"(","queue":"lp1","kind":"job-accounting","id":"1","password":"2"})",
       R"("user":")" + nobody +
           R"(","queue":"lp1","kind":"job-accounting","result":"refused",)"
           R"("reason":"ambiguous: the record on line 16 is for the same user, queue and kind"})"},
      {R"({"user":")" + nobody +
           R"(","queue":"LP1","kind":"job-accounting","id":"3","password":"4"})",
       R"("user":")" + nobody +
           R"(","queue":"LP1","kind":"job-accounting","result":"refused",)"
           R"("reason":"ambiguous: the record on line 15 is for the same user, queue and kind"})"},
      // A NUL byte ends no record: what follows it is part of the line.
      {std::string(R"({"queue":"lp1","kind":"job-accounting","state":"absent"})") + '\0' + "x",
       R"("user":null,"queue":null,"kind":null,"result":"refused","reason":"not valid JSON"})"},
  };
  write_file(account_path("daemon.conf"), "<lp1>\nid=1\n", 0600);
  ASSERT_EQ(chown(account_path("daemon.conf").c_str(), 1, 1), 0);
  std::string input, answers, previews;
  for (std::size_t i = 0; i < std::size(records); ++i) {
    input += records[i].json + "\n";
    const std::string answer =
        "{\"line\":" + std::to_string(i + 1) + "," + records[i].answer + "\n";
    answers += answer;
    // A preview says what would be done, in words no script takes for done.
    const std::size_t changed = answer.find(R"("result":"changed")");
    previews += changed == std::string::npos
                    ? answer
                    : answer.substr(0, changed) +
                          (records[i].json.find("absent") == std::string::npos
                               ? R"("result":"would change")"
                               : R"("result":"would remove")") +
                          answer.substr(changed + 18);
  }
  struct stat before {};
  ASSERT_EQ(stat(account_path("root.conf").c_str(), &before), 0);
  ToolRun dry = root({"--batch", "--dry-run"}, input);
  EXPECT_EQ(dry.status, 1);
  EXPECT_EQ(dry.out, previews);  // the answers, as previews, and nothing written
  EXPECT_NE(dry.err.find("velmora-account: dry run: 3 would change, 1 unchanged, 13 refused; "
                         "nothing was written\n"),
            std::string::npos);
  struct stat after {};
  ASSERT_EQ(stat(account_path("root.conf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(conf(nobody), "<gone>\nid=3\npassword=4\n</gone>\n");

  ToolRun run = root({"--batch"}, input);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, answers);
  EXPECT_TRUE(run.err.ends_with("velmora-account: 3 changed, 1 unchanged, 13 refused\n"));
  EXPECT_EQ(run.out.find("0042"), std::string::npos);  // never a value
  EXPECT_EQ(read_file(account_path("daemon.conf")), "<lp1>\nid=1\n");
  EXPECT_EQ(conf("root"),
            "<lp2>\nid=1\npassword=2\n</lp2>\n<lp1>\nid=1234567\npassword=0042\n</lp1>\n");
  EXPECT_EQ(conf(nobody), "<lp2>\ns_id=" + base64("J\xC3\xA4\xC3\xA4") +
                              "\ns_password=" + base64("s3") + "\n</lp2>\n");
  // An ordinary user may name only themselves.
  ToolRun theirs = user({"--batch"}, R"({"user":"root","queue":"lp1","kind":"job-accounting",)"
                                     R"("state":"absent"})"
                                     "\n");
  EXPECT_EQ(theirs.status, 1);
  EXPECT_NE(theirs.out.find("only root may act for another user"), std::string::npos);
}

// Which of values the process holds anywhere in its writable memory. A
// mapping past 1 GiB is address space a sanitizer reserved for its shadow,
// which holds no data.
std::vector<std::string> values_in_memory(pid_t pid, const std::vector<std::string>& values) {
  std::vector<std::string> found;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream maps(proc + "/maps");
  const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  std::string mapping, bytes;
  while (mem >= 0 && std::getline(maps, mapping)) {
    unsigned long start = 0, end = 0;
    char access[5] = {};
    if (std::sscanf(mapping.c_str(), "%lx-%lx %4s", &start, &end, access) != 3 ||
        access[1] != 'w' || end - start > (1ul << 30)) {
      continue;
    }
    bytes.resize(end - start);
    const ssize_t got = pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
    for (const std::string& value : values) {
      if (got > 0 && std::string_view(bytes.data(), got).find(value) != std::string::npos)
        found.push_back(value + " in " + mapping);
    }
  }
  if (mem < 0) ADD_FAILURE() << "cannot read the memory of " << pid;
  if (mem >= 0) close(mem);
  return found;
}

// No value given outlives its use: stopped just before it exits, after a
// prompted set and after --batch (a refused record and a line that is not
// JSON among its records), the tool holds none of them, as given or as
// stored, anywhere in its memory; its environment, which it never wipes,
// is found there.
TEST_F(Cli, NoValueGivenIsLeftInMemoryAtExit) {
  REQUIRE_ROOT();
  // As long as a user name may be: a freed copy keeps all but its first 16
  // bytes (the allocator's links), which are searched for too.
  const std::string id = "Hq4Vz8Kw2Nc7Rm3Tx9LbEe5Aa0Ss6Dd1",
                    pw = "Pd5Gy1Js6Wf8Qk2Zv4MhRr7Tt3Yy9Uu2";
  const std::string batch_id = "Ut7Bn3Xe9Ca5Lr1Yw6KsIi4Oo8Pp0Gg6",
                    batch_pw = "Fm2Qh8Vt4Jz6Dp3Nb9GeHh1Jj5Kk7Ll3";
  const std::string refused = "Sx1Kc7Wn5Rv9Hy3Tb2LqZz8Xx4Cc6Vv0",
                    broken = "Zn6Gw2Pf8Ma4Xj9Ed1UcBb3Nn7Mm5Qq1";
  const std::string canary = "Oy3Bq9Lv5Ht7Nk1Wr8Dm";
  const std::string record = R"({"queue":"lp1","kind":"user-authentication","id":")";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> values;  // as given; their Base64 is what is stored
  } cases[] = {
      {{"-pu", "lp1"}, id + "\n" + pw + "\n", 0, {id, pw}},
      {{"--batch"},
       // The first value escaped ("U"): what the tool holds is the decoded text.
       record + "\\u0055" + batch_id.substr(1) + R"(","password":")" + batch_pw + "\"}\n" +
           R"({"queue":"lp2","kind":"secured-print","id":"s","password":")" + refused + "\"}\n" +
           record + R"(1","password":")" + broken + "\"\n",
       1,
       {batch_id, batch_pw, refused, broken}},
  };
  for (const Case& c : cases) {
    SetUp();
    std::vector<std::string> values = {canary};
    for (const std::string& value : c.values) {
      values.insert(values.end(),
                    {value, base64(value), value.substr(16), base64(value).substr(16)});
    }
    std::vector<std::string> found;
    ToolCall call{.args = c.args,
                  .input = c.input,
                  .env = {"VELMORA_TEST_CANARY=" + canary},
                  .stop_at = "exit"};
    call.while_running = [&](pid_t tool) {
      found = values_in_memory(tool, values);
      kill(tool, SIGCONT);
    };
    const ToolRun run = run_tool(call);
    EXPECT_EQ(run.status, c.status) << c.args[0] << run.err;
    ASSERT_NE(conf("root"), std::nullopt) << c.args[0];
    EXPECT_NE(conf("root")->find("u_password=" + base64(c.values[1])), std::string::npos);
    bool environment = false;
    for (const std::string& value : found) {
      if (value.starts_with(canary)) {
        environment = true;
      } else {
        ADD_FAILURE() << c.args[0] << ": " << value;
      }
    }
    EXPECT_TRUE(environment) << c.args[0] << ": not even the environment was found";
  }
}

// ---- The queue check gives the destination list's answers ----------------------

// A scheduler of the test's own, with queues lp1 and lp2 and those the
// commands add: the shared one never changes, whatever runs beside.
class ExtraQueues {
 public:
  explicit ExtraQueues(const std::vector<std::string>& commands) : dir_(test_dir() + "/cups") {
    run(CUPS_SCHEDULER " start " + dir_ + " lp1 lp2");
    setenv("VELMORA_TEST_CUPS_SERVER", (dir_ + "/cups.sock").c_str(), 1);
    for (const std::string& c : commands) run("lpadmin " + c);
  }
  ~ExtraQueues() {
    unsetenv("VELMORA_TEST_CUPS_SERVER");
    run(CUPS_SCHEDULER " stop " + dir_);
  }

 private:
  void run(const std::string& command) {
    std::string line = "CUPS_SERVER=" + dir_ + "/cups.sock PATH=/usr/sbin:/usr/bin:/sbin:/bin " +
                       command + " >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) ADD_FAILURE() << command;
  }
  std::string dir_;
};

TEST_F(Cli, QueueCheckGivesTheDestinationListsAnswers) {
  ExtraQueues queues({"-p lp2 -c team", "-p aa-root-only -E -v file:///dev/null -u allow:root",
                      "-p zz-root-only -E -v file:///dev/null -u allow:root"});
  struct Case {
    const char* queue;
    bool root_finds;
    bool user_finds;
  } cases[] = {
      {"lp1", true, true},           {"LP2", true, true},
      {"team", true, true},          {"TEAM", true, true},  // a class
      {"aa-root-only", true, false},                        // others are not on its allow list:
      {"zz-root-only", true, false},  // hidden before a queue, and as the last
      {"lp", false, false},          {"nosuch", false, false},
  };
  for (const Case& c : cases) {
    for (bool as_root : {true, false}) {
      if (as_root && !running_as_root()) continue;
      ToolRun run = as_root ? root({"-x", c.queue}) : user({"-x", c.queue});
      bool found = as_root ? c.root_finds : c.user_finds;
      EXPECT_EQ(run.status, found ? 0 : 1) << c.queue << as_root;
      EXPECT_EQ(run.err, found ? "" : kNoQueue) << c.queue << (as_root ? " as root" : " as a user");
    }
  }
  EXPECT_TRUE(account_dir_entries().empty());
}

}  // namespace
