// Both channels in one file, a CSV, data on standard output and the numbers
// of a lab report, each against the virtual scope's own record.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

std::vector<std::vector<std::string>> rowsOf(const std::string &text, char separator,
                                             bool comments) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (comments && line.starts_with("#")) {
      continue;
    }
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, separator);) {
      fields.push_back(field);
    }
    rows.push_back(fields);
  }
  return rows;
}

const std::vector<std::string> TWO_WAVES{"--wave1", "ramp",       "--wave2", "noise",      "--pace",
                                         "none",    "--samples1", "300",     "--samples2", "300"};

} // namespace

// Each column's header lines and samples follow its own scale; with one
// channel the lists' values are the plain scale that the header and the
// samples read.
TEST(Channels, OneChannelOrBothInEitherOrderWithTheirOwnScale) {
  struct Column {
    int channel;
    double voltsPerDiv, probe, yZero;
    const char *scale; // the header's lines from "Y-Gain:" to "Probe:"
  };
  struct Row {
    std::vector<std::string> args;
    std::string received;
    std::vector<Column> columns;
    std::string names; // of the columns after "# Time [s]\t\t"
  } rows[] = {
      {{"--channels=1,2", "--gain=2,500m", "--probe=10,1"},
       "1sd2sd0e",
       {{1, 2, 10, 0, "Y-Gain:\t2.000V/div\n#  Y-Offset:\t0.000 div\n#  Probe:\t1:10.00\n"},
        {2, 0.5, 1, 0, "Y-Gain:\t500.000mV/div\n#  Y-Offset:\t0.000 div\n#  Probe:\t1:1.00\n"}},
       "Volts CH1\tVolts CH2"},
      {{"--channels=2,1", "--gain=2,500m", "--probe=10,1", "--offset=-1,0.5"},
       "2sd1sd0e",
       {{2, 2, 10, -1, "Y-Gain:\t2.000V/div\n#  Y-Offset:\t-1.000 div\n#  Probe:\t1:10.00\n"},
        {1, 0.5, 1, 0.5, "Y-Gain:\t500.000mV/div\n#  Y-Offset:\t0.500 div\n#  Probe:\t1:1.00\n"}},
       "Volts CH2\tVolts CH1"},
      {{"-c", "1", "--probe=10", "--offset=0.5"},
       "1sd0e",
       {{1, 1, 10, 0.5, "Y-Gain:\t1.000V/div\n#  Y-Offset:\t0.500 div\n#  Probe:\t1:10.00\n"}},
       "Volts "},
      {{"--channels=2", "-y", "500m", "--probe=100", "--offset=-1.5"},
       "2sd0e",
       {{2, 0.5, 100, -1.5,
         "Y-Gain:\t500.000mV/div\n#  Y-Offset:\t-1.500 div\n#  Probe:\t1:100.00\n"}},
       "Volts "},
  };
  for (const Row &row : rows) {
    std::vector<std::string> args{"-s", "tty"};
    std::string trace;
    for (const std::string &arg : row.args) {
      args.push_back(arg);
      trace += arg + " ";
    }
    SCOPED_TRACE(trace);
    TempDir dir;
    VirtualScope scope(dir, TWO_WAVES);
    args.push_back("out.dat");
    ProcessResult r = runQelvo(dir, args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(scope.received(row.received.size()), row.received);
    std::string data = readFile(dir.file("out.dat"));
    size_t count = row.columns.size();
    for (size_t k = 0; k < count; ++k) {
      const Column &column = row.columns[k];
      std::string block =
          "#  Oscilloscope channel " + std::to_string(column.channel) + "\n" +
          (k == 0 ? "#  Time base:\t1.000s/div\n" : "") + "#  " + column.scale +
          (k + 1 < count ? "#  Y-Range: " : "#\n# Time [s]\t\t" + row.names + "\n#---");
      EXPECT_TRUE(contains(data, block))
          << block << "\nnot in\n"
          << data.substr(0, data.find("\n#---", data.find("# Settings:")));
    }
    // No assertion ends the test here: the later rows still run.
    auto lines = rowsOf(data, '\t', true);
    EXPECT_EQ(lines.size(), 300u);
    std::vector<std::vector<int>> raws(count);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].size() != count + 1) {
        ADD_FAILURE() << "line " << i << " has " << lines[i].size() << " fields";
        break;
      }
      EXPECT_NEAR(std::stod(lines[i][0]), static_cast<double>(i) / 99.2, 1e-9) << i;
      for (size_t k = 0; k < count; ++k) {
        const Column &column = row.columns[k];
        raws[k].push_back(
            rawOf(lines[i][k + 1], column.channel, column.voltsPerDiv, column.probe, column.yZero));
      }
    }
    for (size_t k = 0; k < count; ++k) {
      EXPECT_EQ(raws[k], VirtualScope::waveform(TWO_WAVES, row.columns[k].channel))
          << "column " << k + 1;
    }
  }
}

TEST(Channels, OneChannelListGivesTheFileOfDashCAndUnequalDumpsTheShorterLength) {
  TempDir dir;
  std::vector<std::string> unequal = TWO_WAVES;
  unequal[9] = "200"; // --samples2
  VirtualScope scope(dir, unequal);
  ASSERT_EQ(runQelvo(dir, {"-s", "tty", "-c", "2", "-y", "2", "c.dat"}).exitStatus, 0);
  ASSERT_EQ(runQelvo(dir, {"-s", "tty", "-c", "1", "--channels=2", "--gain=2", "l.dat"}).exitStatus,
            0);
  EXPECT_EQ(withoutCreationTime(readFile(dir.file("l.dat"))),
            withoutCreationTime(readFile(dir.file("c.dat"))));

  ProcessResult r = runQelvo(dir, {"-s", "tty", "--channels=1,2", "out.dat"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(withoutConfigWarning(r.err),
            "*** Warning: channel 1 sent 300 samples, channel 2 sent 200: 200 rows written ***\n");
  auto rows = rowsOf(readFile(dir.file("out.dat")), '\t', true);
  ASSERT_EQ(rows.size(), 200u);
  std::vector<int> second = VirtualScope::waveform(unequal, 2);
  EXPECT_EQ(rawOf(rows[199][2], 2), second[199]);
}

// The scope goes away during the second dump: the rows that came stay, and
// the run says what it kept.
TEST(Channels, AHangUpInTheSecondDumpKeepsTheRowsThatCame) {
  TempDir dir;
  std::vector<std::string> dying = TWO_WAVES;
  dying.insert(dying.end(), {"--fault", "die-in-capture=1:400"});
  VirtualScope scope(dir, dying);
  ProcessResult r = runQelvo(dir, {"-s", "tty", "--channels=1,2", "out.dat"});
  EXPECT_EQ(r.exitStatus, 1);
  auto rows = rowsOf(readFile(dir.file("out.dat")), '\t', true);
  ASSERT_LE(rows.size(), 100u);
  EXPECT_EQ(withoutConfigWarning(r.err),
            "*** Error: Oszi not connected to 'tty' or switched off ***\n" +
                incomplete(static_cast<int>(rows.size()), "out.dat"));
  std::vector<int> second = VirtualScope::waveform(TWO_WAVES, 2);
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 3u) << i;
    EXPECT_EQ(rawOf(rows[i][2], 2), second[i]) << i;
  }
}

// The scope sends the first channel's dump and refuses the second: the run
// ends as a refused dump does, with the header alone (a CSV stays empty) and
// status 0; the first channel's samples make no rows on their own.
TEST(Channels, ARefusedSecondDumpLeavesTheHeaderAlone) {
  TempDir dir;
  std::vector<std::string> refusing = TWO_WAVES;
  refusing.insert(refusing.end(), {"--fault", "no-echo=d2"});
  VirtualScope scope(dir, refusing);
  std::string sent;
  for (const char *name : {"out.dat", "out.csv"}) {
    SCOPED_TRACE(name);
    bool csv = std::string(name).ends_with(".csv");
    ProcessResult r =
        runQelvo(dir, {"-s", "tty", "--channels=1,2", csv ? "--format=csv" : "--format=tsv", name});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(withoutConfigWarning(r.err), "*** Fehler beim Auslesen ***\n");
    sent += "1sd2sd0e";
    EXPECT_EQ(scope.received(sent.size()), sent);
    std::string data = readFile(dir.file(name));
    if (csv) {
      EXPECT_EQ(data, "");
      continue;
    }
    EXPECT_TRUE(contains(data, "#  Oscilloscope channel 2\n")) << data;
    EXPECT_TRUE(data.ends_with("#  Probe:\t1:1.00\n#\n")) << data;
    EXPECT_TRUE(sampleLines(data).empty()) << data;
  }
}

// A spreadsheet, Octave or pandas opens it without options: Python's csv
// module stands in for them.
TEST(Csv, HoldsColumnNamesAndRowsOnlyWithEitherSeparator) {
  if (runProgram({"/bin/sh", "-c", "command -v python3"}).exitStatus != 0) {
    GTEST_SKIP() << "python3 is not installed";
  }
  for (const char *separator : {",", ";"}) {
    SCOPED_TRACE(separator);
    TempDir dir;
    VirtualScope scope(dir, TWO_WAVES);
    ProcessResult r = runQelvo(dir, {"-s", "tty", "--channels=2,1", "--format=csv",
                                     std::string("--separator=") + separator, "out.csv"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::string data = readFile(dir.file("out.csv"));
    EXPECT_EQ(data.find('#'), std::string::npos);
    for (unsigned char c : data) {
      ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << static_cast<int>(c);
    }
    std::string script =
        "import csv,sys\n"
        "rows = list(csv.reader(open(sys.argv[1], newline=''), delimiter=sys.argv[2]))\n"
        "print(len(rows), rows[0], float(rows[300][0].replace(',', '.')) > 3,\n"
        "      len(set(map(len, rows))))\n";
    ProcessResult py = runProgram(
        {"/bin/sh", "-c", "exec python3 -c \"$0\" \"$@\"", script, dir.file("out.csv"), separator});
    EXPECT_EQ(py.out, "301 ['Time [s]', 'CH2 [V]', 'CH1 [V]'] True 1\n") << py.err;
    // Every number of the ';' file has a decimal comma where the ',' file
    // has its point.
    auto rows = rowsOf(data, separator[0], false);
    char point = separator[0] == ';' ? ',' : '.';
    for (size_t i = 1; i < rows.size(); ++i) {
      for (std::string &field : rows[i]) {
        ASSERT_EQ(field.find_first_of(".,"), 1 + (field[0] == '-')) << i << ": " << field;
        ASSERT_EQ(field[field.find_first_of(".,")], point) << i << ": " << field;
        field[field.find(point)] = '.';
      }
    }
    EXPECT_EQ(rawOf(rows[1][1], 2), VirtualScope::waveform(TWO_WAVES, 2)[0]);
    EXPECT_EQ(rawOf(rows[300][2], 1), VirtualScope::waveform(TWO_WAVES, 1)[299]);
  }
}

TEST(StandardOutput, CarriesTheDataAloneAndAReaderGoingAwayFailsTheWrite) {
  TempDir dir;
  VirtualScope scope(dir, {"--samples", "300", "--pace", "none"});
  ProcessResult r = runQelvo(dir, {"-s", "tty", "-c", "1", "--measure", "-"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out.rfind("# Program: 'qelvo', ", 0), 0u) << r.out;
  EXPECT_EQ(rawSamples(r.out, 1), VirtualScope::waveform({"--samples", "300"}, 1));
  EXPECT_EQ(withoutConfigWarning(r.err).rfind("qelvo: Ver:0.2", 0), 0u) << r.err;
  EXPECT_TRUE(contains(r.err, "qelvo: channel 1: 300 samples; min ")) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("-")));

  // The reader takes the header and goes: the write fails, the exchange is
  // still finished and the line restored.
  TempDir slow;
  VirtualScope slowScope(slow, {"--samples", "3000"});
  LineProbe probe(slowScope.device());
  ProcessOptions options;
  options.env = {"QELVO"};
  options.cwd = slow.path();
  r = runProgram({"/bin/bash", "-c", "\"$@\" | head -c 600 >/dev/null; echo \"${PIPESTATUS[0]}\"",
                  "sh", QELVO_BIN, "-b", "19200", "-s", "tty", "-c", "1", "-"},
                 options);
  EXPECT_EQ(r.out, "6\n") << r.err;
  EXPECT_TRUE(contains(r.err, "*** Error: Cannot write output file '-' ***\n")) << r.err;
  EXPECT_EQ(slowScope.received(5), "1sd0e");
  probe.expectRestored("reader gone");
}

TEST(Measure, FrequencyAndDutyOfTheScopesWaveforms) {
  struct Case {
    std::vector<std::string> wave;
    double frequency; // 0: not measurable
    double duty;
  } cases[] = {
      {{"--wave1", "sine", "--cycles", "4"}, 396.8, 50},
      {{"--wave1", "square", "--cycles", "7", "--duty", "25"}, 694.4, 25},
      {{"--wave1", "sine", "--cycles", "1.5"}, 0, 0},
  };
  for (const Case &c : cases) {
    TempDir dir;
    std::vector<std::string> options = c.wave;
    options.insert(options.end(), {"--samples", "1000", "--pace", "none"});
    VirtualScope scope(dir, options);
    ProcessResult r = runQelvo(dir, {"-s", "tty", "-c", "1", "-t", "1m", "--measure", "out.dat"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    SCOPED_TRACE(r.out);
    ASSERT_TRUE(r.out.starts_with("qelvo: Ver:0.2"));
    size_t line = r.out.find("qelvo: channel 1: 1000 samples; min ");
    ASSERT_NE(line, std::string::npos);
    std::string report = r.out.substr(line);
    if (c.frequency == 0) {
      EXPECT_TRUE(report.ends_with("; frequency n/a; period n/a; duty n/a\n"));
      continue;
    }
    double hz = 0, duty = 0;
    ASSERT_EQ(sscanf(report.substr(report.find("; frequency ")).c_str(), "; frequency %lfHz", &hz),
              1);
    ASSERT_EQ(sscanf(report.substr(report.find("; duty ")).c_str(), "; duty %lf%%", &duty), 1);
    EXPECT_NEAR(hz, c.frequency, c.frequency * 0.005);
    EXPECT_NEAR(duty, c.duty, 1.0);
  }
}

TEST(Channels, NewSettingsProblemsAreReportedWithTheOthers) {
  TempDir dir;
  VirtualScope scope(dir, {"--pace", "none"});
  struct Row {
    std::vector<std::string> args;
    std::string problems;
  } rows[] = {
      {{"--channels=3"}, "Invalid channel list (3): use 1, 2, 1,2 or 2,1\n"},
      {{"--channels=1,2", "--gain=1,2,3", "--probe=0.5,2"},
       "Invalid list (1,2,3): one value, or one per channel\n"
       "Invalid ProbeFactor 1:5.000000e-01\n"},
      {{"--channels=2,1", "--gain=0,-1", "--offset=1,2"},
       "Invalid Y-gain (0)\nInvalid Volts/div (-1.000000e+00)\n"},
      {{"--offset=1,2", "--format=xls", "--separator=;"},
       "Invalid list (1,2): one value, or one per channel\n"
       "Invalid format (xls): use tsv, csv or sr\n"
       "Invalid separator (;): use , or ; with --format=csv\n"},
      {{"--format=csv", "--separator=:", "--flow=x"},
       "Invalid separator (:): use , or ; with --format=csv\n"
       "Invalid flow control (x): use none or rtscts\n"},
  };
  for (const Row &row : rows) {
    std::vector<std::string> args{"-s", "tty"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back("out.dat");
    ProcessResult r = runQelvo(dir, args);
    EXPECT_EQ(r.exitStatus, 3) << row.problems;
    EXPECT_EQ(beforeHelp(r), row.problems);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
  }
}
