// The command end to end: the built tool, a private CUPS scheduler with queues
// lp1 and lp2, real files and real users.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "test_support.h"
#include "tool_runner.h"

namespace {

std::string usage(const std::string& n) {
  return n + " Usage: \n" +
         "Setting Job Accounting ID/Password \n"
         "  " + n + " -p [Printer Name]\n" +
         "Remove ID/Password \n"
         "  " + n + " -x [Printer Name]\n\n" +
         "Setting User Authentication Function User Name/Password \n"
         "  " + n + " -pu [Printer Name]\n" +
         "Remove User Name/Password \n"
         "  " + n + " -xu [Printer Name]\n\n" +
         "Setting Secured Print Function User Name/Password \n"
         "  " + n + " -ps [Printer Name]\n" +
         "Remove User Name/Password \n"
         "  " + n + " -xs [Printer Name]\n\n" +
         "Root privilege is required to perform following operations \n"
         "Enable Job Accounting \n"
         "  " + n + " -e [Printer Name]\n" +
         "Enable User Authentication Function \n"
         "  " + n + " -eu [Printer Name]\n" +
         "Disable Job Accounting and User Authentication Function \n"
         "  " + n + " -d [Printer Name]\n";
}

const std::string kUsage = usage("velmora-account");

// Skips the rest of the test (a macro: GTEST_SKIP returns from the function).
#define REQUIRE_ROOT() \
  if (!running_as_root()) GTEST_SKIP() << "needs root to act as root and as another user"
const std::string kNoQueue = "No Printer Queue Entry\n";

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    reset_account_dir();
    chmod(TEST_ACCOUNT_DIR, 01777);  // like the installed directory
  }
  static ToolRun root(std::vector<std::string> args, std::string input = "") {
    ToolCall call;
    call.args = std::move(args);
    call.input = std::move(input);
    return run_tool(call);
  }
  static ToolRun user(std::vector<std::string> args, std::string input = "",
                      std::optional<std::string> name = "alice") {
    ToolCall call;
    call.args = std::move(args);
    call.input = std::move(input);
    call.as_root = false;
    call.user = std::move(name);
    return run_tool(call);
  }
  static std::optional<std::string> conf(const std::string& owner) {
    return read_file(account_path(owner + ".conf"));
  }
};

TEST_F(Cli, WrongArgumentCountPrintsUsageWhateverTheUser) {
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"-p"}, {"-p", "lp1", "extra"}, {"-zz", "nosuch", "x", "y"}};
  for (const auto& args : argument_lists) {
    for (const std::optional<std::string>& name : {std::optional<std::string>("alice"),
                                                   std::optional<std::string>()}) {
      ToolRun run = user(args, "", name);
      EXPECT_EQ(run.status, 0) << args.size();
      EXPECT_EQ(run.err, kUsage);
      EXPECT_EQ(run.out, "");
    }
  }
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, UsageNamesTheToolByItsPath) {
  REQUIRE_ROOT();
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
    ToolCall call;
    call.argv0 = c.argv0;
    call.no_argv = c.no_argv;
    ToolRun run = run_tool(call);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, usage(c.name));
  }
}

TEST_F(Cli, OptionsMatchByPrefixInTheirOrder) {
  REQUIRE_ROOT();
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
    EXPECT_EQ(run.status, 0) << c.option << ": " << run.err;
    EXPECT_EQ(run.err, c.usage ? kUsage : "") << c.option;
    EXPECT_EQ(conf("root").value_or(""), c.conf) << c.option;
    EXPECT_EQ(read_file(account_path("status")).value_or(""), c.status) << c.option;
  }
}

TEST_F(Cli, UnknownQueueComesBeforeTheOption) {
  for (const char* option : {"-zz", "-p", "-xu", "-e", "-Pu"}) {
    ToolRun run = user({option, "nosuch"}, "alice\nsecret\n");
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.err, kNoQueue) << option;
    EXPECT_EQ(run.out, "") << option;  // no prompt
  }
  // No scheduler at all.
  ToolCall call;
  call.args = {"-pu", "lp1"};
  call.as_root = false;
  call.cups_server = TEST_HOME "/no-scheduler.sock";
  ToolRun run = run_tool(call);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, kNoQueue);
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, RootOnlyOptions) {
  for (const char* option : {"-e", "-eu", "-d"}) {
    ToolRun run = user({option, "lp1"});
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.err, kUsage) << option;
  }
  EXPECT_FALSE(file_exists(account_path("status")));
  REQUIRE_ROOT();
  EXPECT_EQ(root({"-e", "lp1"}).status, 0);
  EXPECT_EQ(root({"-eu", "lp2"}).status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>ON</lp1>\n<lp2>U_ON</lp2>\n");
  EXPECT_EQ(root({"-d", "lp1"}).status, 0);
  EXPECT_EQ(read_file(account_path("status")), "<lp1>OFF</lp1>\n<lp2>U_ON</lp2>\n");
  EXPECT_EQ(file_mode(account_path("status")) & 0444, 0444u);
}

TEST_F(Cli, RootFilesUnderRootWhateverUserSays) {
  REQUIRE_ROOT();
  for (const std::optional<std::string>& name :
       {std::optional<std::string>("bob"), std::optional<std::string>()}) {
    ToolCall call;
    call.args = {"-p", "lp1"};
    call.input = "1\n2\n";
    call.user = name;
    EXPECT_EQ(run_tool(call).status, 0);
  }
  EXPECT_EQ(conf("root"), "<lp1>\nid=1\npassword=2\n</lp1>\n");
  EXPECT_FALSE(file_exists(account_path("bob.conf")));
}

TEST_F(Cli, OrdinaryUsersFileUnderUserVerbatim) {
  // Another user's name is used as given; CUPS matches the queue name without
  // regard to case, and it is stored as typed.
  ToolRun run = user({"-p", "LP1"}, "1\n2\n", "bob");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(conf("bob"), "<LP1>\nid=1\npassword=2\n</LP1>\n");
  EXPECT_EQ(file_mode(account_path("bob.conf")), 0600u);
}

TEST_F(Cli, UserMustNameAFileInTheAccountDirectory) {
  struct Case {
    std::optional<std::string> user;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {std::nullopt, {"-p", "lp1"}, ""},  // no USER: status 1, silent
      {std::nullopt, {"-zz", "nosuch"}, ""},
      {"", {"-p", "lp1"}, "velmora-account: USER must be a user name without '/': ''\n"},
      {"../x", {"-xu", "nosuch"}, "velmora-account: USER must be a user name without '/': '../x'\n"},
  };
  for (const Case& c : cases) {
    ToolRun run = user(c.args, "1\n2\n", c.user);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(account_dir_entries().empty());
}

TEST_F(Cli, SetAndRemoveEachKindEndToEnd) {
  struct Step {
    const char* option;
    const char* printer;
    std::string input;
    std::string conf;
  } steps[] = {
      {"-p", "lp1", "1234567890\n0042\n", "<lp1>\nid=1234567\npassword=0042\n</lp1>\n"},
      {"-pu", "lp1", "alice\nsecret\n",
       "<lp1>\nid=1234567\npassword=0042\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"},
      {"-ps", "lp2", "bob\n\nlongpassword\n",  // empty secured print password asks again
       "<lp1>\nid=1234567\npassword=0042\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"
       "<lp2>\ns_id=Ym9i\ns_password=bG9uZ3Bhcw==\n</lp2>\n"},
      {"-x", "lp1", "", "<lp1>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n<lp2>\ns_id=Ym9i\ns_password=bG9uZ3Bhcw==\n</lp2>\n"},
      {"-xs", "lp2", "", "<lp1>\nu_id=YWxpY2U=\nu_password=c2VjcmV0\n</lp1>\n"},
      {"-xu", "lp1", "", ""},
  };
  for (const Step& s : steps) {
    ToolRun run = user({s.option, s.printer}, s.input);
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

  // A replacement file left by another run: say which file and how to recover.
  write_file(account_path("alice.conf"), "<lp1>\nid=1\n</lp1>\n", 0666);
  write_file(account_path("alice.conf.new"), "", 0666);
  const std::string lock = account_path("alice.conf.new");
  const std::string message = "velmora-account: cannot create " + lock +
                              ": File exists: another update may be running, or an earlier one "
                              "was interrupted; once none is running, remove " + lock +
                              " to let updates go on\n";
  for (const char* option : {"-p", "-x"}) {
    ToolRun run = user({option, "lp1"}, "9\n9\n");
    EXPECT_EQ(run.status, 1) << option;
    EXPECT_EQ(run.err, message) << option;
  }
  EXPECT_EQ(conf("alice"), "<lp1>\nid=1\n</lp1>\n");
  EXPECT_TRUE(file_exists(lock));

  // A credential file its owner cannot read is refused, not replaced.
  std::remove(lock.c_str());
  write_file(account_path("alice.conf"), "<lp1>\nid=1\n</lp1>\n", 0000);
  ToolRun unreadable = user({"-p", "lp2"}, "9\n9\n");
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_EQ(unreadable.err, "velmora-account: cannot open " + account_path("alice.conf") +
                                ": Permission denied; it was left unchanged\n");
  EXPECT_FALSE(file_exists(lock));
  chmod(account_path("alice.conf").c_str(), 0666);

  // Input that ends before the line does: nothing stored, one line, status 1.
  ToolRun run = user({"-pu", "lp2"}, "carol\nsecr");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "velmora-account: reading pin: unexpected end of input\n");
  run = user({"-ps", "lp2"}, "");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "velmora-account: reading user name: unexpected end of input\n");
  EXPECT_EQ(conf("alice"), "<lp1>\nid=1\n</lp1>\n");
}

TEST_F(Cli, StatusFailureIsReported) {
  REQUIRE_ROOT();
  write_file(account_path("status.new"), "", 0644);
  ToolRun run = root({"-e", "lp1"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot create " + account_path("status.new") + ": File exists"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(file_exists(account_path("status")));
}

}  // namespace
