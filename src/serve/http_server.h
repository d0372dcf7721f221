// The web side of qelvo-serve: the HTTP daemon, its routes and its refusals.
//
// libmicrohttpd owns the sockets and one polling thread (epoll); requests are
// answered on that thread, and a capture that must be waited for, like an
// event stream, suspends its connection instead of holding the thread. A
// watchdog thread drops every connection whose request is not complete 10 s
// after it was accepted, however its bytes trickle in; it sleeps until the
// nearest such deadline, so an idle server wakes for nothing.
#pragma once

#include <sys/socket.h>

#include "serve/token.h"

// A listening socket on `address`; -1, with a message on standard error,
// when it cannot be had.
int openListener(const sockaddr_storage &address, socklen_t size);

// Starts the daemon on `listenFd`, serving the captures in `dirFd`; false,
// with a message on standard error, when it cannot start.
bool startServer(int listenFd, int dirFd, const Token &token);

// Prints the start line for `listenFd` on standard output, the other
// addresses of an unspecified one on standard error.
void announceServer(int listenFd, const Token &token);

// Stops taking connections, ends every stream and waiting answer, and stops
// the daemon and the watchdog.
void stopServer();
