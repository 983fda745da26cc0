// SPDX-License-Identifier: Apache-2.0
// A CUPS scheduler that misbehaves, for the tests of the deadline: on a
// local socket (path) or on a loopback port (path empty), kSilent accepts
// connections and never answers, kClose closes each at once, kTrickle sends
// its answer a byte every half second, kPassword answers every request with
// 401. It serves until it goes out of scope.
#ifndef VELMORA_FAKE_SCHEDULER_H_
#define VELMORA_FAKE_SCHEDULER_H_

#include <atomic>
#include <string>
#include <thread>
#include <vector>

class FakeScheduler {
 public:
  enum Mode { kSilent, kClose, kTrickle, kPassword };
  FakeScheduler(Mode mode, std::string path);
  FakeScheduler(const FakeScheduler&) = delete;
  FakeScheduler& operator=(const FakeScheduler&) = delete;
  ~FakeScheduler();
  // What CUPS_SERVER names it by.
  const std::string& server() const { return server_; }

 private:
  void serve();
  void answer(int client);

  Mode mode_;
  std::string path_;
  std::string server_;
  int fd_ = -1;
  std::atomic<bool> stop_ = false;
  std::thread accepter_;
  std::vector<std::thread> clients_;
};

#endif  // VELMORA_FAKE_SCHEDULER_H_
