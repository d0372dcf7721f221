// qelvo-serve's capture side without the web: jobs handed to runJobs from
// another thread, against the scripted scope on a pty, in a child process of
// their own (the capture thread owns the stop signals and standard error).
// Also the JSON the server reads and writes.
#include "serve/jobs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scripted_scope.h"
#include "serve/json.h"
#include "test_support.h"

namespace {

std::mutex eventsMutex;
std::vector<std::string> events;

} // namespace

void publishEvent(const char *name, const std::string &data) {
  std::lock_guard<std::mutex> lock(eventsMutex);
  events.push_back(std::string(name) + " " + data);
}

namespace {

struct JobRow {
  JobRequest request;
  std::string answer; // "STATUS BODY"
};

// Hands each job over in turn and writes "STATUS BODY" of each answer, then
// every event, to `report`; ends runJobs with SIGTERM.
void runJobsInChild(const TempDir &dir, const std::vector<JobRow> &rows) {
  ProcessResult child = runInChild([&] {
    PtyPair pty;
    ScriptedScope scope(pty);
    scope.reply('1', "1");
    scope.reply('s', "s01");
    scope.reply('d', "d0102\n");
    scope.reply('0', "0");
    int dirFd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    LineOptions line;
    line.device = pty.slavePath.c_str();
    line.flow = "none";
    prepareJobs(line, dirFd);
    pthread_t capture = pthread_self();
    std::thread web([&] {
      FILE *report = fopen(dir.file("report").c_str(), "w");
      for (const JobRow &row : rows) {
        std::promise<JobAnswer> answered;
        while (!submitJob(row.request, [&](const JobAnswer &a) { answered.set_value(a); })) {
          std::this_thread::yield();
        }
        JobAnswer a = answered.get_future().get();
        fprintf(report, "%d %s\n", a.httpStatus, a.body.c_str());
      }
      while (jobBusy()) {
        std::this_thread::yield();
      }
      std::lock_guard<std::mutex> lock(eventsMutex);
      for (const std::string &event : events) {
        fprintf(report, "%s\n", event.c_str());
      }
      fclose(report);
      pthread_kill(capture, SIGTERM);
    });
    int status = runJobs();
    web.join();
    _exit(status == 0 ? 0 : 80);
  });
  ASSERT_EQ(child.exitStatus, 0) << child.err;
}

TEST(ServeJobs, EachJobIsAnsweredAsItsSettingsAllow) {
  TempDir dir;
  writeFile(dir.file("capture-0001.dat"), "earlier capture\n");
  std::vector<JobRow> rows = {
      {{{{"timebase", "0"}, {"probe", "0,5"}}},
       "400 {\"error\":\"invalid settings\",\"problems\":[\"Invalid time base (0)\","
       "\"Invalid ProbeFactor (0,5)\"]}"},
      {{{{"name", "../up.dat"}, {"measure", "maybe"}}},
       "400 {\"error\":\"invalid settings\",\"problems\":[\"Invalid measure (maybe): use yes or "
       "no\",\"Invalid file name (../up.dat)\"]}"},
      {{{{"name", ".hidden"}}},
       "400 {\"error\":\"invalid settings\",\"problems\":[\"Invalid file name (.hidden)\"]}"},
      {{{{"name", "-"}}},
       "400 {\"error\":\"invalid settings\",\"problems\":[\"Invalid file name (-)\"]}"},
      {{{{"interval", "1"}}},
       "400 {\"error\":\"invalid settings\",\"problems\":[\"Invalid interval (1): only with "
       "--count\"]}"},
      {{{{"channel", "1"}, {"wait", "yes"}, {"measure", "yes"}}},
       "200 {\"job\":1,\"status\":0,\"message\":\"qelvo: capture 2: 2 samples written to "
       "'capture-0002.dat'\",\"files\":[{\"name\":\"capture-0002.dat\",\"samples\":[2],"
       "\"measure\":[{\"channel\":1,\"samples\":2,\"min\":"},
      {{{{"channel", "1"}, {"format", "csv"}, {"name", "run"}, {"count", "2"}}}, "202 {\"job\":2}"},
  };
  runJobsInChild(dir, rows);
  std::string report = readFile(dir.file("report"));
  size_t at = 0;
  for (const JobRow &row : rows) {
    size_t end = report.find('\n', at);
    ASSERT_NE(end, std::string::npos) << report;
    EXPECT_EQ(report.substr(at, row.answer.size()), row.answer);
    at = end + 1;
  }
  // The earlier file is untouched, the series numbered, the job's events in order.
  EXPECT_EQ(readFile(dir.file("capture-0001.dat")), "earlier capture\n");
  EXPECT_NE(readFile(dir.file("run-0001")).find("\n"), std::string::npos);
  EXPECT_NE(readFile(dir.file("run-0002")).find("\n"), std::string::npos);
  std::string rest = report.substr(at);
  std::vector<std::string> names;
  for (size_t line = 0; line < rest.size(); line = rest.find('\n', line) + 1) {
    names.push_back(rest.substr(line, rest.find(' ', line) - line));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"job", "progress", "file", "done", "job", "progress",
                                             "file", "file", "done"}))
      << rest;
  EXPECT_NE(rest.find("job {\"job\":1,\"settings\":{\"channel\":\"1\",\"measure\":\"yes\"}}"),
            std::string::npos)
      << rest;
}

TEST(ServeJson, ReadsOnlyAnObjectOfStrings) {
  struct Row {
    std::string body;
    bool accepted;
    std::vector<std::pair<std::string, std::string>> members;
  };
  const std::vector<Row> rows = {
      {"{}", true, {}},
      {" { \"timebase\" : \"100\\u00b5\" , \"name\":\"a\\/b\\n\"}\r\n",
       true,
       {{"timebase", "100\xC2\xB5"}, {"name", "a/b\n"}}},
      {"{\"k\":\"\\ud83d\\ude00\"}", true, {{"k", "\xF0\x9F\x98\x80"}}},
      {"", false, {}},
      {"[]", false, {}},
      {"{\"count\":3}", false, {}},
      {"{\"a\":\"1\",}", false, {}},
      {"{\"a\":\"1\"} x", false, {}},
      {"{\"a\":\"1\",\"a\":\"2\"}", false, {}},
      {"{\"a\":\"\\u0000\"}", false, {}},
      {"{\"a\":\"\\ud800\"}", false, {}},
      {"{\"a\":\"\xB5\"}", false, {}},
      {"{\"a\":\"\xC0\xAF\"}", false, {}},
      {"{\"a\":\"tab\there\"}", false, {}},
      {"{\"a\":\"1\"", false, {}},
  };
  for (const Row &row : rows) {
    std::vector<std::pair<std::string, std::string>> members;
    EXPECT_EQ(parseStringObject(row.body, members), row.accepted) << row.body;
    if (row.accepted) {
      EXPECT_EQ(members, row.members) << row.body;
    }
  }
  EXPECT_EQ(jsonString("a\"b\\c\n\x01\xB5\xC2\xB5"),
            "\"a\\\"b\\\\c\\u000a\\u0001\xC2\xB5\xC2\xB5\"");
  EXPECT_EQ(jsonNumber(0.1) + " " + jsonNumber(-2.5e-7) + " " + jsonNumber(1.0 / 0.0),
            "0.1 -2.5e-07 null");
}

} // namespace
