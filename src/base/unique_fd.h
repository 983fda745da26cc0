// SPDX-License-Identifier: Apache-2.0
// Owner of a file descriptor: closes it once, on every path.
// Results: close() returns close's result, with errno; reset() reports none.
#ifndef VELMORA_UNIQUE_FD_H_
#define VELMORA_UNIQUE_FD_H_

#include <unistd.h>

#include <cerrno>
#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Closes the descriptor now; returns close's result (0 when none was held),
  // keeping errno from the close for the caller to report.
  int close() noexcept {
    int result = 0;
    if (fd_ >= 0) result = ::close(std::exchange(fd_, -1));
    return result;
  }

  // Gives the descriptor up without closing it (to a DIR stream, say).
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes silently (errno preserved): for error paths that already report.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

#endif  // VELMORA_UNIQUE_FD_H_
