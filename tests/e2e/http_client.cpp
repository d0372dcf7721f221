#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

int msLeft(std::chrono::steady_clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what `fd` gives within the time left; false at its end or timeout.
bool readSome(int fd, std::string &into, std::chrono::steady_clock::time_point end) {
  pollfd wait{fd, POLLIN, 0};
  if (poll(&wait, 1, msLeft(end)) <= 0) {
    return false;
  }
  char buffer[65536];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got <= 0) {
    return false;
  }
  into.append(buffer, static_cast<size_t>(got));
  return true;
}

} // namespace

std::string HttpAnswer::header(const std::string &name) const {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (strncasecmp(head.c_str() + at, (name + ":").c_str(), name.size() + 1) == 0) {
      size_t start = head.find_first_not_of(' ', at + name.size() + 1);
      return head.substr(start, head.find("\r\n", start) - start);
    }
  }
  return "";
}

int connectLocal(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

HttpAnswer readAnswer(int fd, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string text;
  while (readSome(fd, text, end)) {
  }
  HttpAnswer answer;
  size_t headEnd = text.find("\r\n\r\n");
  if (headEnd == std::string::npos || text.compare(0, 5, "HTTP/") != 0) {
    return answer;
  }
  answer.status = atoi(text.c_str() + text.find(' ') + 1);
  answer.head = text.substr(0, headEnd + 2);
  answer.body = text.substr(headEnd + 4);
  return answer;
}

HttpAnswer httpExchange(int port, const std::string &request, int timeoutMs) {
  int fd = connectLocal(port);
  if (fd < 0) {
    return {};
  }
  ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  (void)sent; // a refusal may come before the whole request was taken
  HttpAnswer answer = readAnswer(fd, timeoutMs);
  close(fd);
  return answer;
}

std::string request(const std::string &method, const std::string &path, const std::string &headers,
                    const std::string *body) {
  std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
  if (body != nullptr) {
    text += "Content-Length: " + std::to_string(body->size()) + "\r\n\r\n" + *body;
  } else {
    text += "\r\n";
  }
  return text;
}

bool readUntil(int fd, const std::string &text, std::string &seen, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (seen.find(text) == std::string::npos) {
    if (!readSome(fd, seen, end)) {
      return false;
    }
  }
  return true;
}
