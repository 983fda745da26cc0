// SPDX-License-Identifier: Apache-2.0
#include "scheduler_conversation.h"

#include <cups/cups.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "unique_fd.h"

namespace {

using Clock = SchedulerClock;

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Why a connection to the local socket at path fails, or 0.
int local_connect_error(const char* path) {
  sockaddr_un address{};
  if (std::strlen(path) >= sizeof address.sun_path) return ENAMETOOLONG;
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
             ? 0
             : errno;
}

// The same for the first address of a host: waits for a connection in
// progress (the run stops waiting for it at the deadline).
int network_connect_error(const addrinfo* address) {
  UniqueFd fd(socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return errno;
  return ::connect(fd.get(), address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
}

// The connection to the scheduler, or null after reporting why not.
std::unique_ptr<http_t, decltype(&httpClose)> connect(Report& report, Clock::time_point deadline) {
  std::unique_ptr<http_t, decltype(&httpClose)> http(nullptr, httpClose);
  const char* server = cupsServer();
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(nullptr, freeaddrinfo);
  if (!is_socket(server)) {
    report.phase(SchedulerPhase::kResolving);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(server, std::to_string(ippPort()).c_str(), &hints, &found); rc != 0) {
      report.failure(SchedulerFailure::kResolve, 0,
                     rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
      return http;
    }
    addresses.reset(found);
  }
  report.phase(SchedulerPhase::kConnecting);
  http.reset(httpConnect2(server, ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                          std::max(milliseconds_until(deadline), 1), nullptr));
  if (!http) {
    // The library reports a failed connection vaguely ("host is down"); try
    // once more to learn why (no such socket, refused, not permitted).
    int why = addresses ? network_connect_error(addresses.get()) : local_connect_error(server);
    if (why == 0) why = errno != 0 ? errno : EIO;
    report.failure(SchedulerFailure::kConnect, why);
  }
  return http;
}

void report_closed(http_t* http, Report& report) {
  // "Closed" says it all for a broken pipe or a reset.
  const int error = httpError(http);
  report.failure(SchedulerFailure::kClosed, error == EPIPE || error == ECONNRESET ? 0 : error);
}

// After a request without a response: was it an answer (a refusal) or none
// at all? Reports the failure when none.
bool answered(http_t* http, Report& report) {
  const http_status_t status = httpGetStatus(http);
  // A scheduler that refuses this user still answered.
  if (status == HTTP_STATUS_OK || status == HTTP_STATUS_FORBIDDEN) return true;
  // The library turns a 401 into "canceled" once no password is given.
  if (status == HTTP_STATUS_UNAUTHORIZED || status == HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED) {
    report.failure(SchedulerFailure::kPassword);
  } else if (status >= HTTP_STATUS_CONTINUE) {
    // A web server's 404, say: no scheduler's answer.
    report.failure(SchedulerFailure::kNoAnswer, 0,
                   "HTTP " + std::to_string(static_cast<int>(status)) + " " + httpStatus(status));
  } else {
    report_closed(http, report);
  }
  return false;
}

using IppPtr = std::unique_ptr<ipp_t, decltype(&ippDelete)>;

// Sends `request` and reads the answer: nullopt when none came (reported),
// else the response, or null for a refusal (a 403, say).
//
// The first attempt is made here, once: cupsDoRequest reconnects for as
// long as its POST fails, so a server that closes every connection at once
// would hold the run until the deadline and be reported as silent. A
// server that answers with anything but the response is handed to the
// library, which knows authentication and protocol upgrades.
std::optional<IppPtr> ask(http_t* http, IppPtr request, Report& report) {
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
  httpSetLength(http, ippLength(request.get()));
  bool sent = httpPost(http, "/") == 0;
  for (ipp_state_t state = IPP_STATE_IDLE; sent && state != IPP_STATE_DATA;) {
    state = ippWrite(http, request.get());
    sent = state != IPP_STATE_ERROR;
  }
  http_status_t status = HTTP_STATUS_ERROR;
  if (sent) {
    do {
      status = httpUpdate(http);
    } while (status == HTTP_STATUS_CONTINUE);
  }
  if (status == HTTP_STATUS_ERROR) {
    report_closed(http, report);
    return std::nullopt;
  }
  IppPtr response(nullptr, ippDelete);
  if (status == HTTP_STATUS_OK) {
    response.reset(ippNew());
    ipp_state_t state = IPP_STATE_IDLE;
    while (state != IPP_STATE_DATA && state != IPP_STATE_ERROR) {
      state = ippRead(http, response.get());
    }
    if (state == IPP_STATE_ERROR) {
      report_closed(http, report);
      return std::nullopt;
    }
    if (ippGetStatusCode(response.get()) > IPP_STATUS_OK_CONFLICTING) response.reset();
    return response;
  }
  httpFlush(http);
  // cupsDoRequest frees the request.
  response.reset(cupsDoRequest(http, request.release(), "/"));
  if (!response && !answered(http, report)) return std::nullopt;
  if (response && cupsLastError() > IPP_STATUS_OK_CONFLICTING) response.reset();
  return response;
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

bool get_destinations(http_t* http, DestList* list, Report& report) {
  list->count = cupsGetDests2(http, &list->dests);
  return list->count != 0 || answered(http, report);
}

// Asks, in one request, for the first queue from `queue` on that this
// user may use, by the same rules as the destination list. nullopt when
// there was no answer (reported), else the name, or "" when the first such
// queue is another.
std::optional<std::string> first_queue_from(http_t* http, const char* queue, Report& report) {
  IppPtr request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS), ippDelete);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "first-printer-name", nullptr,
               queue);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
  // The scheduler leaves out queues whose allow list excludes this user.
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  std::optional<IppPtr> response = ask(http, std::move(request), report);
  if (!response) return std::nullopt;
  if (!*response) return std::string();
  ipp_attribute_t* attr = ippFindAttribute(response->get(), "printer-name", IPP_TAG_NAME);
  const char* name = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
  return name != nullptr ? std::string(name) : std::string();
}

}  // namespace

void Report::phase(SchedulerPhase phase) {
  std::lock_guard lock(mutex_);
  phase_ = phase;
}

void Report::failure(SchedulerFailure failure, int error, std::string_view detail) {
  std::lock_guard lock(mutex_);
  failure_ = failure;
  error_ = error;
  detail_ = detail;
}

void Report::add(std::string_view name) {
  std::lock_guard lock(mutex_);
  names_.emplace_back(name);
}

void Report::finish() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
}

bool Report::wait_until(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return finished_.wait_until(lock, deadline, [this] { return done_; });
}

void Report::read(QueueLookup* lookup, std::vector<std::string>* names) {
  std::lock_guard lock(mutex_);
  lookup->phase = phase_;
  lookup->failure = failure_;
  lookup->error = error_;
  lookup->detail = detail_;
  *names = names_;
}

// The library asks the caller for a password when the scheduler wants one;
// no prompt may appear, so none is given.
void decline_passwords() {
  cupsSetPasswordCB2(
      [](const char*, http_t*, const char*, const char*, void*) -> const char* { return nullptr; },
      nullptr);
}

void check_queue(const std::string& queue, Report& report, Clock::time_point deadline) {
  auto http = connect(report, deadline);
  if (!http) return;
  report.phase(SchedulerPhase::kAsking);
  std::optional<std::string> name = first_queue_from(http.get(), queue.c_str(), report);
  if (!name) return;
  // CUPS compares names without regard to case. Otherwise the queue may
  // still be a destination the list holds for other reasons.
  if (name->empty() || strcasecmp(name->c_str(), queue.c_str()) != 0) {
    DestList list;
    if (!get_destinations(http.get(), &list, report)) return;
    const cups_dest_t* dest = cupsGetDest(queue.c_str(), nullptr, list.count, list.dests);
    name = dest != nullptr ? std::string(dest->name) : std::string();
  }
  if (!name->empty()) report.add(*name);
}

void list_queues_of(Report& report, Clock::time_point deadline) {
  auto http = connect(report, deadline);
  if (!http) return;
  report.phase(SchedulerPhase::kAsking);
  // The default queue first: a small request of our own, which shows that
  // the scheduler answers at all before the library's retrying one.
  if (!ask(http.get(), IppPtr(ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), ippDelete), report)) return;
  DestList list;
  if (!get_destinations(http.get(), &list, report)) return;
  for (int i = 0; i < list.count; ++i) {
    if (list.dests[i].instance == nullptr) report.add(list.dests[i].name);
  }
}
