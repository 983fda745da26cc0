// SPDX-License-Identifier: Apache-2.0
// Runs the built tool (compiled with the test account directory) against the
// private scheduler, the way a user would: arguments, standard input, and the
// caller's identity, dropped with setpriv for ordinary-user cases.
#ifndef VELMORA_TOOL_RUNNER_H_
#define VELMORA_TOOL_RUNNER_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

struct ToolRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct ToolCall {
  std::vector<std::string> args = {};         // after the program name
  std::string input = {};                     // standard input (a pipe)
  bool as_root = true;                        // false: drop to an ordinary user
  std::optional<std::string> user = "alice";  // USER, or unset
  std::optional<std::string> argv0 = {};      // program name to pass; default the path
  bool no_argv = false;                       // exec with an empty argument vector
  std::string cups_server = {};               // default: default_scheduler()
  std::vector<std::string> env = {};          // added to the environment ("LANG=...")
  std::optional<mode_t> umask = {};           // the tool's umask; default inherited
  std::vector<int> closed = {};               // standard descriptors to close
  std::vector<std::string> wrapper = {};      // a command that runs the tool (before setpriv)
  int patience_ms = 10000;                    // silence after which the tool counts as hung
  // Runs in the test while the tool runs (given its process ID), before its
  // output is collected: to send it a signal mid-way, say.
  std::function<void(pid_t)> while_running = {};
  // A system call at whose first use strace stops the tool (SIGSTOP), however
  // fast the disk: while_running then gets the stopped tool's process ID,
  // and input is given before it. "exit": the tool stops itself as it exits,
  // once its own code is done (test_settings.cpp), with no strace.
  // stop_path: only a call on that path (a descriptor of it) counts.
  std::string stop_at = {};
  std::string stop_path = {};
};

bool running_as_root();

// Whether the tools run as on a file system without unnamed files (the
// environment of the test says VELMORA_TEST_NO_TMPFILE=1).
bool without_tmpfile();

// Whether err is one message per entry of words, in order, each one line
// starting "velmora-account: " and those words (GNU's "Try ..." hint lines
// aside; "No Printer Queue Entry" is that line whole; words that end in a
// line feed are the whole line): which message a run ended with.
// messages_test pins whole texts.
testing::AssertionResult says(const std::string& err, const std::vector<std::string>& words);
ToolRun run_tool(const ToolCall& call);

// The private scheduler shared by the tests (queues lp1 and lp2, never
// changed), or the test's own (VELMORA_TEST_CUPS_SERVER), where it adds queues.
std::string default_scheduler();

// The environment the tool sees: PATH, HOME, CUPS_SERVER, USER and call.env.
std::vector<std::string> tool_environment(const ToolCall& call);

#endif  // VELMORA_TOOL_RUNNER_H_
