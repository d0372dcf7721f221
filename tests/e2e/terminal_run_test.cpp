// What a person at a terminal gets beyond a script's view: --help and
// --version, and the progress line while the scope streams its samples.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

const char BANNER[] =
    "qelvo: Ver:0.2(Built:Sep 14 2000/10:40:32)\n\twritten by the qelvo developers\n";
const char NOT_READY[] = "*** Oszi ist nicht bereit: \n\t-> Speicherbetrieb\n\t-> Single Shot\n";
const char PROGRESS_TEXT[] = " samples received, ";

// What a terminal shows after `bytes`: the finished lines, then the line the
// cursor is on. A carriage return goes back to the start of the line, and
// later characters overwrite what stands there.
std::vector<std::string> screenLines(const std::string &bytes) {
  std::vector<std::string> lines{""};
  size_t column = 0;
  for (char c : bytes) {
    std::string &line = lines.back();
    if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\r') {
      column = 0;
    } else {
      if (column < line.size()) {
        line[column] = c;
      } else {
        line.push_back(c);
      }
      ++column;
    }
  }
  return lines;
}

// The finished lines a terminal shows after `bytes`, each with its line
// feed; the line the cursor is on must be blank.
std::string screenText(const std::string &bytes) {
  std::vector<std::string> lines = screenLines(bytes);
  std::string text;
  size_t start = 0;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    size_t end = bytes.find('\n', start);
    // A line written over a blanked-out progress line keeps its blanks.
    bool rewritten = bytes.find('\r', start) < end;
    start = end + 1;
    text += (rewritten ? lines[i].substr(0, lines[i].find_last_not_of(' ') + 1) : lines[i]) + "\n";
  }
  EXPECT_EQ(lines.back().find_first_not_of(' '), std::string::npos)
      << "left on screen: '" << lines.back() << "'";
  return text;
}

size_t countOf(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

struct TerminalRun {
  ProcessResult result;
  std::string shown; // every byte written to the terminal
  double seconds = 0;
};

// Runs qelvo in `dir` with its standard error on a terminal.
TerminalRun runOnTerminal(const TempDir &dir, const std::vector<std::string> &args) {
  PtyPair terminal;
  std::vector<std::string> argv{QELVO_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = std::chrono::steady_clock::now();
  ProcessOptions options;
  options.env = {"QELVO"};
  options.cwd = dir.path();
  Child tool(argv, options, terminal.slavePath);
  TerminalRun run;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    run.result = tool.wait(30000);
    done = true;
  });
  // Keep reading, so that the tool never blocks on a full terminal.
  while (!done) {
    run.shown += readUntilQuiet(terminal.master, 20);
  }
  waiter.join();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.shown += readUntilQuiet(terminal.master, 50);
  return run;
}

} // namespace

TEST(TerminalRun, HelpAndVersionAnswerOnStandardOutputWithStatus0) {
  TempDir plain;
  ProcessResult failed = runQelvo(plain, {});
  ASSERT_EQ(failed.exitStatus, 4);
  const std::string help = withoutConfigWarning(failed.err);
  ASSERT_TRUE(contains(help, "Usage: qelvo -c <ch>"));

  // Neither waits for the configuration file: a broken one stops only runs.
  TempDir broken;
  writeFile(broken.file("qelvo.conf"), "Baudrate\n");
  ProcessResult r = runQelvo(broken, {"--help"});
  EXPECT_EQ(r.exitStatus, 0);
  // The text failed runs show on standard error, then the long options.
  const std::string usage = BANNER + help;
  EXPECT_EQ(r.out.substr(0, usage.size()), usage);
  EXPECT_TRUE(r.out.substr(usage.size()).starts_with("Long options:\n")) << r.out;
  EXPECT_EQ(r.err, "");

  r = runQelvo(broken, {"-c", "1", "--version", "out.dat"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, BANNER) << "the banner once";
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(broken.file("out.dat")));

  r = runQelvo(broken, {"out.dat"});
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.err, "*** Error: Config File (line 1) is invalid ***\n");
}

TEST(TerminalRun, ProgressLineIsShownDuringTheDumpAndBlankedAfterIt) {
  const std::vector<std::string> wave{"--samples", "600", "--wave1", "ramp", "--not-ready"};
  const std::vector<std::string> args{"-c", "1", "-b", "9600", "-s", "tty", "out.dat"};

  // Standard error in a file: exactly the messages, no trace of progress.
  TempDir quiet;
  VirtualScope quietScope(quiet, wave);
  ProcessResult plain = runQelvo(quiet, args);
  EXPECT_EQ(plain.exitStatus, 0) << plain.err;
  EXPECT_EQ(withoutConfigWarning(plain.err), NOT_READY);
  EXPECT_EQ(sampleLines(readFile(quiet.file("out.dat"))).size(), 600u);

  TempDir dir;
  VirtualScope scope(dir, wave);
  TerminalRun run = runOnTerminal(dir, args);
  EXPECT_EQ(run.result.exitStatus, 0) << run.shown;
  EXPECT_EQ(run.result.out, BANNER);
  EXPECT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), 600u);

  // 1201 characters at 9600 bit/s take 1.25 s: several updates, but never
  // more than ten a second.
  size_t updates = countOf(run.shown, PROGRESS_TEXT);
  EXPECT_GE(updates, 3u) << run.shown;
  EXPECT_LE(updates, static_cast<size_t>(run.seconds * 10) + 1) << run.seconds << " s";
  EXPECT_TRUE(contains(run.shown, "\rqelvo: ")) << run.shown;

  // The counts only grow and never pass what the scope sent.
  int last = 0;
  for (size_t at = run.shown.find("\rqelvo: "); at != std::string::npos;
       at = run.shown.find("\rqelvo: ", at + 1)) {
    int count = atoi(run.shown.c_str() + at + 8);
    EXPECT_GT(count, last);
    EXPECT_LE(count, 600);
    last = count;
  }

  // On screen: the messages of the file run, then where the samples went in
  // place of the progress line.
  EXPECT_EQ(withoutConfigWarning(screenText(run.shown)),
            std::string(NOT_READY) + "qelvo: 600 samples written to 'out.dat'\n");
}

TEST(TerminalRun, EmptyDumpStillSaysWhereItsSamplesWent) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "0", "--pace", "none"});
  TerminalRun run = runOnTerminal(dir, {"-c", "1", "-s", "tty", "out.dat"});
  EXPECT_EQ(run.result.exitStatus, 0) << run.shown;
  EXPECT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), 0u);
  EXPECT_EQ(withoutConfigWarning(screenText(run.shown)), "qelvo: 0 samples written to 'out.dat'\n");
}

TEST(TerminalRun, StopSignalIsReportedOnAFreshLine) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "2000", "--wave1", "ramp"});
  PtyPair terminal;
  ProcessOptions options;
  options.env = {"QELVO"};
  options.cwd = dir.path();
  Child tool({QELVO_BIN, "-c", "1", "-b", "9600", "-s", "tty", "out.dat"}, options,
             terminal.slavePath);
  std::string shown;
  // Stopped once the progress line is up.
  ASSERT_TRUE(waitFor(
      [&] {
        shown += readUntilQuiet(terminal.master, 10);
        return contains(shown, PROGRESS_TEXT);
      },
      10000));
  tool.kill(SIGINT);
  ProcessResult r = tool.wait(5000);
  shown += readUntilQuiet(terminal.master, 50);
  EXPECT_EQ(r.exitStatus, 128 + SIGINT);
  size_t kept = sampleLines(readFile(dir.file("out.dat"))).size();
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(withoutConfigWarning(screenText(shown)),
            "*** Stopped by signal 2: " + std::to_string(kept) +
                " samples kept in 'out.dat' ***\n");
}
