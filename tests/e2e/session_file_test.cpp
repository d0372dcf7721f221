// --format=sr against the virtual scope: the zip read back holds the text
// file's volts as float32, every end leaves a whole zip or none, and a series
// never replaces a file that took its name meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

struct Entry {
  std::string name;
  std::string data;
};

// The entries of the zip at `path` in their order; none when it opens not.
std::vector<Entry> zipEntries(const std::string &path) {
  int error = 0;
  zip_t *archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
  std::vector<Entry> entries;
  for (zip_int64_t i = 0; archive != nullptr && i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t info;
    zip_file_t *file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &info) != 0 || file == nullptr) {
      break;
    }
    std::string data(static_cast<size_t>(info.size), '\0');
    zip_int64_t got = zip_fread(file, data.data(), data.size());
    zip_fclose(file);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    entries.push_back({info.name, data});
  }
  if (archive != nullptr) {
    zip_discard(archive);
  }
  return entries;
}

std::vector<std::string> namesOf(const std::vector<Entry> &entries) {
  std::vector<std::string> names;
  for (const Entry &entry : entries) {
    names.push_back(entry.name);
  }
  return names;
}

// The volts of each column of a TSV file's sample rows.
std::vector<std::vector<double>> tsvColumns(const std::string &text) {
  std::vector<std::vector<double>> columns;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream fields(line);
    std::string field;
    std::getline(fields, field, '\t'); // the time
    for (size_t k = 0; std::getline(fields, field, '\t'); ++k) {
      columns.resize(std::max(columns.size(), k + 1));
      columns[k].push_back(std::stod(field));
    }
  }
  return columns;
}

// Each float is the one nearest the text file's value, within one step.
void expectFloatsOf(const std::string &bytes, const std::vector<double> &volts,
                    const std::string &what) {
  ASSERT_EQ(bytes.size(), volts.size() * 4) << what;
  for (size_t i = 0; i < volts.size(); ++i) {
    uint32_t bits = 0;
    for (int b = 3; b >= 0; --b) {
      bits = bits << 8 | static_cast<unsigned char>(bytes[i * 4 + static_cast<size_t>(b)]);
    }
    float value;
    memcpy(&value, &bits, sizeof value);
    float nearest = static_cast<float>(volts[i]);
    ASSERT_TRUE(value == nearest || value == std::nextafter(nearest, value))
        << what << " sample " << i << ": " << value << " for " << volts[i];
  }
}

// The whole session file of a capture whose text file is `tsv`.
void expectSessionOf(const std::string &path, const std::string &tsv,
                     const std::string &deviceLines, const std::string &what) {
  std::vector<std::vector<double>> columns = tsvColumns(tsv);
  std::vector<std::string> names{"version", "metadata"};
  for (size_t k = 0; k < columns.size(); ++k) {
    names.push_back("analog-1-" + std::to_string(k + 1) + "-1");
  }
  std::vector<Entry> entries = zipEntries(path);
  ASSERT_EQ(namesOf(entries), names) << what;
  EXPECT_EQ(entries[0].data, "2") << what;
  EXPECT_EQ(entries[1].data.rfind("[global]\nsigrok version=0.5.2\n\n[device 1]\n" + deviceLines +
                                      "qelvo_program=qelvo, Ver.0.2 ",
                                  0),
            0u)
      << what << ":\n"
      << entries[1].data;
  for (size_t k = 0; k < columns.size(); ++k) {
    expectFloatsOf(entries[k + 2].data, columns[k], what + " column " + std::to_string(k + 1));
  }
}

// Names in `dir` that begin with a dot: a temporary file left behind.
std::vector<std::string> hiddenFiles(const std::string &dir) {
  std::vector<std::string> hidden;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename();
    if (name[0] == '.') {
      hidden.push_back(name);
    }
  }
  return hidden;
}

std::string notConnected(const std::string &device) {
  return "*** Error: Oszi not connected to '" + device + "' or switched off ***\n";
}

} // namespace

TEST(SessionFile, HoldsTheTextFilesVoltsForOneAndTwoChannels) {
  const struct {
    const char *name;
    std::vector<std::string> options;
    std::string deviceLines;
    std::string warning;
  } ROWS[] = {
      {"one channel",
       {"-c", "1", "-t", "1m", "-y", "500m", "-p", "10"},
       "samplerate=99200 Hz\ntotal analog=1\nanalog1=CH1\n",
       ""},
      {"two channels in swapped order",
       {"--channels=2,1", "-t", "20u", "--gain=2,0.05", "--probe=1,10", "--offset=0.5,-1"},
       "samplerate=4960000 Hz\ntotal analog=2\nanalog1=CH2\nanalog2=CH1\n",
       ""},
      {"a rate rounded by 0.2 %",
       {"-c", "2", "-t", "1"},
       "samplerate=99 Hz\ntotal analog=1\nanalog1=CH2\n",
       "*** Warning: the session file's sample rate 99 Hz is 0.20 % off the capture's ***\n"},
  };
  for (const auto &row : ROWS) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    VirtualScope scope(dir, {"--samples", "700", "--pace", "none", "--wave2", "noise"});
    std::vector<std::string> text = row.options;
    text.insert(text.end(), {"-s", "tty", "out.dat"});
    ProcessResult r = runQelvo(dir, text);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    ASSERT_EQ(sampleLines(readFile(dir.file("out.dat"))).size(), 700u) << r.err;
    std::vector<std::string> session = row.options;
    session.insert(session.end(), {"-s", "tty", "--format=sr", "out.sr"});
    r = runQelvo(dir, session);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(withoutConfigWarning(r.err), row.warning);
    expectSessionOf(dir.file("out.sr"), readFile(dir.file("out.dat")), row.deviceLines, row.name);
    EXPECT_TRUE(hiddenFiles(dir.path()).empty());
  }
}

TEST(SessionFile, EveryEndLeavesAWholeZipOrTheEarlierFile) {
  const std::string EARLIER = "earlier";
  const struct {
    const char *name;
    std::vector<std::string> scope;
    std::string shell; // run qelvo through `sh -c` with this before it
    int stopAfterMs;   // SIGINT this long after the start; 0 for none
    int status;
    std::string err; // which messages: spelled out below
    // In the zip; -1 for the earlier file, kept as it was; -2 for those the
    // message names, some at least (a hang-up may take the last in flight).
    int samples;
  } ROWS[] = {
      {"a capture replaces it", {"--samples", "300"}, "", 0, 0, "", 300},
      {"no samples keep it", {"--samples", "0"}, "", 0, 0, "", -1},
      {"a silent scope keeps it", {"--fault", "silent"}, "", 0, 1, "notConnected", -1},
      {"a lost line after samples", {"--fault", "die=40"}, "", 0, 1, "lost", -2},
      {"a stop signal after samples", {"--fault", "endless"}, "", 700, 130, "stopped", -2},
      {"a write failure keeps it",
       {"--samples", "300", "--wave1", "noise"},
       "ulimit -f 1 && ",
       0,
       6,
       "full",
       -1},
  };
  for (const auto &row : ROWS) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    VirtualScope scope(dir, row.scope);
    writeFile(dir.file("out.sr"), EARLIER);
    chmod(dir.file("out.sr").c_str(), 0640);
    std::vector<std::string> argv{QELVO_BIN, "-c",           "1",           "-t",    "1m",
                                  "-s",      scope.device(), "--format=sr", "out.sr"};
    if (!row.shell.empty()) {
      argv.insert(argv.begin(), {"/bin/sh", "-c", row.shell + "exec \"$0\" \"$@\""});
    }
    Child tool(argv, {{"QELVO"}, dir.path()});
    if (row.stopAfterMs > 0) {
      usleep(static_cast<useconds_t>(row.stopAfterMs) * 1000);
      tool.kill(SIGINT);
    }
    ProcessResult r = tool.wait(10000);
    EXPECT_EQ(r.exitStatus, row.status) << r.err;
    std::vector<Entry> entries = zipEntries(dir.file("out.sr"));
    int floats = entries.size() == 3 ? static_cast<int>(entries[2].data.size() / 4) : -1;
    std::string err = withoutConfigWarning(r.err);
    if (row.err == "notConnected") {
      EXPECT_EQ(err, notConnected(scope.device()));
    } else if (row.err == "lost") {
      EXPECT_GT(floats, 0);
      EXPECT_EQ(err, notConnected(scope.device()) + incomplete(floats, "out.sr"));
    } else if (row.err == "stopped") {
      EXPECT_GT(floats, 0);
      EXPECT_EQ(err, "*** Stopped by signal 2: " + std::to_string(floats) +
                         " samples kept in 'out.sr' ***\n");
    } else if (row.err == "full") {
      EXPECT_EQ(err, "*** Error: Cannot write output file 'out.sr' ***\nqelvo: File too large\n" +
                         incomplete(0, "out.sr"));
    } else {
      EXPECT_EQ(err, "");
    }
    if (row.samples == -1) {
      EXPECT_EQ(readFile(dir.file("out.sr")), EARLIER);
    } else if (row.samples >= 0) {
      EXPECT_EQ(floats, row.samples);
    }
    struct stat node {};
    EXPECT_EQ(stat(dir.file("out.sr").c_str(), &node), 0);
    EXPECT_EQ(node.st_mode & 07777, 0640u) << "the earlier file's permissions";
    EXPECT_TRUE(hiddenFiles(dir.path()).empty());
  }
}

TEST(SessionFile, SeriesTakesTheNextNumberWhenItsNameIsTakenMeanwhile) {
  TempDir dir;
  // Each dump takes about half a second: time to take the name of capture 2.
  VirtualScope scope(dir, {"--samples", "600"});
  Child series(
      {QELVO_BIN, "-s", "tty", "--channels=1,2", "--count=3", "--format=sr", "-t", "1m", "run.sr"},
      {{"QELVO"}, dir.path()});
  ASSERT_TRUE(waitFor(
      [&] {
        return std::filesystem::exists(dir.file("run-0001.sr")) && !hiddenFiles(dir.path()).empty();
      },
      10000));
  writeFile(dir.file("run-0002.sr"), "someone else's");
  ProcessResult r = series.wait(20000);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(withoutConfigWarning(r.err),
            "qelvo: capture 1: 600 samples written to 'run-0001.sr'\n"
            "qelvo: capture 3: 600 samples written to 'run-0003.sr'\n"
            "qelvo: capture 4: 600 samples written to 'run-0004.sr'\n");
  EXPECT_EQ(readFile(dir.file("run-0002.sr")), "someone else's");
  ProcessResult text = runQelvo(dir, {"-s", "tty", "--channels=1,2", "-t", "1m", "run.dat"});
  ASSERT_EQ(text.exitStatus, 0) << text.err;
  for (const char *name : {"run-0001.sr", "run-0003.sr", "run-0004.sr"}) {
    expectSessionOf(dir.file(name), readFile(dir.file("run.dat")),
                    "samplerate=99200 Hz\ntotal analog=2\nanalog1=CH1\nanalog2=CH2\n", name);
  }
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}
