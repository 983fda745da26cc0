// SPDX-License-Identifier: Apache-2.0
#include "tool_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

bool running_as_root() { return geteuid() == 0; }

bool without_tmpfile() {
  const char* value = std::getenv("VELMORA_TEST_NO_TMPFILE");
  return value != nullptr && std::string(value) == "1";
}

testing::AssertionResult says(const std::string& err, const std::vector<std::string>& words) {
  std::size_t next = 0;
  for (std::size_t at = 0, end; at < err.size(); at = end + 1) {
    end = err.find('\n', at);
    if (end == std::string::npos) return testing::AssertionFailure() << "unended line in " << err;
    const std::string line = err.substr(at, end - at);
    if (line.starts_with("Try '")) continue;
    const bool spec_line = line == "No Printer Queue Entry";  // the one line without the prefix
    const std::string expected = next == words.size() ? ""
                                 : spec_line          ? words[next]
                                                      : "velmora-account: " + words[next];
    // Words that end in a line feed are the whole line.
    const bool whole = expected.ends_with('\n');
    if (next == words.size() || !(whole ? line + '\n' == expected : line.starts_with(expected))) {
      return testing::AssertionFailure()
             << "line " << next + 1 << " of " << testing::PrintToString(err) << " is not '"
             << (next < words.size() ? words[next] : "(none)") << "...'";
    }
    ++next;
  }
  if (next != words.size())
    return testing::AssertionFailure() << "too few lines in " << testing::PrintToString(err);
  return testing::AssertionSuccess();
}

std::string default_scheduler() {
  const char* own = std::getenv("VELMORA_TEST_CUPS_SERVER");
  return own != nullptr ? own : CUPS_SOCKET;
}

std::vector<std::string> tool_environment(const ToolCall& call) {
  std::vector<std::string> env = {
      "PATH=/usr/bin:/bin",
      "HOME=" + test_home(),  // no personal lpoptions
      "CUPS_SERVER=" + (call.cups_server.empty() ? default_scheduler() : call.cups_server),
      "VELMORA_TEST_ACCOUNT_DIR=" + test_account_dir(),
  };
  if (call.user) env.push_back("USER=" + *call.user);
  // The sanitizer build's settings reach the tool too; the leak checker
  // refuses to run under strace.
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS"}) {
    std::string value = std::getenv(name) != nullptr ? std::getenv(name) : "";
    if (!call.stop_at.empty() && name == std::string("ASAN_OPTIONS")) value += ":detect_leaks=0";
    if (!value.empty()) env.push_back(std::string(name) + "=" + value);
  }
  env.insert(env.end(), call.env.begin(), call.env.end());
  return env;
}

namespace {

// The process the strace of a stop_at call runs, once strace saw it stop.
pid_t stopped_tool(pid_t strace, const std::string& log, int patience_ms) {
  for (int waited = 0; waited < patience_ms; waited += 10) {
    const std::string text = read_file(log).value_or("");
    const std::string children = read_file("/proc/" + std::to_string(strace) + "/task/" +
                                           std::to_string(strace) + "/children")
                                     .value_or("");
    if (text.find("--- stopped by SIGSTOP ---") != std::string::npos && !children.empty()) {
      return static_cast<pid_t>(std::stol(children));
    }
    usleep(10000);
  }
  ADD_FAILURE() << "the tool never stopped: " << read_file(log).value_or("(no trace)");
  return strace;
}

// The tool, once it stopped itself as it exits.
pid_t stopped_at_exit(pid_t tool, int patience_ms) {
  for (int waited = 0; waited < patience_ms; waited += 10) {
    int status = 0;
    if (waitpid(tool, &status, WUNTRACED | WNOHANG) == tool && WIFSTOPPED(status)) return tool;
    usleep(10000);
  }
  ADD_FAILURE() << "the tool never stopped as it exited";
  return tool;
}

}  // namespace

ToolRun run_tool(const ToolCall& call) {
  std::vector<std::string> argv;
  std::string program = TOOL_PATH;
  if (!call.as_root && running_as_root()) {
    program = "/usr/bin/setpriv";
    argv = {"/usr/bin/setpriv",
            "--reuid=" + std::to_string(kOrdinaryUid),
            "--regid=" + std::to_string(kOrdinaryUid),
            "--clear-groups",
            "--",
            TOOL_PATH};
  } else {
    argv = {call.argv0.value_or(TOOL_PATH)};
  }
  argv.insert(argv.end(), call.args.begin(), call.args.end());
  std::vector<std::string> wrapper = call.wrapper;
  static int stops = 0;
  const std::string trace_log =
      test_home() + "/stop-" + std::to_string(getpid()) + "-" + std::to_string(++stops) + ".strace";
  const bool at_exit = call.stop_at == "exit";
  if (!call.stop_at.empty() && !at_exit) {
    wrapper = {"/usr/bin/strace",
               "-qq",
               "-o",
               trace_log,
               "-e",
               "trace=" + call.stop_at,
               "-e",
               "inject=" + call.stop_at + ":signal=STOP:when=1"};
    if (!call.stop_path.empty()) wrapper.insert(wrapper.begin() + 4, {"-P", call.stop_path});
  }
  // Every tool of a run without unnamed files: the run that stops too.
  if (without_tmpfile()) wrapper.insert(wrapper.begin(), NO_TMPFILE);
  if (!wrapper.empty()) {
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    program = wrapper[0];
  }
  std::vector<std::string> env = tool_environment(call);
  if (at_exit) env.push_back("VELMORA_TEST_STOP_AT_EXIT=1");  // test_settings.cpp

  // Made before the fork: the tests run tools from several threads at once,
  // and a child may not allocate (another thread may hold the allocator's
  // lock), nor keep another run's pipes open (close-on-exec).
  if (call.no_argv) argv.clear();
  std::vector<char*> args = exec_array(argv), envp = exec_array(env);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (int fd : call.closed) close(fd);
    if (call.umask) umask(*call.umask);
    // The tool starts with every signal at its default, as from a shell.
    for (int signo = 1; signo < NSIG; ++signo) signal(signo, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  // A run that stops at a call may need its input to get there: it is given
  // first, whole (it must fit in the pipe).
  std::size_t written = 0;
  if (!call.stop_at.empty() && !call.input.empty()) {
    written = static_cast<std::size_t>(
        std::max<ssize_t>(write(in[1], call.input.data(), call.input.size()), 0));
  }
  if (written == call.input.size()) close(in[1]);
  if (call.while_running) {
    call.while_running(call.stop_at.empty() ? pid
                       : at_exit            ? stopped_at_exit(pid, call.patience_ms)
                                            : stopped_tool(pid, trace_log, call.patience_ms));
  }
  // Feed the input and collect both outputs without deadlocking on full pipes.
  ToolRun run;
  pollfd fds[3] = {{out[0], POLLIN, 0},
                   {err[0], POLLIN, 0},
                   {written == call.input.size() ? -1 : in[1], POLLOUT, 0}};
  int open_outputs = 2;
  while (open_outputs > 0) {
    if (poll(fds, 3, call.patience_ms) <= 0) {
      kill(pid, SIGKILL);  // a hang is a failure, not a stuck suite
      run.err += "[test: no progress, killed]";
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0) {
        char buffer[4096];
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_outputs;
        }
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      ssize_t n = write(in[1], call.input.data() + written, call.input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == call.input.size()) {
        close(in[1]);
        fds[2].fd = -1;
      }
    }
  }
  if (fds[2].fd >= 0) close(in[1]);
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd >= 0) close(fds[i].fd);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return run;
}
