// qelvo-serve's own messages. While a job runs, the capture thread's
// standard error is the job's record of messages; every other message goes
// through here, to the standard error the server started with.
#pragma once

// Keeps a descriptor of the standard error the server started with; before
// anything else in main.
void keepServerLog();

// Makes that standard error descriptor 2 again, after a job's record.
void restoreServerLog();

// One line on that standard error (a line feed is added).
void serveLog(const char *format, ...) __attribute__((format(printf, 1, 2)));
