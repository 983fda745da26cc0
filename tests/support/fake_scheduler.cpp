// SPDX-License-Identifier: Apache-2.0
#include "fake_scheduler.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

FakeScheduler::FakeScheduler(Mode mode, std::string path) : mode_(mode), path_(std::move(path)) {
  sockaddr_un local{};
  sockaddr_in inet{};
  socklen_t size = 0;
  sockaddr* address = nullptr;
  if (!path_.empty()) {
    unlink(path_.c_str());
    local.sun_family = AF_UNIX;
    path_.copy(local.sun_path, sizeof local.sun_path - 1);
    address = reinterpret_cast<sockaddr*>(&local);
    size = sizeof local;
  } else {
    inet.sin_family = AF_INET;
    inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address = reinterpret_cast<sockaddr*>(&inet);
    size = sizeof inet;
  }
  fd_ = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(fd_, address, size) != 0 || listen(fd_, 8) != 0 ||
      (!path_.empty() && chmod(path_.c_str(), 0777) != 0) ||
      getsockname(fd_, address, &size) != 0) {
    ADD_FAILURE() << "cannot listen";
  }
  server_ = path_.empty() ? "127.0.0.1:" + std::to_string(ntohs(inet.sin_port)) : path_;
  if (mode_ != kSilent) accepter_ = std::thread([this] { serve(); });
}

FakeScheduler::~FakeScheduler() {
  stop_ = true;
  shutdown(fd_, SHUT_RDWR);
  if (accepter_.joinable()) accepter_.join();
  for (std::thread& t : clients_) t.join();
  close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
}

void FakeScheduler::serve() {
  for (int client; !stop_ && (client = accept(fd_, nullptr, nullptr)) >= 0;) {
    if (mode_ == kClose) {
      close(client);
      continue;
    }
    clients_.emplace_back([this, client] { answer(client); });
  }
}

void FakeScheduler::answer(int client) {
  timeval patience{0, 200000};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string request;
  char buffer[4096];
  while (!stop_) {
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n > 0) request.append(buffer, static_cast<size_t>(n));
    if (request.find("\r\n\r\n") == std::string::npos) continue;
    request.clear();
    if (mode_ == kPassword) {
      const std::string refusal =
          "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"CUPS\"\r\n"
          "Content-Length: 0\r\n\r\n";
      send(client, refusal.data(), refusal.size(), MSG_NOSIGNAL);
      continue;
    }
    const std::string head = "HTTP/1.1 200 OK\r\nX-Slow: ";
    for (std::size_t i = 0; !stop_; ++i) {  // the header never ends
      if (send(client, i < head.size() ? &head[i] : "a", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }
  close(client);
}
