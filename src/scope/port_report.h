// What the user is told about a serial port: why it would not open, who
// holds it, and the listing of --ports. Every answer comes from sysfs, /dev
// and /proc (port_info.h); none of this opens a port.
#pragma once

#include <cstdio>

#include "scope/port_info.h"

// The line after "Cannot open serial line": the cause, judged by `openError`
// (the errno of the failed open) and the node itself, and what to do. Prints
// nothing for a cause it does not know.
void explainOpenFailure(const char *device, int openError);

// The in-use message for a line that another process holds: by its flock()
// lock when `locked`, else by its open file (a port opened exclusively).
// Names the process when /proc shows it; for a service known to seize new
// ports, adds what to do about it.
void reportLineInUse(const char *device, bool locked);

// A warning for every other process that has the serial port `fd` open
// without a lock. Pseudo-terminals are left alone: the program on their
// other side holds them too.
void warnAlsoOpen(const char *device, int fd);

// The listing of --ports on `out`: one block per port, or a line saying
// there is none.
void listSerialPorts(const SystemRoots &roots, FILE *out);
