// The capture side of qelvo-serve: the one thread that runs the captures.
//
// The main thread becomes the capture thread once the HTTP daemon runs
// (runJobs). It alone touches `settings`: each job starts from the record
// the configuration file and qelvo-serve's own line options left, read
// through the same parse and check as qelvo's command line, and runs as a
// series with a numbered name. The web threads hand it a job's body
// (submitJob), ask it to stop (stopJob), and learn of its progress only
// through the events it publishes (publishEvent) and the answers it gives.
//
// Stop signals: prepareJobs blocks SIGINT, SIGTERM and SIGHUP, so that every
// thread started after it keeps them blocked and they reach the capture
// thread alone, which lets them in only while it waits for a job and while
// a job runs. A signal during a job ends it as it ends qelvo; then, or
// between jobs, runJobs returns. stopJob sends SIGINT to the capture thread
// only, which ends the job and nothing else.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The keys of a POST /api/capture body; every other key is refused.
inline constexpr const char *JOB_KEYS[] = {
    "channel",  "timebase", "gain",    "offset", "probe",     "channels",
    "gains",    "offsets",  "probes",  "format", "separator", "count",
    "interval", "name",     "measure", "wait",   "keep_going"};

bool isJobKey(const std::string &key);

// The body of a POST /api/capture: its keys (each one of JOB_KEYS) and
// string values, in the body's order.
struct JobRequest {
  std::vector<std::pair<std::string, std::string>> values;
};

struct JobAnswer {
  int httpStatus;   // 200, 202, 400, 409 or 503
  std::string body; // one JSON object
};

// Called once for each job handed over, on the capture thread: 400 with the
// settings problems or 503 with the line's error when it did not start;
// otherwise 202 {"job":N} as it starts or, with "wait":"yes", 200 and its
// result when it has ended.
using JobAnswerFn = std::function<void(const JobAnswer &)>;

// qelvo-serve's own -s, -b and --flow as given; nullptr where not given.
struct LineOptions {
  const char *device = nullptr;
  const char *speed = nullptr;
  const char *flow = nullptr;
};

// What GET /api/status reports of the line: the device, fixed by
// prepareJobs, and the speed, which with -b auto is the last one a job's
// probe found (0 before the first).
struct LineFacts {
  std::string device;
  long speed = 0;
};

// On the main thread, before any other thread exists: blocks the stop
// signals, reads the configuration file as qelvo does, applies `line`, and
// makes `dirFd` (the captures folder) the working directory, where the
// captures are written. Opens nothing and judges nothing of the line.
void prepareJobs(const LineOptions &line, int dirFd);
// From any thread.
LineFacts lineFacts();

// Runs the jobs handed over, one after another, until a stop signal comes;
// returns 0 then, after the running job has ended as qelvo ends on it.
int runJobs();

// From any thread. Hands a job to the capture thread; false, and nothing
// handed over, while a job is waiting or running (the caller answers 409).
bool submitJob(JobRequest request, JobAnswerFn answer);

// From any thread. Ends the running job as SIGINT ends qelvo; returns its
// number, or 0 when none is running.
int stopJob();

// From any thread: whether a job is waiting or running.
bool jobBusy();

// Whether `name`, a capture's file name after its time conversions were
// expanded, is a plain name in the captures folder: not empty, no "/", no
// leading ".", no control byte, and not "-".
bool plainCaptureName(const char *name);

// Called by the capture thread for each event, in order: "job" (a job
// started: {"job":N,"settings":{...}}), "progress" ({"job":N,"samples":[...]},
// at most ten a second), "file" (one finished file, as in the result) and
// "done" (the result). `data` is one line of JSON. Defined by the web side,
// which hands it to every viewer of /api/events; it must not block.
void publishEvent(const char *name, const std::string &data);
