#include "serve/jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <optional>
#include <string_view>

#include "app/capture.h"
#include "app/run_line.h"
#include "app/series.h"
#include "app/startup.h"
#include "common/monotonic_clock.h"
#include "datafile/file_pattern.h"
#include "scope/serial_line.h"
#include "serve/json.h"
#include "serve/serve_log.h"
#include "settings/command_line.h"
#include "settings/config_file.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

namespace {

struct Job {
  int number = 0;
  JobRequest request;
  JobAnswerFn answer;
  bool wait = false;
};

// Shared with the web threads, under jobMutex.
std::mutex jobMutex;
std::optional<Job> handedOver;
bool busy = false;     // a job handed over or running
int runningNumber = 0; // the job that stopJob may end; 0 for none
std::atomic<bool> stopAsked{false};

// The capture thread's own.
pthread_t captureThread;
int wakeFd = -1;     // eventfd: a job was handed over
int messagesFd = -1; // standard error while a job runs
int lastNumber = 0;
Settings base;                  // the record every job starts from
LineFacts facts;                // its speed is lineSpeed's
std::atomic<long> lineSpeed{0}; // written here, read by the web threads
sigset_t stopSignals;

// The job in progress, for the capture and sample hooks.
const Job *current = nullptr;
std::string filesJson;
std::string failedJson; // the captures a series that kept going lost
int progressCounts[MAX_CHANNELS];
int64_t lastProgressMs = 0;

// Each key that stands for an option with a value, and how qelvo spells it.
struct KeyOption {
  const char *key;
  const char *option; // a short option, or a long one ending in "="
};
constexpr KeyOption KEY_OPTIONS[] = {{"channel", "-c"},
                                     {"timebase", "-t"},
                                     {"gain", "-y"},
                                     {"offset", "-Y"},
                                     {"probe", "-p"},
                                     {"channels", "--channels="},
                                     {"gains", "--gain="},
                                     {"offsets", "--offset="},
                                     {"probes", "--probe="},
                                     {"format", "--format="},
                                     {"separator", "--separator="},
                                     {"count", "--count="},
                                     {"interval", "--interval="}};

const std::string *valueOf(const JobRequest &request, std::string_view key) {
  for (const auto &[name, value] : request.values) {
    if (name == key) {
      return &value;
    }
  }
  return nullptr;
}

// The job's words as a command line after "qelvo", options only.
std::vector<std::string> commandLineOf(const JobRequest &request) {
  std::vector<std::string> words{"qelvo"};
  for (const auto &[key, value] : request.values) {
    for (const KeyOption &known : KEY_OPTIONS) {
      if (key != known.key) {
        continue;
      }
      if (known.option[1] == '-') {
        words.push_back(known.option + value);
      } else {
        words.push_back(known.option);
        words.push_back(value);
      }
    }
    if (key == "measure" && value == "yes") {
      words.push_back("--measure");
    }
    if (key == "keep_going" && value == "yes") {
      words.push_back("--keep-going");
    }
  }
  return words;
}

// Runs qelvo's option parse over `words`, which the record then points into.
void parseWords(std::vector<std::string> &words) {
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  parseOptions(static_cast<int>(words.size()), argv.data());
}

// --- The job's messages ------------------------------------------------------

// From here to takeMessages, standard error is the job's record.
void recordMessages() {
  fflush(stderr);
  if (messagesFd < 0) {
    return;
  }
  // Without the record the messages go to the server's own standard error.
  if (ftruncate(messagesFd, 0) == 0 && lseek(messagesFd, 0, SEEK_SET) == 0) {
    dup2(messagesFd, STDERR_FILENO);
  }
}

// The job's messages as lines without their line feeds; each also goes to
// the server's own standard error.
std::vector<std::string> takeMessages() {
  fflush(stderr);
  std::vector<std::string> lines;
  if (messagesFd < 0) {
    return lines;
  }
  restoreServerLog();
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  for (off_t at = 0; (got = pread(messagesFd, chunk, sizeof chunk, at)) > 0; at += got) {
    text.append(chunk, static_cast<size_t>(got));
  }
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    serveLog("%s", lines.back().c_str());
    start = end + 1;
  }
  return lines;
}

// A message without "*** Error: " and " ***".
std::string bareMessage(const std::string &line) {
  static constexpr std::string_view OPEN = "*** Error: ";
  static constexpr std::string_view CLOSE = " ***";
  std::string_view text = line;
  if (text.substr(0, OPEN.size()) == OPEN) {
    text.remove_prefix(OPEN.size());
    if (text.size() >= CLOSE.size() && text.substr(text.size() - CLOSE.size()) == CLOSE) {
      text.remove_suffix(CLOSE.size());
    }
  }
  return std::string(text);
}

std::string jsonList(const std::vector<std::string> &items) {
  std::string list = "[";
  for (const std::string &item : items) {
    list += (list.size() > 1 ? "," : "") + item;
  }
  return list + "]";
}

// --- Events --------------------------------------------------------------

std::string measureJson(int channel, const MeasuredValues &values) {
  auto level = [&](double value) { return values.hasLevels ? jsonNumber(value) : "null"; };
  auto timing = [&](double value) { return values.hasTiming ? jsonNumber(value) : "null"; };
  return "{\"channel\":" + std::to_string(channel) +
         ",\"samples\":" + std::to_string(values.samples) + ",\"min\":" + level(values.min) +
         ",\"max\":" + level(values.max) + ",\"pp\":" + level(values.peakToPeak) +
         ",\"mean\":" + level(values.mean) + ",\"rms\":" + level(values.rms) +
         ",\"ac_rms\":" + level(values.acRms) + ",\"frequency\":" + timing(values.frequency) +
         ",\"period\":" + timing(values.period) + ",\"duty\":" + timing(values.duty) + "}";
}

// One finished capture whose file is there, as the result lists it.
std::string fileJson(const char *name, const CaptureResult &result) {
  std::vector<std::string> samples;
  for (int k = 0; k < result.channelCount; ++k) {
    samples.push_back(std::to_string(result.samples[k] > 0 ? result.samples[k] : 0));
  }
  std::string json = "{\"name\":" + jsonString(name) + ",\"samples\":" + jsonList(samples);
  const std::string *measure = valueOf(current->request, "measure");
  if (measure != nullptr && *measure == "yes") {
    std::vector<std::string> measured;
    for (int k = 0; result.measured && k < result.channelCount; ++k) {
      measured.push_back(measureJson(result.channels[k], result.measurements[k]));
    }
    json += ",\"measure\":" + jsonList(measured);
  }
  return json + "}";
}

std::string withJob(const std::string &object) {
  return "{\"job\":" + std::to_string(current->number) + "," + object.substr(1);
}

void captureEnded(int number, const char *fileName, const CaptureResult &result) {
  if (!result.reason.empty()) {
    failedJson += std::string(failedJson.empty() ? "" : ",") +
                  "{\"capture\":" + std::to_string(number) +
                  ",\"reason\":" + jsonString(result.reason) + "}";
  }
  struct stat info {};
  if (fileName == nullptr || lstat(fileName, &info) != 0) {
    return; // removed: the capture never started
  }
  std::string json = fileJson(fileName, result);
  filesJson += (filesJson.empty() ? "" : ",") + json;
  publishEvent("file", withJob(json));
}

void sampleArrived(int column, int samples) {
  progressCounts[column] = samples;
  int64_t now = monotonicMs();
  if (now - lastProgressMs < 100) {
    return;
  }
  lastProgressMs = now;
  std::vector<std::string> counts;
  for (int k = 0; k < settings.channelCount; ++k) {
    counts.push_back(std::to_string(progressCounts[k]));
  }
  publishEvent("progress", "{\"job\":" + std::to_string(current->number) +
                               ",\"samples\":" + jsonList(counts) + "}");
}

// --- One job ---------------------------------------------------------------

void answer(const Job &job, const JobAnswer &given) {
  if (job.answer) {
    job.answer(given);
  }
}

// No longer busy: the next job may be handed over from here on.
void release() {
  std::lock_guard<std::mutex> lock(jobMutex);
  busy = false;
  runningNumber = 0;
}

// The problems of a yes-or-no key.
void checkYesNo(const JobRequest &request, const char *key, std::vector<std::string> &problems) {
  const std::string *value = valueOf(request, key);
  if (value != nullptr && *value != "yes" && *value != "no") {
    problems.push_back(
        jsonString("Invalid " + std::string(key) + " (" + *value + "): use yes or no"));
  }
}

// The name pattern of the job's files; a problem when it names no plain file.
std::string patternOf(const JobRequest &request, std::vector<std::string> &problems) {
  const std::string *given = valueOf(request, "name");
  std::string pattern = given != nullptr                ? *given
                        : settings.format == FORMAT_CSV ? "capture-####.csv"
                        : settings.format == FORMAT_SR  ? "capture-####.sr"
                                                        : "capture-####.dat";
  char name[PATH_MAX];
  if (seriesFileName(pattern.c_str(), time(nullptr), 0, name, sizeof name) < 0 ||
      !plainCaptureName(name) || !plainCaptureName(pattern.c_str()) ||
      pattern.find('\0') != std::string::npos) {
    problems.push_back(jsonString("Invalid file name (" + pattern + ")"));
  }
  return pattern;
}

// Parses and checks the job's settings, then opens the line. False, with the
// answer in `refusal`, when it cannot start.
bool startJob(const Job &job, std::vector<std::string> &words, std::string &pattern,
              JobAnswer &refusal) {
  recordMessages();
  settings = base;
  words = commandLineOf(job.request);
  parseWords(words);
  checkSettingValues();
  std::vector<std::string> problems;
  for (const std::string &line : takeMessages()) {
    problems.push_back(jsonString(bareMessage(line)));
  }
  checkYesNo(job.request, "measure", problems);
  checkYesNo(job.request, "wait", problems);
  checkYesNo(job.request, "keep_going", problems);
  pattern = patternOf(job.request, problems);
  if (!problems.empty()) {
    refusal = {400, "{\"error\":\"invalid settings\",\"problems\":" + jsonList(problems) + "}"};
    return false;
  }
  recordMessages();
  bool failed = openLineChecked() > 0;
  std::vector<std::string> lines = takeMessages();
  if (!failed) {
    return true;
  }
  std::string error;
  std::string cause;
  const std::string prefix = std::string(shownProgramName()) + ": ";
  for (const std::string &line : lines) {
    if (line.rfind("*** Error: ", 0) == 0) {
      error = bareMessage(line);
      cause.clear();
    } else if (cause.empty() && line.rfind(prefix, 0) == 0) {
      cause = line.substr(prefix.size());
    }
  }
  refusal = {503, "{\"error\":" + jsonString(error) +
                      (cause.empty() ? "" : ",\"cause\":" + jsonString(cause)) + "}"};
  return false;
}

std::string settingsJson(const JobRequest &request) {
  std::string json = "{";
  for (const auto &[key, value] : request.values) {
    if (key != "wait") {
      json += (json.size() > 1 ? "," : "") + jsonString(key) + ":" + jsonString(value);
    }
  }
  return json + "}";
}

// Lets the stop signals in while `run` runs.
template <typename Run> int withStopSignals(Run run) {
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  int status = run();
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return status;
}

// Runs one job from its hand-over to its answer and "done". False when a
// stop signal for the server came.
bool runJob(Job &job) {
  std::vector<std::string> words;
  std::string pattern;
  JobAnswer refusal{};
  if (!startJob(job, words, pattern, refusal)) {
    release();
    answer(job, refusal);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(jobMutex);
    job.number = ++lastNumber;
    runningNumber = job.number;
  }
  current = &job;
  filesJson.clear();
  failedJson.clear();
  std::fill(std::begin(progressCounts), std::end(progressCounts), 0);
  lastProgressMs = 0;
  publishEvent("job", "{\"job\":" + std::to_string(job.number) +
                          ",\"settings\":" + settingsJson(job.request) + "}");
  if (!job.wait) {
    answer(job, {202, "{\"job\":" + std::to_string(job.number) + "}"});
  }
  settings.outputName = pattern.c_str();
  settings.count = settings.count < 0 ? 1 : settings.count;
  recordMessages();
  int status = withStopSignals([] {
    int lineStatus = setUpLine();
    if (lineStatus != 0) {
      return lineStatus;
    }
    lineSpeed = settings.baudRate; // the speed a probe found, if any
    return releaseLine(runSeries(captureEnded));
  });
  std::vector<std::string> lines = takeMessages();
  std::string message;
  for (auto line = lines.rbegin(); line != lines.rend() && message.empty(); ++line) {
    message = *line;
  }
  std::string result = "{\"job\":" + std::to_string(job.number) +
                       ",\"status\":" + std::to_string(status) +
                       ",\"message\":" + jsonString(message) + ",\"files\":[" + filesJson + "]";
  const std::string *keepGoing = valueOf(job.request, "keep_going");
  if (keepGoing != nullptr && *keepGoing == "yes") {
    result += ",\"failed\":[" + failedJson + "]";
  }
  result += "}";
  // A stop signal that was no stopJob's is the server's end.
  bool serverStopped = stopSignal() != 0 && !stopAsked.exchange(false);
  clearStopSignal();
  release();
  current = nullptr;
  publishEvent("done", result);
  if (job.wait) {
    answer(job, {200, result});
  }
  return !serverStopped;
}

// A stop signal still pending or recorded: stopJob's, which is forgotten,
// or the server's end (true).
bool stopSignalForServer() {
  timespec none{};
  int pending = sigtimedwait(&stopSignals, nullptr, &none);
  bool signalled = pending > 0 || stopSignal() != 0;
  clearStopSignal();
  return signalled && !stopAsked.exchange(false);
}

} // namespace

bool isJobKey(const std::string &key) {
  for (const char *known : JOB_KEYS) {
    if (key == known) {
      return true;
    }
  }
  return false;
}

bool plainCaptureName(const char *name) {
  if (name[0] == '\0' || name[0] == '.' || strcmp(name, "-") == 0) {
    return false;
  }
  for (const char *c = name; *c != '\0'; ++c) {
    if (*c == '/' || static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) {
      return false;
    }
  }
  return true;
}

void prepareJobs(const LineOptions &line, int dirFd) {
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  installStopHandlers();
  // A viewer that went away must not end the server.
  signal(SIGPIPE, SIG_IGN);
  captureThread = pthread_self();
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  messagesFd = memfd_create("qelvo-serve-messages", MFD_CLOEXEC);
  // The data file's header names the tool that wrote it, and messages begin
  // with the name a qelvo run would show.
  settings.programName = "qelvo";
  applyFloatPrecision();
  loadConfig();
  std::vector<std::string> words{"qelvo"};
  if (line.device != nullptr) {
    words.insert(words.end(), {"-s", line.device});
  }
  if (line.speed != nullptr) {
    words.insert(words.end(), {"-b", line.speed});
  }
  if (line.flow != nullptr) {
    words.push_back(std::string("--flow=") + line.flow);
  }
  // The record keeps pointers into these words for the whole run.
  static std::vector<std::string> kept;
  kept = words;
  parseWords(kept);
  facts.device = settings.device;
  // Jobs run in the captures folder; a relative device is named from where
  // the server started, as qelvo names it.
  static std::string absoluteDevice;
  char here[PATH_MAX];
  if (settings.device[0] != '/' && settings.device[0] != '\0' &&
      getcwd(here, sizeof here) != nullptr) {
    absoluteDevice = std::string(here) + "/" + settings.device;
    settings.device = absoluteDevice.c_str();
  }
  base = settings;
  lineSpeed = settings.autoBaud ? 0 : settings.baudRate;
  if (fchdir(dirFd) != 0) {
    serveLog("qelvo-serve: cannot enter the captures folder: %s", strerror(errno));
  }
  setSampleHook(sampleArrived);
}

LineFacts lineFacts() {
  LineFacts now = facts;
  now.speed = lineSpeed;
  return now;
}

int runJobs() {
  // Standard output carries the start line alone; a job's --measure lines
  // reach the clients in its result.
  fflush(stdout);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) {
    dup2(devNull, STDOUT_FILENO);
    close(devNull);
  }
  sigset_t waiting;
  pthread_sigmask(SIG_BLOCK, nullptr, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGHUP);
  for (;;) {
    if (stopSignalForServer()) {
      return 0;
    }
    std::optional<Job> job;
    {
      std::lock_guard<std::mutex> lock(jobMutex);
      job.swap(handedOver);
    }
    if (job) {
      if (!runJob(*job)) {
        return 0;
      }
      continue;
    }
    pollfd wake{wakeFd, POLLIN, 0};
    // Sleeps until a job or a signal comes: the idle server never wakes.
    if (ppoll(&wake, 1, nullptr, &waiting) > 0) {
      uint64_t count = 0;
      ssize_t got = read(wakeFd, &count, sizeof count);
      (void)got;
    }
  }
}

bool submitJob(JobRequest request, JobAnswerFn answerFn) {
  Job job;
  const std::string *wait = valueOf(request, "wait");
  job.wait = wait != nullptr && *wait == "yes";
  job.request = std::move(request);
  job.answer = std::move(answerFn);
  {
    std::lock_guard<std::mutex> lock(jobMutex);
    if (busy) {
      return false;
    }
    busy = true;
    handedOver = std::move(job);
  }
  uint64_t one = 1;
  ssize_t written = write(wakeFd, &one, sizeof one);
  (void)written;
  return true;
}

int stopJob() {
  std::lock_guard<std::mutex> lock(jobMutex);
  if (runningNumber == 0) {
    return 0;
  }
  stopAsked = true;
  pthread_kill(captureThread, SIGINT);
  return runningNumber;
}

bool jobBusy() {
  std::lock_guard<std::mutex> lock(jobMutex);
  return busy;
}
