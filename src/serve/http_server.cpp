#include "serve/http_server.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/captures_dir.h"
#include "serve/events.h"
#include "serve/jobs.h"
#include "serve/json.h"
#include "serve/page_assets.h"
#include "serve/serve_log.h"

namespace {

using Clock = std::chrono::steady_clock;

const char CSP[] = "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'";
const char JSON_TYPE[] = "application/json";
const char NEED_TOKEN[] = "{\"error\":\"a token is needed: open the address qelvo-serve printed "
                          "at start\"}";
const char NEED_TOKEN_PAGE[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>qelvo-serve</title></head><body><p>A token is needed: open the address "
    "qelvo-serve printed at start.</p></body></html>\n";

constexpr size_t MAX_BODY = 4096;
constexpr size_t MAX_HEADER = 8192;
constexpr unsigned MAX_OPEN = 32;
// Beyond MAX_OPEN a connection is still taken, to be told 503; beyond this
// the library closes it unanswered.
constexpr unsigned HARD_LIMIT = 48;
constexpr auto REQUEST_TIME = std::chrono::seconds(10);
constexpr auto DRAIN_TIME = std::chrono::seconds(2);
// A complete request's answer must be taken at some pace too.
constexpr unsigned ANSWER_IDLE_SECONDS = 30;

MHD_Daemon *server = nullptr;
int capturesFd = -1;
Token serverToken;

// --- The watchdog and the count of open connections ----------------------

// The socket context of each connection.
struct Link {
  int fd;
  Clock::time_point deadline;
  bool watched;
  bool overLimit;
};

std::mutex linkMutex;
std::condition_variable linkWake;
std::vector<Link *> links;
unsigned openLinks = 0;
bool draining = false; // the server stops: requests not yet complete are dropped at once
bool watchdogStops = false;
std::condition_variable linksClosed;
std::thread watchdog;

void watchLinks() {
  std::unique_lock lock(linkMutex);
  while (!watchdogStops) {
    Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    for (Link *link : links) {
      if (!link->watched) {
        continue;
      }
      if (link->deadline <= now || draining) {
        // The library sees the end of the stream and closes the connection;
        // the lock keeps the descriptor from being closed and reused meanwhile.
        shutdown(link->fd, SHUT_RDWR);
        link->watched = false;
      } else {
        next = std::min(next, link->deadline);
      }
    }
    if (next == Clock::time_point::max()) {
      linkWake.wait(lock);
    } else {
      linkWake.wait_until(lock, next);
    }
  }
}

void noteConnection(void *, MHD_Connection *connection, void **context,
                    MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    Link *link = new Link{info->connect_fd, Clock::now() + REQUEST_TIME, true, false};
    bool full = false;
    {
      std::lock_guard lock(linkMutex);
      full = openLinks >= MAX_OPEN;
    }
    // Viewers that went away are closed in a moment: they leave room.
    unsigned leaving = full ? dropClosedViewers() : 0;
    std::lock_guard lock(linkMutex);
    link->overLimit = ++openLinks > MAX_OPEN + leaving;
    links.push_back(link);
    *context = link;
    linkWake.notify_one();
    return;
  }
  Link *link = static_cast<Link *>(*context);
  if (link != nullptr) {
    std::lock_guard lock(linkMutex);
    --openLinks;
    linksClosed.notify_all();
    links.erase(std::find(links.begin(), links.end(), link));
    delete link;
    *context = nullptr;
  }
}

Link *linkOf(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<Link *>(info->socket_context);
}

void requestComplete(MHD_Connection *connection) {
  Link *link = linkOf(connection);
  if (link != nullptr) {
    std::lock_guard lock(linkMutex);
    link->watched = false;
  }
}

// --- Answers ---------------------------------------------------------------

// One capture's answer, handed over from the capture thread.
struct PendingAnswer {
  MHD_Connection *connection;
  bool suspended = false;
  bool answered = false;
  JobAnswer answer{};
};

std::mutex answerMutex;
std::vector<std::shared_ptr<PendingAnswer>> suspendedAnswers;
bool stopping = false;

enum Route {
  ROUTE_NONE,
  ROUTE_PAGE,
  ROUTE_STATUS,
  ROUTE_CAPTURES,
  ROUTE_EVENTS,
  ROUTE_CAPTURE,
  ROUTE_STOP,
  ROUTE_DOWNLOAD,
};

struct Request {
  Route route = ROUTE_NONE;
  bool post = false;
  bool cookieFromQuery = false;
  bool tooLarge = false;
  std::string body;
  std::shared_ptr<PendingAnswer> pending;
};

MHD_Result queue(MHD_Connection *connection, const Request &request, unsigned status,
                 MHD_Response *response, bool stream = false) {
  if (response == nullptr) {
    return MHD_NO;
  }
  MHD_add_response_header(response, "Content-Security-Policy", CSP);
  MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  if (request.cookieFromQuery) {
    std::string cookie =
        std::string("qelvo_token=") + serverToken.text + "; HttpOnly; SameSite=Strict; Path=/";
    MHD_add_response_header(response, "Set-Cookie", cookie.c_str());
  }
  // One request a connection: the watchdog's deadline then covers all of it,
  // and a stopping server waits for no idle connection.
  MHD_add_response_header(response, "Connection", "close");
  if (!stream) {
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, ANSWER_IDLE_SECONDS);
  }
  MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result answerText(MHD_Connection *connection, const Request &request, unsigned status,
                      const std::string &body, const char *type = JSON_TYPE) {
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response != nullptr) {
    MHD_add_response_header(response, "Content-Type", type);
  }
  return queue(connection, request, status, response);
}

MHD_Result answerError(MHD_Connection *connection, const Request &request, unsigned status,
                       const std::string &text) {
  return answerText(connection, request, status, "{\"error\":" + jsonString(text) + "}");
}

// --- What a request is -----------------------------------------------------

Route routeOf(const char *url) {
  if (findPageAsset(url) != nullptr) {
    return ROUTE_PAGE;
  }
  static const struct {
    const char *path;
    Route route;
  } API[] = {{"/api/status", ROUTE_STATUS},
             {"/api/captures", ROUTE_CAPTURES},
             {"/api/events", ROUTE_EVENTS},
             {"/api/capture", ROUTE_CAPTURE},
             {"/api/stop", ROUTE_STOP}};
  for (const auto &entry : API) {
    if (strcmp(url, entry.path) == 0) {
      return entry.route;
    }
  }
  return strncmp(url, "/captures/", 10) == 0 ? ROUTE_DOWNLOAD : ROUTE_NONE;
}

bool postRoute(Route route) { return route == ROUTE_CAPTURE || route == ROUTE_STOP; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
    return (c | 0x20) - 'a' + 10;
  }
  return -1;
}

// Percent-decoding for the library: a decoded "/", NUL or control byte
// becomes a control byte, which no route and no served name holds, so that
// an encoded separator can never split or cut a name.
size_t unescape(void *, MHD_Connection *, char *text) {
  char *out = text;
  for (const char *in = text; *in != '\0'; ++in) {
    int high = in[0] == '%' ? hexValue(in[1]) : -1;
    int low = high < 0 ? -1 : hexValue(in[2]);
    if (low >= 0) {
      int value = high * 16 + low;
      *out++ = value == '/' || value < 0x20 || value == 0x7f ? '\x01' : static_cast<char>(value);
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
  return static_cast<size_t>(out - text);
}

MHD_Result addHeaderSize(void *cls, MHD_ValueKind, const char *key, const char *value) {
  *static_cast<size_t *>(cls) += strlen(key) + (value == nullptr ? 0 : strlen(value)) + 4;
  return MHD_YES;
}

size_t headerSize(MHD_Connection *connection, const char *url) {
  size_t size = strlen(url);
  MHD_get_connection_values(connection, MHD_HEADER_KIND, addHeaderSize, &size);
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, addHeaderSize, &size);
  return size;
}

bool authorized(MHD_Connection *connection, Request &request) {
  const char *query = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
  if (query != nullptr && tokenMatches(query, serverToken)) {
    request.cookieFromQuery = true;
    return true;
  }
  const char *header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
  if (header != nullptr && strncasecmp(header, "Bearer ", 7) == 0 &&
      tokenMatches(header + 7, serverToken)) {
    return true;
  }
  const char *cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, "qelvo_token");
  return cookie != nullptr && tokenMatches(cookie, serverToken);
}

bool jsonContentType(MHD_Connection *connection) {
  const char *type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type");
  if (type == nullptr) {
    return false;
  }
  std::string media(type, strcspn(type, ";"));
  while (!media.empty() && (media.back() == ' ' || media.back() == '\t')) {
    media.pop_back();
  }
  return strcasecmp(media.c_str(), JSON_TYPE) == 0;
}

// A body too large to take, known from its declared length.
bool declaredTooLarge(MHD_Connection *connection) {
  const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
  return length != nullptr && strtoull(length, nullptr, 10) > MAX_BODY;
}

// --- The routes ------------------------------------------------------------

MHD_Result answerStatus(MHD_Connection *connection, const Request &request) {
  const LineFacts facts = lineFacts();
  // With -b auto the speed is unknown until a job's probe has found it.
  std::string speed = facts.speed > 0 ? std::to_string(facts.speed) : "null";
  char tail[96];
  snprintf(tail, sizeof tail, ",\"speed\":%s,\"busy\":%s}", speed.c_str(),
           jobBusy() ? "true" : "false");
  return answerText(connection, request, 200,
                    "{\"program\":\"qelvo-serve\",\"version\":\"" QELVO_PACKAGE_VERSION
                    "\",\"device\":" +
                        jsonString(facts.device) + tail);
}

// `name` for a quoted header parameter; a byte a quoted string cannot carry
// becomes "_", and the exact name follows percent-encoded as filename*.
std::string dispositionOf(const char *name) {
  std::string quoted;
  std::string encoded;
  bool plain = true;
  for (const char *c = name; *c != '\0'; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    char escape[4];
    snprintf(escape, sizeof escape, "%%%02X", byte);
    bool safe = isalnum(byte) || strchr("-._~", byte) != nullptr;
    encoded += safe ? std::string(1, *c) : escape;
    if (byte == '"' || byte == '\\') {
      quoted += '\\';
      quoted += *c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      quoted += '_';
      plain = false;
    } else {
      quoted += *c;
    }
  }
  std::string value = "attachment; filename=\"" + quoted + "\"";
  return plain ? value : value + "; filename*=UTF-8''" + encoded;
}

MHD_Result answerDownload(MHD_Connection *connection, const Request &request, const char *name) {
  off_t size = 0;
  int fd = openCapture(capturesFd, name, serverToken, size);
  if (fd < 0) {
    return answerError(connection, request, 404, "not found");
  }
  MHD_Response *response = MHD_create_response_from_fd64(static_cast<uint64_t>(size), fd);
  if (response == nullptr) {
    close(fd);
    return MHD_NO;
  }
  size_t length = strlen(name);
  bool csv = length >= 4 && strcmp(name + length - 4, ".csv") == 0;
  bool session = length >= 3 && strcmp(name + length - 3, ".sr") == 0;
  MHD_add_response_header(response, "Content-Type",
                          csv       ? "text/csv; charset=us-ascii"
                          : session ? "application/zip"
                                    : "text/plain; charset=iso-8859-1");
  MHD_add_response_header(response, "Content-Disposition", dispositionOf(name).c_str());
  return queue(connection, request, 200, response);
}

MHD_Result answerPage(MHD_Connection *connection, const Request &request, const char *url) {
  const PageAsset *asset = findPageAsset(url);
  MHD_Response *response = MHD_create_response_from_buffer(
      asset->size, const_cast<unsigned char *>(asset->bytes), MHD_RESPMEM_PERSISTENT);
  if (response != nullptr) {
    MHD_add_response_header(response, "Content-Type", asset->contentType);
  }
  return queue(connection, request, 200, response);
}

MHD_Result answerEvents(MHD_Connection *connection, const Request &request) {
  MHD_Response *response = openEventStream(connection);
  if (response != nullptr) {
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
  }
  return queue(connection, request, 200, response, true);
}

MHD_Result answerJob(MHD_Connection *connection, const Request &request, const JobAnswer &answer) {
  return answerText(connection, request, static_cast<unsigned>(answer.httpStatus), answer.body);
}

MHD_Result startCapture(MHD_Connection *connection, Request &request) {
  JobRequest job;
  if (!parseStringObject(request.body, job.values)) {
    return answerError(connection, request, 400, "the body is not a JSON object of strings");
  }
  for (const auto &[key, value] : job.values) {
    if (!isJobKey(key)) {
      return answerError(connection, request, 400, "unknown setting '" + key + "'");
    }
  }
  auto pending = std::make_shared<PendingAnswer>();
  pending->connection = connection;
  // Runs on the capture thread: hands the answer over and wakes the
  // connection if it already waits.
  JobAnswerFn handOver = [pending](const JobAnswer &answer) {
    std::lock_guard lock(answerMutex);
    if (pending->answered) {
      return;
    }
    pending->answer = answer;
    pending->answered = true;
    if (pending->suspended) {
      pending->suspended = false;
      std::erase(suspendedAnswers, pending);
      MHD_resume_connection(pending->connection);
    }
  };
  if (!submitJob(std::move(job), std::move(handOver))) {
    return answerError(connection, request, 409, "busy: a capture is running");
  }
  std::lock_guard lock(answerMutex);
  if (!pending->answered) {
    if (stopping) {
      pending->answered = true;
      pending->answer = {503, "{\"error\":\"the server is stopping\"}"};
    } else {
      pending->suspended = true;
      suspendedAnswers.push_back(pending);
      request.pending = pending;
      MHD_suspend_connection(connection);
      return MHD_YES;
    }
  }
  return answerJob(connection, request, pending->answer);
}

MHD_Result answerPost(MHD_Connection *connection, Request &request) {
  if (request.tooLarge) {
    return answerError(connection, request, 413, "the body is larger than 4 KiB");
  }
  if (!jsonContentType(connection)) {
    return answerError(connection, request, 415, "the body must come as application/json");
  }
  if (request.route == ROUTE_CAPTURE) {
    return startCapture(connection, request);
  }
  int job = stopJob();
  if (job == 0) {
    return answerError(connection, request, 409, "nothing is running");
  }
  return answerText(connection, request, 200, "{\"job\":" + std::to_string(job) + "}");
}

MHD_Result answerGet(MHD_Connection *connection, const Request &request, const char *url) {
  switch (request.route) {
  case ROUTE_PAGE: return answerPage(connection, request, url);
  case ROUTE_STATUS: return answerStatus(connection, request);
  case ROUTE_CAPTURES:
    return answerText(connection, request, 200, listCaptures(capturesFd, serverToken));
  case ROUTE_EVENTS: return answerEvents(connection, request);
  case ROUTE_DOWNLOAD: return answerDownload(connection, request, url + 10);
  default: return answerError(connection, request, 404, "not found");
  }
}

// The first call sees the header; a POST's body follows in later calls; the
// last call, with no data, is when the request is complete.
MHD_Result answerRequest(void *, MHD_Connection *connection, const char *url, const char *method,
                         const char *, const char *upload, size_t *uploadSize, void **context) {
  Request *request = static_cast<Request *>(*context);
  if (request == nullptr) {
    request = new Request;
    *context = request;
    Link *link = linkOf(connection);
    if (link != nullptr && link->overLimit) {
      return answerError(connection, *request, 503, "too many connections");
    }
    if (headerSize(connection, url) > MAX_HEADER) {
      return answerError(connection, *request, 431, "the request's header is too large");
    }
    request->route = routeOf(url);
    request->post = strcmp(method, "POST") == 0;
    bool get = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    if (!authorized(connection, *request)) {
      if (request->route == ROUTE_PAGE && strcmp(url, "/") == 0) {
        return answerText(connection, *request, 401, NEED_TOKEN_PAGE, "text/html; charset=utf-8");
      }
      return answerText(connection, *request, 401, NEED_TOKEN);
    }
    if (request->route == ROUTE_NONE) {
      return answerError(connection, *request, 404, "not found");
    }
    if (postRoute(request->route) != request->post || (!request->post && !get)) {
      MHD_Response *response = nullptr;
      std::string body = "{\"error\":\"method not allowed\"}";
      response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
      if (response != nullptr) {
        MHD_add_response_header(response, "Content-Type", JSON_TYPE);
        MHD_add_response_header(response, "Allow",
                                postRoute(request->route) ? "POST" : "GET, HEAD");
      }
      return queue(connection, *request, 405, response);
    }
    if (request->post && declaredTooLarge(connection)) {
      return answerError(connection, *request, 413, "the body is larger than 4 KiB");
    }
    if (request->post) {
      return MHD_YES; // the body follows
    }
    requestComplete(connection);
    return answerGet(connection, *request, url);
  }
  if (*uploadSize != 0) {
    if (request->body.size() + *uploadSize > MAX_BODY) {
      request->tooLarge = true;
    } else {
      request->body.append(upload, *uploadSize);
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  requestComplete(connection);
  if (request->pending != nullptr) {
    std::lock_guard lock(answerMutex);
    return answerJob(connection, *request, request->pending->answer);
  }
  return answerPost(connection, *request);
}

void forgetRequest(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
  delete static_cast<Request *>(*context);
  *context = nullptr;
}

void logFromLibrary(void *, const char *format, va_list arguments) {
  char text[512];
  vsnprintf(text, sizeof text, format, arguments);
  text[strcspn(text, "\n")] = '\0';
  serveLog("qelvo-serve: %s", text);
}

std::string hostText(const sockaddr *address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text,
              sizeof text);
    return std::string("[") + text + "]";
  }
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
  return text;
}

// The addresses a browser elsewhere may use for a socket bound to an
// unspecified address of `family`: not loopback, nor IPv6 link-local, which
// needs a zone no address bar takes.
std::vector<std::string> reachableHosts(int family) {
  std::vector<std::string> hosts;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) {
    return hosts;
  }
  for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr *address = entry->ifa_addr;
    if (address == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
        (entry->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    bool usable = address->sa_family == AF_INET;
    if (address->sa_family == AF_INET6) {
      const in6_addr &ip = reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
      usable = !IN6_IS_ADDR_LINKLOCAL(&ip) && !IN6_IS_ADDR_LOOPBACK(&ip);
    }
    // An IPv6 socket bound to "::" takes IPv4 too.
    if (usable && (address->sa_family == family || family == AF_INET6)) {
      std::string host = hostText(address);
      if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
        hosts.push_back(host);
      }
    }
  }
  freeifaddrs(list);
  return hosts;
}

} // namespace

int openListener(const sockaddr_storage &address, socklen_t size) {
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  int no = 0;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            (address.ss_family != AF_INET6 ||
             setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no) == 0) &&
            bind(fd, reinterpret_cast<const sockaddr *>(&address), size) == 0 &&
            listen(fd, 64) == 0;
  if (!ok) {
    std::string host = hostText(reinterpret_cast<const sockaddr *>(&address));
    unsigned port = address.ss_family == AF_INET6
                        ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
                        : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    fprintf(stderr, "qelvo-serve: cannot listen on %s:%u: %s\n", host.c_str(), port,
            strerror(errno));
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  return fd;
}

bool startServer(int listenFd, int dirFd, const Token &token) {
  capturesFd = dirFd;
  serverToken = token;
  watchdog = std::thread(watchLinks);
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(listenFd, reinterpret_cast<sockaddr *>(&bound), &size);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_ERROR_LOG | (bound.ss_family == AF_INET6 ? MHD_USE_IPv6 : 0);
  server = MHD_start_daemon(
      flags, 0, nullptr, nullptr, answerRequest, nullptr, MHD_OPTION_EXTERNAL_LOGGER,
      logFromLibrary, nullptr, MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_CONNECTION_LIMIT,
      HARD_LIMIT, MHD_OPTION_CONNECTION_TIMEOUT, 0u, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(2 * MAX_HEADER), MHD_OPTION_NOTIFY_CONNECTION, noteConnection, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, forgetRequest, nullptr, MHD_OPTION_UNESCAPE_CALLBACK, unescape,
      nullptr, MHD_OPTION_END);
  if (server == nullptr) {
    fprintf(stderr, "qelvo-serve: the HTTP server did not start\n");
    stopServer();
    return false;
  }
  return true;
}

void announceServer(int listenFd, const Token &token) {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  getsockname(listenFd, reinterpret_cast<sockaddr *>(&bound), &size);
  const sockaddr *address = reinterpret_cast<const sockaddr *>(&bound);
  unsigned port = 0;
  bool unspecified = false;
  if (bound.ss_family == AF_INET6) {
    const sockaddr_in6 *ip = reinterpret_cast<const sockaddr_in6 *>(&bound);
    port = ntohs(ip->sin6_port);
    unspecified = IN6_IS_ADDR_UNSPECIFIED(&ip->sin6_addr);
  } else {
    const sockaddr_in *ip = reinterpret_cast<const sockaddr_in *>(&bound);
    port = ntohs(ip->sin_port);
    unspecified = ip->sin_addr.s_addr == htonl(INADDR_ANY);
  }
  std::vector<std::string> hosts;
  if (unspecified) {
    hosts = reachableHosts(bound.ss_family);
    if (hosts.empty()) {
      serveLog("qelvo-serve: warning: this machine has no address but loopback; "
               "the address below is the one bound");
    }
  }
  if (hosts.empty()) {
    hosts.push_back(hostText(address));
  }
  printf("qelvo-serve: serving http://%s:%u/?token=%s\n", hosts[0].c_str(), port, token.text);
  fflush(stdout);
  for (size_t i = 1; i < hosts.size(); ++i) {
    serveLog("qelvo-serve: also at http://%s:%u/?token=%s", hosts[i].c_str(), port, token.text);
  }
}

void stopServer() {
  if (server != nullptr) {
    MHD_quiesce_daemon(server);
    closeEventStreams();
    {
      std::lock_guard lock(answerMutex);
      stopping = true;
      for (const std::shared_ptr<PendingAnswer> &pending : suspendedAnswers) {
        pending->suspended = false;
        pending->answered = true;
        pending->answer = {503, "{\"error\":\"the server is stopping\"}"};
        MHD_resume_connection(pending->connection);
      }
      suspendedAnswers.clear();
    }
    // The answers under way, a job's result and the events' end among them,
    // are given before the connections are closed.
    std::unique_lock lock(linkMutex);
    draining = true;
    linkWake.notify_one();
    linksClosed.wait_for(lock, DRAIN_TIME, [] { return openLinks == 0; });
    lock.unlock();
    MHD_stop_daemon(server);
    server = nullptr;
  }
  if (watchdog.joinable()) {
    {
      std::lock_guard lock(linkMutex);
      watchdogStops = true;
      linkWake.notify_one();
    }
    watchdog.join();
  }
}
