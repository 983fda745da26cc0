// SPDX-License-Identifier: Apache-2.0
#include "scheduler.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// ---- The child's side: the conversation, reported field by field ----------

// What the child tells the parent: NUL-terminated fields, each a tag byte
// and a value; kDone last, so that a report cut short is seen as one.
enum Tag : char {
  kPhase = 'p',
  kFailure = 'f',
  kError = 'e',
  kDetail = 'd',
  kQueue = 'q',
  kName = 'n',
  kDone = '.',
};

class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void add(Tag tag, std::string_view value = {}) {
    std::string field(1, tag);
    field.append(value);
    field.push_back('\0');
    for (std::size_t done = 0; done < field.size();) {
      ssize_t n = ::write(fd_, field.data() + done, field.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(1);  // the parent is gone
      done += static_cast<std::size_t>(n);
    }
  }
  void phase(SchedulerPhase phase) { add(kPhase, std::to_string(static_cast<int>(phase))); }
  void failure(SchedulerFailure failure, int error = 0, std::string_view detail = {}) {
    add(kFailure, std::to_string(static_cast<int>(failure)));
    add(kError, std::to_string(error));
    add(kDetail, detail);
  }

 private:
  int fd_;
};

bool is_socket(const char* server) { return server[0] == '/'; }

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
// progress until the deadline (which ends the child).
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

// The library asks the caller for a password when the scheduler wants one;
// no prompt may appear, so none is given.
const char* decline_password(const char*, http_t*, const char*, const char*, void*) {
  return nullptr;
}

void check_queue_in_child(const char* queue, Report& report, Clock::time_point deadline) {
  auto http = connect(report, deadline);
  if (!http) return;
  report.phase(SchedulerPhase::kAsking);
  std::optional<std::string> name = first_queue_from(http.get(), queue, report);
  if (!name) return;
  // CUPS compares names without regard to case. Otherwise the queue may
  // still be a destination the list holds for other reasons.
  if (name->empty() || strcasecmp(name->c_str(), queue) != 0) {
    DestList list;
    if (!get_destinations(http.get(), &list, report)) return;
    const cups_dest_t* dest = cupsGetDest(queue, nullptr, list.count, list.dests);
    name = dest != nullptr ? std::string(dest->name) : std::string();
  }
  if (!name->empty()) report.add(kQueue, *name);
}

void list_queues_in_child(Report& report, Clock::time_point deadline) {
  auto http = connect(report, deadline);
  if (!http) return;
  report.phase(SchedulerPhase::kAsking);
  // The default queue first: a small request of our own, which shows that
  // the scheduler answers at all before the library's retrying one.
  if (!ask(http.get(), IppPtr(ippNewRequest(IPP_OP_CUPS_GET_DEFAULT), ippDelete), report)) return;
  DestList list;
  if (!get_destinations(http.get(), &list, report)) return;
  for (int i = 0; i < list.count; ++i) {
    if (list.dests[i].instance == nullptr) report.add(kName, list.dests[i].name);
  }
}

// ---- The parent's side: the deadline ------------------------------------

std::string server_name() {
  std::string server = cupsServer();
  if (!is_socket(server.c_str())) {
    server += ':';
    server += std::to_string(ippPort());
  }
  return server;
}

// Runs `work` in a child process and gathers its report, ending it at the
// deadline. The fields of a complete report, or nullopt with *lookup saying
// what happened.
std::optional<std::vector<std::string>> converse(
    QueueLookup* lookup, const std::function<void(Report&, Clock::time_point)>& work) {
  const Clock::time_point deadline = Clock::now() + kSchedulerDeadline;
  lookup->result = QueueCheck::kUnreachable;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    lookup->failure = SchedulerFailure::kNoAnswer;
    lookup->detail = std::string("cannot start the check: ") + std::strerror(errno);
    return std::nullopt;
  }
  UniqueFd from_child(ends[0]);
  UniqueFd to_parent(ends[1]);
  const pid_t child = fork();
  if (child < 0) {
    lookup->failure = SchedulerFailure::kNoAnswer;
    lookup->detail = std::string("cannot start the check: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (child == 0) {
    // Ends with the run, and on its own should the run be stopped meanwhile.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(static_cast<unsigned>(kSchedulerDeadline.count()) + 1);
    from_child.reset();
    cupsSetPasswordCB2(decline_password, nullptr);
    Report report(to_parent.get());
    work(report, deadline);
    report.add(kDone);
    _exit(0);
  }
  to_parent.reset();
  std::string received;
  bool ended = false;
  while (!ended) {
    pollfd wait{from_child.get(), POLLIN, 0};
    const int ready = poll(&wait, 1, milliseconds_until(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(from_child.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
    } else {
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (!ended) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  std::vector<std::string> fields;
  for (std::size_t at = 0, end; (end = received.find('\0', at)) != std::string::npos;
       at = end + 1) {
    fields.emplace_back(received, at, end - at);
  }
  SchedulerFailure failure = SchedulerFailure::kNone;
  bool done = false;
  for (const std::string& field : fields) {
    const std::string value = field.substr(1);
    switch (field[0]) {
      case kPhase:
        lookup->phase = static_cast<SchedulerPhase>(std::stoi(value));
        break;
      case kFailure:
        failure = static_cast<SchedulerFailure>(std::stoi(value));
        break;
      case kError:
        lookup->error = std::stoi(value);
        break;
      case kDetail:
        lookup->detail = value;
        break;
      case kDone:
        done = true;
        break;
      default:
        break;
    }
  }
  if (!done) {
    failure = ended ? SchedulerFailure::kNoAnswer : SchedulerFailure::kTimeout;
    if (ended) lookup->detail = "the check ended unexpectedly";
  }
  lookup->failure = failure;
  if (failure != SchedulerFailure::kNone) return std::nullopt;
  return fields;
}

}  // namespace

QueueLookup find_queue(const char* queue) {
  QueueLookup lookup;
  lookup.server = server_name();
  // CUPS admits no longer name, and some library versions stall on one.
  if (queue == nullptr || std::strlen(queue) > kMaxQueueName) return lookup;
  std::optional<std::vector<std::string>> fields =
      converse(&lookup, [queue](Report& report, Clock::time_point deadline) {
        check_queue_in_child(queue, report, deadline);
      });
  if (!fields) return lookup;
  lookup.result = QueueCheck::kUnknown;
  for (const std::string& field : *fields) {
    if (field[0] == kQueue) {
      lookup.result = QueueCheck::kKnown;
      lookup.queue = field.substr(1);
    }
  }
  return lookup;
}

QueueLookup list_queues(std::vector<std::string>* names) {
  QueueLookup lookup;
  lookup.server = server_name();
  names->clear();
  std::optional<std::vector<std::string>> fields = converse(&lookup, list_queues_in_child);
  if (!fields) return lookup;
  lookup.result = QueueCheck::kKnown;
  for (const std::string& field : *fields) {
    if (field[0] == kName) names->push_back(field.substr(1));
  }
  return lookup;
}
