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

#include "test_support.h"
#include "tool_runner.h"

namespace {

using namespace std::chrono_literals;

// A terminal session whose foreground job is the tool, as a shell would run
// it: the tool has a process group of its own, so stop signals really stop it.
class Terminal {
 public:
  explicit Terminal(std::vector<std::string> args) {
    ToolCall call;
    std::vector<std::string> env = tool_environment(call);
    int report[2];
    if (pipe(report) != 0) throw std::runtime_error("pipe");
    session_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (session_ < 0) throw std::runtime_error("forkpty");
    if (session_ == 0) {
      close(report[0]);
      pid_t tool = fork();
      if (tool == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(STDIN_FILENO, getpid());
        signal(SIGTTOU, SIG_DFL);
        std::vector<char*> argv{const_cast<char*>(TOOL_PATH)}, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(TOOL_PATH, argv.data(), envp.data());
        _exit(127);
      }
      setpgid(tool, tool);
      tcsetpgrp(STDIN_FILENO, tool);
      if (write(report[1], &tool, sizeof tool) != sizeof tool) _exit(126);
      int status = 0;
      while (waitpid(tool, &status, 0) < 0) {
      }
      _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    close(report[1]);
    if (read(report[0], &tool_, sizeof tool_) != sizeof tool_) tool_ = -1;
    close(report[0]);
    fcntl(master_, F_SETFL, O_NONBLOCK);
  }
  ~Terminal() {
    if (session_ > 0 && status_ < 0) {
      kill(tool_, SIGKILL);
      wait_exit();
    }
    close(master_);
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

  termios attributes() const {
    termios t{};
    tcgetattr(master_, &t);  // the terminal's own settings, as the tool sees them
    return t;
  }
  bool echo_on() const { return (attributes().c_lflag & ECHO) != 0; }

  // The tool's state letter from /proc (R, S, T, ...).
  char state() const {
    std::ifstream stat("/proc/" + std::to_string(tool_) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    std::size_t paren = all.rfind(')');
    return paren == std::string::npos || paren + 2 >= all.size() ? '?' : all[paren + 2];
  }

  bool wait_for_state(char wanted) {
    for (int i = 0; i < 100; ++i) {
      if (state() == wanted) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

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
    while ((n = read(master_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<size_t>(n));
  }

  int master_ = -1;
  pid_t session_ = -1;
  pid_t tool_ = -1;
  int status_ = -1;
  std::string output_;
};

class Prompts : public testing::Test {
 protected:
  void SetUp() override {
    reset_account_dir();
    chmod(TEST_ACCOUNT_DIR, 01777);
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
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(term.output().substr(pin), "\r\n");  // the line feed shows, the password does not
  termios after = term.attributes();
  EXPECT_NE(after.c_lflag & ECHO, 0u);
  EXPECT_EQ(after.c_lflag & ECHONL, 0u);
  EXPECT_EQ(stored(), "<lp1>\nu_id=" + base64("alice") + "\nu_password=" + base64("s3cret") + "\n</lp1>\n");
}

TEST_F(Prompts, TypeAheadBeforeThePinPromptIsDiscarded) {
  Terminal term({"-p", "lp1"});
  term.expect("id : ");
  term.type("42\nTYPEDAHEAD\n");
  term.expect("pin : ");
  term.type("7\n");
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(stored(), "<lp1>\nid=42\npassword=7\n</lp1>\n");
}

// Nothing is cut: a value over its limit is refused and asked for again.
TEST_F(Prompts, EmptyEntriesAskAgainAndLongOnesAreRefused) {
  Terminal term({"-ps", "lp1"});
  std::size_t at = term.expect("user name : ");
  term.type("\n");
  at = term.expect("user name : ", at);
  term.type(std::string(600, 'n') + "\n");
  at = term.expect("user name: too long: at most 32 bytes of UTF-8 can be stored; type it again", at);
  at = term.expect("user name : ", at);
  term.type(std::string(32, 'n') + "\n");
  at = term.expect("pin : ", at);
  term.type("\n");  // an empty secured print password is refused
  at = term.expect("pin : ", at);
  term.type(std::string(600, 'p') + "\n");
  at = term.expect("pin: too long: at most 7 bytes of UTF-8 can be stored; type it again", at);
  at = term.expect("pin : ", at);
  term.type(std::string(7, 'p') + "\n");
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(stored(), "<lp1>\ns_id=" + base64(std::string(32, 'n')) + "\ns_password=" +
                          base64(std::string(7, 'p')) + "\n</lp1>\n");
  EXPECT_TRUE(term.echo_on());
}

TEST_F(Prompts, EndOfInputEndsTheToolWithEchoBack) {
  for (const char* option : {"-p", "-pu"}) {
    SetUp();
    Terminal term({option, "lp1"});
    term.expect(" : ");
    term.type("name\n");
    term.expect("pin : ");
    term.type("\x04");  // Ctrl-D at the start of the line: end of input
    EXPECT_EQ(term.wait_exit(), 1) << option;
    EXPECT_NE(term.output().find("reading pin: unexpected end of input"), std::string::npos)
        << term.output();
    EXPECT_TRUE(term.echo_on()) << option;
    EXPECT_EQ(stored(), std::nullopt) << option;
  }
}

TEST_F(Prompts, SignalsDuringHiddenEntryRestoreEchoAndKill) {
  struct Case {
    int signo;
    const char* typed;  // typed at the terminal, or sent with kill
  } cases[] = {{SIGINT, "\x03"},   {SIGQUIT, "\x1c"},  {SIGTERM, nullptr},
               {SIGHUP, nullptr}, {SIGUSR1, nullptr}, {SIGPWR, nullptr},
               {SIGRTMIN, nullptr}, {SIGSYS, nullptr}};
  for (const Case& c : cases) {
    SetUp();
    Terminal term({"-pu", "lp1"});
    term.expect("user name : ");
    term.type("alice\n");
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

TEST_F(Prompts, StopShowsEchoAndContinueHidesItAgain) {
  Terminal term({"-pu", "lp1"});
  term.expect("user name : ");
  term.type("alice\n");
  std::size_t at = term.expect("pin : ");
  ASSERT_FALSE(term.echo_on());
  term.type("\x1a");  // Ctrl-Z
  ASSERT_TRUE(term.wait_for_state('T')) << "the tool did not stop";
  EXPECT_TRUE(term.echo_on());
  kill(term.tool(), SIGCONT);
  term.expect("pin : ", at);  // asked again, hidden again
  EXPECT_FALSE(term.echo_on());
  term.type("s3cret\n");
  EXPECT_EQ(term.wait_exit(), 0);
  EXPECT_EQ(term.output().find("s3cret"), std::string::npos);
  EXPECT_TRUE(term.echo_on());
  EXPECT_EQ(stored(), "<lp1>\nu_id=" + base64("alice") + "\nu_password=" + base64("s3cret") + "\n</lp1>\n");
}

}  // namespace
