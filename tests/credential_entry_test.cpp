// SPDX-License-Identifier: Apache-2.0
// The prompts, through the tool on a real pseudo-terminal: what the user
// sees, what is stored, and the terminal's state after every way the entry
// can end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>

#include "fake_scheduler.h"
#include "test_support.h"
#include "tool_runner.h"

namespace {

using namespace std::chrono_literals;

// A terminal session whose foreground job is the tool, and a shell that does
// job control as shells do: the tool has a process group of its own, so stop
// signals really stop it; when it stops, the shell takes the terminal back
// and waits for the test to say bg, fg, or read a line at its own prompt.
// With new_session the tool starts a session of its own (as su -c does): the
// terminal on its standard input is then not its controlling terminal.
class Terminal {
 public:
  explicit Terminal(std::vector<std::string> args, std::string cups_server = "",
                    bool new_session = false) {
    std::vector<std::string> env = tool_environment({.cups_server = std::move(cups_server)});
    // Made before the fork: a child may not allocate while another thread
    // (a fake scheduler's) may hold the allocator's lock.
    args.insert(args.begin(), TOOL_PATH);
    std::vector<char*> argv = exec_array(args), envp = exec_array(env);
    int report[2], control[2];
    if (pipe(report) != 0 || pipe(control) != 0) throw std::runtime_error("pipe");
    session_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (session_ < 0) throw std::runtime_error("forkpty");
    if (session_ == 0) {
      close(report[0]);
      close(control[1]);
      pid_t tool = fork();
      if (tool == 0) {
        if (new_session && setsid() < 0) _exit(125);
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(STDIN_FILENO, getpid());
        signal(SIGTTOU, SIG_DFL);
        execve(TOOL_PATH, argv.data(), envp.data());
        _exit(127);
      }
      // Not for a new session: the tool's setsid would fail after it.
      if (!new_session) setpgid(tool, tool);
      signal(SIGTTOU, SIG_IGN);  // the shell may take the terminal back
      tcsetpgrp(STDIN_FILENO, tool);
      if (write(report[1], &tool, sizeof tool) != sizeof tool) _exit(126);
      int status = 0;
      for (;;) {
        while (waitpid(tool, &status, WUNTRACED) < 0) {
        }
        if (!WIFSTOPPED(status)) break;
        tcsetpgrp(STDIN_FILENO, getpgrp());
        if (write(report[1], "S", 1) != 1) _exit(126);
        for (char command = 0; command != 'b' && command != 'f';) {
          if (read(control[0], &command, 1) != 1) _exit(126);
          if (command == 'f') tcsetpgrp(STDIN_FILENO, tool);
          if (command == 'r') {  // one line at the shell's own prompt, passed on
            char c = 0;
            while (c != '\n' && read(STDIN_FILENO, &c, 1) == 1) {
              if (write(report[1], &c, 1) != 1) _exit(126);
            }
          }
        }
        kill(tool, SIGCONT);
      }
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(report[1]);
    close(control[0]);
    report_ = report[0];
    control_ = control[1];
    if (read(report_, &tool_, sizeof tool_) != sizeof tool_) tool_ = -1;
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~Terminal() {
    if (session_ > 0 && status_ < 0) {
      kill(tool_, SIGKILL);
      wait_exit();
    }
    close(master_);
    close(report_);
    close(control_);
  }

  // The shell's side: waits until it reports the tool stopped; then tells it
  // to continue the tool in the background ('b') or the foreground ('f'), or
  // to read a line at its own prompt ('r', returned).
  bool wait_until_stopped() {
    pollfd fd{report_, POLLIN, 0};
    char c = 0;
    return poll(&fd, 1, 10000) == 1 && read(report_, &c, 1) == 1 && c == 'S';
  }
  void shell(char command) { ASSERT_EQ(write(control_, &command, 1), 1); }
  std::string shell_read_line() {
    shell('r');
    std::string line;
    pollfd fd{report_, POLLIN, 0};
    for (char c = 0; c != '\n' && poll(&fd, 1, 10000) == 1 && read(report_, &c, 1) == 1;) line += c;
    return line;
  }

  // Waits until text appears in the output after position `from`; returns
  // the position just behind it, or npos after a timeout.
  std::size_t expect(const std::string& text, std::size_t from = 0) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      std::size_t at = output_.find(text, from);
      if (at != std::string::npos) return at + text.size();
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "timed out waiting for " << testing::PrintToString(text) << " in "
                      << testing::PrintToString(output_);
        return std::string::npos;
      }
      pump(100);
    }
  }

  void type(const std::string& text) {
    ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Waits for the prompt after `from` and types the answer; returns the
  // position just behind the prompt.
  std::size_t answer(const std::string& prompt, const std::string& text, std::size_t from = 0) {
    const std::size_t at = expect(prompt, from);
    type(text);
    return at;
  }

  termios attributes() const {
    termios t{};
    tcgetattr(master_, &t);  // the terminal's own settings, as the tool sees them
    return t;
  }
  bool echo_on() const { return (attributes().c_lflag & ECHO) != 0; }

  // Exit status of the tool (128 + signal when a signal ended it), or -1
  // when it did not end within 10 s (it is then killed).
  int wait_exit() {
    for (int i = 0; i < 200 && status_ < 0; ++i) {
      pump(0);
      int status = 0;
      if (waitpid(session_, &status, WNOHANG) == session_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 200;
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    if (status_ < 0) {
      kill(tool_, SIGKILL);
      kill(session_, SIGKILL);
      waitpid(session_, nullptr, 0);
      status_ = -2;
      return -1;
    }
    pump(50);
    return status_;
  }

  pid_t tool() const { return tool_; }
  const std::string& output() const { return output_; }

 private:
  void pump(int timeout_ms) {
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(master_, buffer, sizeof buffer)) > 0)
      output_.append(buffer, static_cast<size_t>(n));
  }

  int master_ = -1;
  int report_ = -1;
  int control_ = -1;
  pid_t session_ = -1;
  pid_t tool_ = -1;
  int status_ = -1;
  std::string output_;
};

class Prompts : public testing::Test {
 protected:
  void SetUp() override {
    reset_account_dir();
    chmod(test_account_dir().c_str(), 01777);
  }
  static std::optional<std::string> stored() {
    return read_file(account_path(running_as_root() ? "root.conf" : "alice.conf"));
  }
};

TEST_F(Prompts, HiddenEntryShowsNothingButTheLineFeed) {
  Terminal term({"-pu", "lp1"});
  term.expect("user name : ");  // shown before any input is awaited
  EXPECT_TRUE(term.echo_on());
  term.type("alice\n");
  std::size_t pin = term.expect("alice\r\npin : ");
  termios hidden = term.attributes();
  EXPECT_EQ(hidden.c_lflag & ECHO, 0u);
  EXPECT_NE(hidden.c_lflag & ECHONL, 0u);
  term.type("s3cret\n");
  pin = term.answer("alice\r\npin : \r\npin (again) : ", "s3cret\n");
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(term.output().substr(pin),
            "\r\n");  // the line feed shows, the password does not
  termios after = term.attributes();
  EXPECT_NE(after.c_lflag & ECHO, 0u);
  EXPECT_EQ(after.c_lflag & ECHONL, 0u);
  EXPECT_EQ(stored(),
            "<lp1>\nu_id=" + base64("alice") + "\nu_password=" + base64("s3cret") + "\n</lp1>\n");
}

// On a terminal that is not the tool's controlling one there is no job to
// wait for, but the entry is hidden all the same.
TEST_F(Prompts, HiddenEntryOnATerminalOfAnotherSession) {
  Terminal term({"-p", "lp1"}, "", true);
  term.answer("id : ", "42\n");
  std::size_t pin = term.expect("pin : ");
  EXPECT_FALSE(term.echo_on());
  term.type("0042\n");
  pin = term.answer("pin : \r\npin (again) : ", "0042\n");
  EXPECT_EQ(term.wait_exit(), 0) << term.output();
  EXPECT_EQ(term.output().substr(pin), "\r\n");
  EXPECT_TRUE(term.echo_on());
  EXPECT_EQ(stored(), "<lp1>\nid=42\npassword=0042\n</lp1>\n");
}

TEST_F(Prompts, TypeAheadBeforeThePinPromptIsDiscarded) {
  Terminal term({"-p", "lp1"});
  term.answer("id : ", "42\nTYPEDAHEAD\n");
  term.answer("pin : ", "7\nTYPEDAHEAD\n");
  term.answer("pin (again) : ", "7\n");
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(stored(), "<lp1>\nid=42\npassword=7\n</lp1>\n");
}

// Nothing is cut: a value over its limit is refused and asked for again.
TEST_F(Prompts, EmptyEntriesAskAgainAndLongOnesAreRefused) {
  Terminal term({"-ps", "lp1"});
  std::size_t at = term.answer("user name : ", "\n");
  at = term.answer("user name : ", std::string(600, 'n') + "\n", at);
  at = term.expect(
      "user name: too long: at most 32 bytes of UTF-8 can be "
      "stored, this is 600",
      at);
  at = term.answer("user name : ", std::string(32, 'n') + "\n", at);
  at = term.expect("pin : ", at);
  term.type("\n");  // an empty secured print password is refused
  at = term.answer("pin : ", std::string(600, 'p') + "\n", at);
  at = term.expect("password: too long: at most 7 bytes of UTF-8 can be stored, this is 600", at);
  at = term.answer("pin : ", std::string(7, 'p') + "\n", at);
  term.answer("pin (again) : ", std::string(7, 'p') + "\n", at);
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(stored(), "<lp1>\ns_id=" + base64(std::string(32, 'n')) +
                          "\ns_password=" + base64(std::string(7, 'p')) + "\n</lp1>\n");
  EXPECT_TRUE(term.echo_on());
}

// Typed at the ID prompt, a 0xFF byte or a carriage return (Ctrl-V, Enter)
// would end the key line where drivers read it: refused, and asked again.
TEST_F(Prompts, LineBreakBytesInAJobAccountingIdAreAskedAgain) {
  Terminal term({"-p", "lp1"});
  std::size_t at = term.expect("id : ");
  for (const char* typed : {"1\xff"
                            "2\n",
                            "1\x16\r2\n"}) {
    term.type(typed);
    at = term.expect("id: the text holds a carriage return or a 0xFF byte", at);
    at = term.expect("id : ", at);
  }
  term.type("12\n");
  term.answer("pin : ", "3\n", at);
  term.answer("pin (again) : ", "3\n", at);
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(stored(), "<lp1>\nid=12\npassword=3\n</lp1>\n");
}

TEST_F(Prompts, EndOfInputEndsTheToolWithEchoBack) {
  // At the first hidden entry, or at the second (confirm).
  for (auto [option, what, confirm] : {std::tuple{"-p", "PIN", false},
                                       {"-pu", "password", false},
                                       {"-p", "PIN", true},
                                       {"-pu", "password", true}}) {
    SetUp();
    Terminal term({option, "lp1"});
    term.answer(" : ", "name\n");
    term.expect("pin : ");
    if (confirm) {
      term.type("1\n");
      term.expect("pin (again) : ");
    }
    term.type("\x04");  // Ctrl-D at the start of the line: end of input
    EXPECT_EQ(term.wait_exit(), 1) << option;
    EXPECT_NE(term.output().find("reading " + std::string(what) + ": unexpected end of input"),
              std::string::npos)
        << term.output();
    EXPECT_TRUE(term.echo_on()) << option;
    EXPECT_EQ(stored(), std::nullopt) << option;
  }
}

TEST_F(Prompts, SignalsDuringHiddenEntryRestoreEchoAndKill) {
  struct Case {
    int signo;
    const char* typed;  // typed at the terminal, or sent with kill
  } cases[] = {{SIGINT, "\x03"},   {SIGQUIT, "\x1c"}, {SIGTERM, nullptr},  {SIGHUP, nullptr},
               {SIGUSR1, nullptr}, {SIGPWR, nullptr}, {SIGRTMIN, nullptr}, {SIGSYS, nullptr}};
  for (const Case& c : cases) {
    SetUp();
    Terminal term({"-pu", "lp1"});
    term.answer("user name : ", "alice\n");
    term.expect("pin : ");
    ASSERT_FALSE(term.echo_on());
    term.type("half");
    if (c.typed != nullptr) {
      term.type(c.typed);
    } else {
      kill(term.tool(), c.signo);
    }
    EXPECT_EQ(term.wait_exit(), 128 + c.signo) << strsignal(c.signo);
    EXPECT_TRUE(term.echo_on()) << strsignal(c.signo);
    EXPECT_EQ(stored(), std::nullopt);
  }
}

// The terminal belongs to the foreground job: stopped, the tool puts it
// back; continued in the background, it leaves the shell's terminal and what
// was typed at it alone, and waits; brought back, it hides the entry again.
TEST_F(Prompts, StopShowsEchoBackgroundLeavesTheTerminalForegroundHidesItAgain) {
  Terminal term({"-pu", "lp1"});
  term.answer("user name : ", "alice\n");
  std::size_t at = term.expect("pin : ");
  ASSERT_FALSE(term.echo_on());
  term.type("\x1a");  // Ctrl-Z
  ASSERT_TRUE(term.wait_until_stopped()) << "the tool did not stop";
  EXPECT_TRUE(term.echo_on());
  term.shell('b');  // bg: it stops again rather than touch the terminal
  ASSERT_TRUE(term.wait_until_stopped()) << "the tool in the background did not wait";
  EXPECT_TRUE(term.echo_on());
  term.type("typed at the shell\n");
  EXPECT_EQ(term.shell_read_line(), "typed at the shell\n");
  term.shell('f');  // fg: asked again, hidden again
  term.expect("pin : ", at);
  EXPECT_FALSE(term.echo_on());
  term.type("s3cret\n");
  term.answer("pin (again) : ", "s3cret\n", at);
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(term.output().find("s3cret"), std::string::npos);
  EXPECT_TRUE(term.echo_on());
  EXPECT_EQ(stored(),
            "<lp1>\nu_id=" + base64("alice") + "\nu_password=" + base64("s3cret") + "\n</lp1>\n");
}

// Typed blind, the PIN or password is typed twice; when the two differ (a
// second one refused included) both are asked again, the ID or user name
// stands, and the matching pair is stored.
TEST_F(Prompts, HiddenValueTypedTwiceIsAskedAgainWhenTheTwoDiffer) {
  const std::string u = base64("42"), p = base64("0042");
  struct Case {
    const char* option;
    const char* id_prompt;
    const char* what;    // as the line about the mismatch names the values
    std::string second;  // typed at "pin (again) : " after "1234"
    std::string stored;
  } cases[] = {{"-p", "id : ", "PINs", "1235", "<lp1>\nid=42\npassword=0042\n</lp1>\n"},
               {"-pu", "user name : ", "passwords", "",
                "<lp1>\nu_id=" + u + "\nu_password=" + p + "\n</lp1>\n"},
               {"-ps", "user name : ", "passwords", std::string(600, 'p'),
                "<lp1>\ns_id=" + u + "\ns_password=" + p + "\n</lp1>\n"}};
  for (const Case& c : cases) {
    SetUp();
    Terminal term({c.option, "lp1"});
    std::size_t at = term.answer(c.id_prompt, "42\n");
    for (const std::string& typed :
         {std::string("1234"), c.second, std::string("0042"), std::string("0042")}) {
      at = term.expect(" : ", at);  // each prompt shows once echo is off
      term.type(typed + "\n");
    }
    EXPECT_EQ(term.wait_exit(), 0) << c.option;
    EXPECT_EQ(term.output(),
              std::string(c.id_prompt) + "42\r\npin : \r\npin (again) : \r\nvelmora-account: the " +
                  c.what + " do not match; type them again\r\npin : \r\npin (again) : \r\n");
    EXPECT_EQ(stored(), c.stored) << c.option;
    EXPECT_TRUE(term.echo_on()) << c.option;
  }
}

// A scheduler that asks for a password gets none, and no prompt appears.
TEST_F(Prompts, TheSchedulerNeverGetsAPasswordPrompt) {
  FakeScheduler password(FakeScheduler::kPassword, test_home() + "/password-pty.sock");
  Terminal term({"-pu", "lp1"}, password.server());
  EXPECT_EQ(term.wait_exit(), 1);
  EXPECT_NE(term.output().find("asked for a password, which this tool never gives"),
            std::string::npos)
      << term.output();
  EXPECT_EQ(term.output().find("assword for"), std::string::npos) << term.output();
}

}  // namespace
