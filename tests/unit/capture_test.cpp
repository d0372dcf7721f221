// The capture on its own, against the scripted scope on a pty: every end of
// an exchange, each in a child process of its own, since a stop signal and
// the data file's exit hook belong to the process.
#include "app/capture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/exit_status.h"
#include "datafile/output_file.h"
#include "scope/serial_line.h"
#include "scripted_scope.h"
#include "settings/command_line.h"
#include "settings/settings.h"
#include "settings/settings_check.h"
#include "test_support.h"

namespace {

using Script = std::map<char, std::vector<ScriptedReply>>;

// A scope that answers everything well: channel 1 selected, ready.
Script wellBehaved() {
  return {{'0', {{"0"}}}, {'1', {{"1"}}}, {'2', {{"2"}}}, {'s', {{"s01"}}}, {'d', {{"d0102\n"}}}};
}

Script with(Script script, char command, const std::vector<ScriptedReply> &replies) {
  script[command] = replies;
  return script;
}

struct ScopeRun {
  std::string options; // -s and the file added
  Script script;
  std::string bytes; // what the scope should receive
};

// Checks the options as a run would, sets the line up and captures `times`
// times from the one checked record, each into the file anew. Standard output
// gets the device's name on a line, then for each capture "status rows
// channels samples" (with `laterUs`, also the bytes of that capture, and "late"
// when the scope's stray bytes came more than that after its reply), then the
// bytes the scope received.
ProcessResult capture(const TempDir &dir, const ScopeRun &run, int times = 1, long laterUs = 0) {
  return runInChild([&] {
    PtyPair pty;
    ScriptedScope scope(pty);
    for (const auto &[command, replies] : run.script) {
      scope.replies(command, replies);
    }
    std::vector<std::string> words{"qelvo", "-s", pty.slavePath};
    for (size_t at = 0, space = 0; at < run.options.size(); at = space + 1) {
      space = run.options.find(' ', at);
      space = space == std::string::npos ? run.options.size() : space;
      words.push_back(run.options.substr(at, space - at));
    }
    words.push_back(dir.file("capture.dat"));
    std::vector<char *> argv;
    for (std::string &word : words) {
      argv.push_back(word.data());
    }
    settings.programName = "qelvo";
    readCommandLine(static_cast<int>(argv.size()), argv.data());
    if (checkSettings() != 0) {
      exit(90);
    }
    installStopHandlers();
    configureLine();
    printf("%s\n", pty.slavePath.c_str());
    Settings checked = settings;
    size_t sent = 0;
    for (int i = 0; i < times; ++i) {
      if (i > 0) {
        checked.outputFile = openOutputFile(checked.outputName);
      }
      CaptureResult result;
      int status = captureWaveform(checked, result);
      printf("%d %d %d,%d %d,%d", status == result.status ? status : -1000, result.rows,
             result.channels[0], result.channels[1], result.samples[0], result.samples[1]);
      if (laterUs > 0) {
        waitFor([&] { return scope.received().ends_with('e'); }, 500);
        printf(" %s%s", scope.received().substr(sent).c_str(),
               scope.lastLaterUs() > laterUs ? " late" : "");
        sent = scope.received().size();
      }
      printf("\n");
    }
    waitFor([&] { return scope.received().size() >= run.bytes.size(); }, 1000);
    printf("%s", scope.received().c_str());
    exit(0);
  });
}

// The data file's sample lines, or "absent".
std::string rowsOf(const TempDir &dir) {
  FILE *file = fopen(dir.file("capture.dat").c_str(), "r");
  if (file == nullptr) {
    return "absent";
  }
  std::string rows;
  char line[256];
  while (fgets(line, sizeof line, file) != nullptr) {
    if (line[0] != '#') {
      rows += line;
    }
  }
  fclose(file);
  return rows;
}

const ScriptedReply NO_ECHO{""};

// Standard error as expected: %s stands for the device, %f for the file.
std::string expectedErr(std::string err, const std::string &device, const TempDir &dir) {
  for (size_t at = err.find("%s"); at != std::string::npos; at = err.find("%s")) {
    err.replace(at, 2, device);
  }
  for (size_t at = err.find("%f"); at != std::string::npos; at = err.find("%f")) {
    err.replace(at, 2, dir.file("capture.dat"));
  }
  return err;
}

// The child's report without the device's line, which goes to `device`.
std::string report(const ProcessResult &r, std::string &device) {
  size_t end = r.out.find('\n');
  device = r.out.substr(0, end);
  return end == std::string::npos ? "" : r.out.substr(end + 1);
}

} // namespace

TEST(Capture, EveryEndOfAnExchange) {
  const std::vector<ScriptedReply> signalNow{{"", "", 0, SIGTERM}};
  const std::string header =
      "*** Oszi ist nicht bereit: \n\t-> Speicherbetrieb\n\t-> Single Shot\n";
  struct Row {
    const char *name;
    ScopeRun run;
    std::string result; // "status rows channels samples" and the bytes
    std::string err;
    int rows; // sample lines in the file
  } rows[] = {
      {"one channel", {"-c 1", wellBehaved(), "1sd0e"}, "0 2 1,0 2,-1\n1sd0e", "", 2},
      {"two channels",
       {"--channels=2,1", wellBehaved(), "2sd1sd0e"},
       "0 2 2,1 2,2\n2sd1sd0e",
       "",
       2},
      {"refused second dump",
       {"--channels=1,2", with(wellBehaved(), 'd', {{"d0102\n"}, NO_ECHO}), "1sd2sd0e"},
       "0 -1 1,2 2,-1\n1sd2sd0e",
       "*** Fehler beim Auslesen ***\n",
       0},
      {"refused first dump of two",
       {"--channels=1,2", with(wellBehaved(), 'd', {NO_ECHO}), "1sd0e"},
       "0 -1 1,0 -1,-1\n1sd0e",
       "*** Fehler beim Auslesen ***\n",
       0},
      {"second status query unanswered",
       {"--channels=1,2", with(wellBehaved(), 's', {{"s01"}, NO_ECHO}), "1sd2s"},
       "1 0 1,0 2,-1\n1sd2s",
       "*** Error: Oszi not connected to '%s' or switched off ***\n"
       "*** Capture incomplete: 0 samples kept in '%f' ***\n",
       0},
      {"not ready with two channels",
       {"--channels=1,2", with(wellBehaved(), 's', {{"s21"}}), "1s0ed2s0ed0e"},
       "0 2 1,2 2,2\n1s0ed2s0ed0e",
       header + header,
       2},
      {"unequal dumps",
       {"--channels=1,2", with(wellBehaved(), 'd', {{"d010203\n"}, {"d0405\n"}}), "1sd2sd0e"},
       "0 2 1,2 3,2\n1sd2sd0e",
       "*** Warning: channel 1 sent 3 samples, channel 2 sent 2: 2 rows written ***\n",
       2},
      {"panel channel 2 for -c 0",
       {"-c 0", with(wellBehaved(), 's', {{"s00"}}), "0sd0e"},
       "0 2 2,0 2,-1\n0sd0e",
       "",
       2},
      // A stop signal while the capture waits for the scope, in place of the
      // reply or 20 ms after a dump's first samples: nothing more is sent.
      {"stop at the channel selection",
       {"-c 1", with(wellBehaved(), '1', signalNow), "1"},
       "143 0 0,0 -1,-1\n1",
       "*** Stopped by signal 15: nothing captured ***\n",
       0},
      {"stop at the status query",
       {"-c 1", with(wellBehaved(), 's', signalNow), "1s"},
       "143 0 0,0 -1,-1\n1s",
       "*** Stopped by signal 15: nothing captured ***\n",
       0},
      {"stop in the dump",
       {"-c 1", with(wellBehaved(), 'd', {{"d0102", "", 20000, SIGTERM}}), "1sd"},
       "143 2 1,0 2,-1\n1sd",
       "*** Stopped by signal 15: 2 samples kept in '%f' ***\n",
       2},
      {"stop between the dumps of two channels",
       {"--channels=1,2", with(wellBehaved(), '2', signalNow), "1sd2"},
       "143 0 1,0 2,-1\n1sd2",
       "*** Stopped by signal 15: 0 samples kept in '%f' ***\n",
       0},
      {"stop at the end of the exchange",
       {"-c 1", with(wellBehaved(), '0', signalNow), "1sd0"},
       "143 2 1,0 2,-1\n1sd0",
       "*** Stopped by signal 15: 2 samples kept in '%f' ***\n",
       2},
  };
  for (const Row &row : rows) {
    TempDir dir;
    ProcessResult r = capture(dir, row.run);
    std::string device;
    EXPECT_EQ(r.exitStatus, 0) << row.name;
    EXPECT_EQ(report(r, device), row.result) << row.name;
    EXPECT_EQ(r.err, expectedErr(row.err, device, dir)) << row.name;
    std::string data = rowsOf(dir);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), row.rows) << row.name << "\n" << data;
  }
}

// A scope that follows the echo of its channel with stray bytes in a second
// write, 0.5 ms later: a stale status that says "not ready". They must never
// be taken for the status. A run whose stray bytes a busy machine held back
// for more than 1 ms is no such case and is not counted.
TEST(Capture, StrayBytesAfterTheChannelEchoAreDrainedEveryTime) {
  const int wanted = 50;
  const int tries = 80;
  TempDir dir;
  ScopeRun run{"-c 1", with(wellBehaved(), '1', {{"1", "s21zz", 500}}), ""};
  for (int i = 0; i < tries; ++i) {
    run.bytes += "1sd0e";
  }
  ProcessResult r = capture(dir, run, tries, 1000);
  std::string device;
  std::string out = report(r, device);
  EXPECT_EQ(r.exitStatus, 0);
  int inTime = 0;
  size_t at = 0;
  for (int i = 0; i < tries; ++i) {
    size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << out;
    std::string line = out.substr(at, end - at);
    at = end + 1;
    if (line.ends_with(" late")) {
      continue;
    }
    ++inTime;
    EXPECT_EQ(line, "0 2 1,0 2,-1 1sd0e") << "capture " << i + 1;
  }
  EXPECT_GE(inTime, wanted);
  TempDir clean;
  capture(clean, {"-c 1", wellBehaved(), "1sd0e"});
  EXPECT_EQ(rowsOf(dir), rowsOf(clean));
  EXPECT_FALSE(rowsOf(clean).empty());
}
