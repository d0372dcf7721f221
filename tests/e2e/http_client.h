// A plain HTTP/1.1 client over a raw socket to 127.0.0.1, for the tests of
// qelvo-serve: the bytes sent are exactly the ones written, so that
// malformed and slow requests can be sent as well as good ones.
#pragma once

#include <string>

struct HttpAnswer {
  int status = 0; // 0: no answer before the connection closed
  std::string head;
  std::string body; // as sent: the answers read whole carry a Content-Length
  // The value of header `name` (case-insensitive), or "" when absent.
  std::string header(const std::string &name) const;
};

// A connected socket; -1 when the connection failed.
int connectLocal(int port);

// Sends `request` as it is and reads the answer until the server closes.
HttpAnswer httpExchange(int port, const std::string &request, int timeoutMs = 15000);

// The answer read from `fd` until it closes (or timeoutMs passes).
HttpAnswer readAnswer(int fd, int timeoutMs = 15000);

// A request with its Host, optional extra header lines (each ending in
// "\r\n") and, when `body` is given, its Content-Length.
std::string request(const std::string &method, const std::string &path,
                    const std::string &headers = "", const std::string *body = nullptr);

// Reads from `fd` until `text` has arrived (true) or timeoutMs passed;
// `seen` keeps everything read.
bool readUntil(int fd, const std::string &text, std::string &seen, int timeoutMs);
