// SPDX-License-Identifier: Apache-2.0
#include "scheduler.h"

#include <cups/cups.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

// When the current request gives up, and whether it did.
struct Deadline {
  Clock::time_point at;
  bool passed = false;
};

// Called by the library each second it waits; 0 gives up the request.
int keep_waiting(http_t* /*http*/, void* data) {
  auto* deadline = static_cast<Deadline*>(data);
  if (Clock::now() < deadline->at) return 1;
  deadline->passed = true;
  return 0;
}

// Why a connection to the local socket at path fails, or 0.
int local_connect_error(const char* path) {
  sockaddr_un address{};
  if (std::strlen(path) >= sizeof address.sun_path) return ENAMETOOLONG;
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0
                                                                                             : errno;
}

// The same for a host and port: the first address's error, waiting at most
// a second for a connection in progress.
int network_connect_error(const char* host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0) return EHOSTUNREACH;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
  UniqueFd fd(socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  pollfd wait{fd.get(), POLLOUT, 0};
  if (poll(&wait, 1, 1000) <= 0) return ETIMEDOUT;
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
  return error;
}

std::string server_name() {
  std::string server = cupsServer();
  if (!server.starts_with('/')) server += ":" + std::to_string(ippPort());
  return server;
}

// A destination list from the library, freed on every path.
struct DestList {
  DestList() = default;
  DestList(const DestList&) = delete;
  DestList& operator=(const DestList&) = delete;
  ~DestList() { cupsFreeDests(count, dests); }
  int count = 0;
  cups_dest_t* dests = nullptr;
};

// The scheduler's answers, on one connection whose every wait is bounded.
class Scheduler {
 public:
  explicit Scheduler(QueueLookup* lookup)
      : lookup_(lookup), budget_end_(Clock::now() + kQueueCheckBudget) {}
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  bool connect() {
    const auto wait = std::min<Clock::duration>(kRequestWait, budget_end_ - Clock::now());
    const int msec =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
    // Made unconnected first, so that a failure to connect leaves its errno
    // in the connection, where httpError finds it.
    http_.reset(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 0,
                             nullptr));
    int cancel = 0;
    if (!http_ || httpReconnect2(http_.get(), std::max(msec, 1), &cancel) != 0) {
      lookup_->failure = SchedulerFailure::kConnect;
      lookup_->error = http_ && httpError(http_.get()) != 0 ? httpError(http_.get()) : errno;
      // The library reports a failed connection vaguely ("host is down");
      // try once more to learn why (no such socket, refused, not permitted).
      const char* server = cupsServer();
      if (int why = server[0] == '/' ? local_connect_error(server)
                                     : network_connect_error(server, ippPort());
          why != 0) {
        lookup_->error = why;
      }
      if (lookup_->error == 0) lookup_->error = EHOSTUNREACH;
      return false;
    }
    httpSetTimeout(http_.get(), 1.0, keep_waiting, &deadline_);
    return true;
  }

  // Asks, in one request, for the first queue from `printer` on that this
  // user may use, by the same rules as the destination list. nullopt when
  // there was no answer (failure recorded), else the name, or "" when the
  // first such queue is another.
  std::optional<std::string> first_queue_from(const char* printer) {
    start_request();
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "first-printer-name", nullptr, printer);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
    // The scheduler leaves out queues whose allow list excludes this user.
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    // cupsDoRequest frees the request.
    std::unique_ptr<ipp_t, decltype(&ippDelete)> response(
        cupsDoRequest(http_.get(), request, "/"), ippDelete);
    if (!response && !answered()) return std::nullopt;
    if (!response || cupsLastError() > IPP_STATUS_OK_CONFLICTING) return std::string();
    ipp_attribute_t* attr = ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME);
    const char* name = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    return name != nullptr ? std::string(name) : std::string();
  }

  // The destination list, as cupsGetDests gives it, looked up for printer.
  // nullopt when there was no answer, else the name or "".
  std::optional<std::string> destination(const char* printer) {
    DestList list;
    if (!destinations(&list)) return std::nullopt;
    const cups_dest_t* dest = cupsGetDest(printer, nullptr, list.count, list.dests);
    return dest != nullptr ? std::string(dest->name) : std::string();
  }

  // The destination list; false when there was no answer.
  bool destinations(DestList* list) {
    start_request();
    list->count = cupsGetDests2(http_.get(), &list->dests);
    return list->count != 0 || answered();
  }

 private:
  void start_request() {
    deadline_.at = std::min(Clock::now() + kRequestWait, budget_end_);
    deadline_.passed = false;
  }

  // After a request without a response: was it an answer (a refusal) or
  // none at all? Records the failure when none.
  bool answered() {
    if (deadline_.passed) {
      lookup_->failure = SchedulerFailure::kTimeout;
      return false;
    }
    // A scheduler that refuses this user still answered; anything else
    // without an IPP response (a broken connection, a web server's 404) is
    // no scheduler's answer.
    const http_status_t status = httpGetStatus(http_.get());
    if (status == HTTP_STATUS_OK || status == HTTP_STATUS_UNAUTHORIZED ||
        status == HTTP_STATUS_FORBIDDEN) {
      return true;
    }
    lookup_->failure = SchedulerFailure::kNoAnswer;
    lookup_->detail = cupsLastErrorString() != nullptr ? cupsLastErrorString() : "";
    return false;
  }

  QueueLookup* lookup_;
  Clock::time_point budget_end_;
  Deadline deadline_;
  std::unique_ptr<http_t, decltype(&httpClose)> http_{nullptr, httpClose};
};

}  // namespace

QueueCheck CheckCUPSEntry(const char* printer, QueueLookup* lookup) {
  QueueLookup local;
  if (lookup == nullptr) lookup = &local;
  *lookup = QueueLookup{};
  lookup->server = server_name();
  // CUPS admits no longer name, and some library versions stall on one.
  if (printer == nullptr || std::strlen(printer) > kMaxQueueName) return QueueCheck::kUnknown;

  Scheduler scheduler(lookup);
  auto fail = [&] {
    lookup->result = QueueCheck::kUnreachable;
    return QueueCheck::kUnreachable;
  };
  if (!scheduler.connect()) return fail();
  std::optional<std::string> name = scheduler.first_queue_from(printer);
  if (!name) return fail();
  // CUPS compares names without regard to case. Otherwise the queue may
  // still be a destination the list holds for other reasons.
  if (name->empty() || strcasecmp(name->c_str(), printer) != 0) {
    name = scheduler.destination(printer);
    if (!name) return fail();
  }
  if (name->empty()) return QueueCheck::kUnknown;
  lookup->result = QueueCheck::kKnown;
  lookup->queue = std::move(*name);
  return QueueCheck::kKnown;
}

bool list_queues(std::vector<std::string>* names, QueueLookup* lookup) {
  *lookup = QueueLookup{};
  lookup->server = server_name();
  names->clear();
  Scheduler scheduler(lookup);
  DestList list;
  if (!scheduler.connect() || !scheduler.destinations(&list)) {
    lookup->result = QueueCheck::kUnreachable;
    return false;
  }
  for (int i = 0; i < list.count; ++i) {
    if (list.dests[i].instance == nullptr) names->emplace_back(list.dests[i].name);
  }
  return true;
}
