// qelvo-plot on the data files the tool writes: one channel, two channels
// and CSV, drawn to PNG and SVG.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

const std::string PLOT = std::string(QELVO_SOURCE_DIR) + "/src/plot/qelvo-plot";

bool haveGnuplot() { return runProgram({"/bin/sh", "-c", "command -v gnuplot"}).exitStatus == 0; }

// Today's header up to the settings, then `settings`, the column header
// and a few periods of a triangle in every column.
std::string dataFile(const std::string &settings, const std::string &columns, int traces) {
  std::string text = "# Program: 'qelvo', Ver.0.2 (Built:Sep 14 2000/10:40:32)\n"
                     "#\twritten by the qelvo developers\n#\n"
                     "#  File created Tue Dec  8 16:48:41 2026\n"
                     "#  by root (uid: root)\n"
                     "#------------------------------------------------------\n"
                     "# Settings:\n" +
                     settings + "#\n# Time [s]\t\t" + columns +
                     "\n#--------------------------------------------------------\n";
  for (int i = 0; i < 200; ++i) {
    text += std::to_string(i * 1e-6);
    for (int trace = 1; trace <= traces; ++trace) {
      text += "\t" + std::to_string(trace * ((i % 50) - 25) * 0.1);
    }
    text += "\n";
  }
  return text;
}

std::string channelSettings(int channel, const std::string &gain, bool timeBase) {
  return "#  Y-Range: -1.0000000000e+00 div : 4.0000000000e+00 div\n"
         "#  Oscilloscope channel " +
         std::to_string(channel) + "\n" + (timeBase ? "#  Time base:\t200.000\xB5s/div\n" : "") +
         "#  Y-Gain:\t" + gain + "\n#  Y-Offset:\t0.000 div\n#  Probe:\t1:1.00\n";
}

std::string csvFile(const std::string &first, char separator, int traces) {
  std::string text = first + "\n";
  for (int i = 0; i < 200; ++i) {
    text += std::to_string(i * 1e-6);
    for (int trace = 1; trace <= traces; ++trace) {
      text += separator + std::to_string(trace * ((i % 40) - 20) * 0.05);
    }
    text += "\n";
  }
  return text;
}

// Width and height from a PNG's IHDR chunk; 0 x 0 when it is no PNG.
std::pair<unsigned, unsigned> pngSize(const std::string &png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
      png.compare(12, 4, "IHDR") != 0) {
    return {0, 0};
  }
  auto word = [&](size_t at) {
    unsigned value = 0;
    for (size_t i = 0; i < 4; ++i) {
      value = value << 8 | static_cast<unsigned char>(png[at + i]);
    }
    return value;
  };
  return {word(16), word(20)};
}

// Whether the elements of an XML text nest properly: every start tag closed
// in order, one root, nothing but the prolog, comments and blanks outside it.
bool wellFormedXml(const std::string &xml) {
  std::vector<std::string> open;
  int roots = 0;
  size_t at = 0;
  while ((at = xml.find('<', at)) != std::string::npos) {
    if (xml.compare(at, 4, "<!--") == 0 || xml.compare(at, 2, "<?") == 0 ||
        xml.compare(at, 2, "<!") == 0) {
      const char *end = xml.compare(at, 4, "<!--") == 0        ? "-->"
                        : xml.compare(at, 9, "<![CDATA[") == 0 ? "]]>"
                        : xml.compare(at, 2, "<?") == 0        ? "?>"
                                                               : ">";
      size_t close = xml.find(end, at);
      if (close == std::string::npos) {
        return false;
      }
      at = close + 1;
      continue;
    }
    // The tag's end, skipping ">" inside quoted attribute values.
    size_t close = at + 1;
    char quote = 0;
    for (; close < xml.size() && (quote != 0 || xml[close] != '>'); ++close) {
      if (quote == 0 && (xml[close] == '"' || xml[close] == '\'')) {
        quote = xml[close];
      } else if (xml[close] == quote) {
        quote = 0;
      }
    }
    if (close >= xml.size()) {
      return false;
    }
    std::string tag = xml.substr(at + 1, close - at - 1);
    std::string name =
        tag.substr(tag[0] == '/', tag.find_first_of(" \t\r\n/", 1) - (tag[0] == '/'));
    if (tag[0] == '/') {
      if (open.empty() || open.back() != name) {
        return false;
      }
      open.pop_back();
    } else if (tag.back() != '/') {
      roots += open.empty();
      open.push_back(name);
    } else {
      roots += open.empty();
    }
    at = close + 1;
  }
  return open.empty() && roots == 1;
}

size_t count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

} // namespace

TEST(Plot, DrawsEveryFormatToPngAndSvgWithATracePerChannel) {
  if (!haveGnuplot()) {
    GTEST_SKIP() << "gnuplot is not installed (scripts/ensure-deps installs it)";
  }
  TempDir dir;
  struct Row {
    std::string name;
    std::string content;
    int traces;
    std::string title;
  } rows[] = {
      {"one.dat", dataFile(channelSettings(1, "500.000mV/div", true), "Volts ", 1), 1,
       "CH1 500.000mV/div, 200.000\xC2\xB5s/div, Tue Dec  8 16:48:41 2026"},
      {"two.dat",
       dataFile(channelSettings(2, "500.000mV/div", true) + channelSettings(1, "2.000V/div", false),
                "Volts CH2\tVolts CH1", 2),
       2, "CH2 500.000mV/div, CH1 2.000V/div, 200.000\xC2\xB5s/div, Tue Dec  8 16:48:41 2026"},
      {"one.csv", csvFile("Time [s],CH1 [V]", ',', 1), 1, "one.csv"},
      {"two.csv", csvFile("Time [s];CH2 [V];CH1 [V]", ';', 2), 2, "two.csv"},
  };
  for (const Row &row : rows) {
    writeFile(dir.file(row.name), row.content);
    std::string svg = dir.file(row.name + ".svg");
    ProcessResult r = runProgram({PLOT, dir.file(row.name), svg});
    ASSERT_EQ(r.exitStatus, 0) << row.name << ": " << r.err;
    EXPECT_EQ(r.err, "") << row.name;
    std::string picture = readFile(svg);
    EXPECT_TRUE(wellFormedXml(picture)) << row.name;
    EXPECT_TRUE(contains(picture, "width=\"960\" height=\"540\"")) << row.name;
    EXPECT_EQ(count(picture, "id=\"gnuplot_plot_"), static_cast<size_t>(row.traces)) << row.name;
    EXPECT_TRUE(contains(picture, ">" + row.title + "</text>")) << row.name;
    for (const char *axis : {">Time [s]</text>", ">Voltage [V]</text>"}) {
      EXPECT_TRUE(contains(picture, axis)) << row.name << " " << axis;
    }
    for (int trace = 1; trace <= row.traces; ++trace) {
      EXPECT_TRUE(contains(picture, "<title>CH" + std::to_string(trace) + "</title>"))
          << row.name << ": the legend names channel " << trace;
    }

    ProcessResult png = runProgram({PLOT, dir.file(row.name)});
    ASSERT_EQ(png.exitStatus, 0) << row.name << ": " << png.err;
    std::string name = row.name.substr(0, row.name.rfind('.')) + ".png";
    EXPECT_EQ(pngSize(readFile(dir.file(name))), std::make_pair(960u, 540u)) << name;
  }
  EXPECT_FALSE(wellFormedXml("<svg><g></svg></g>")) << "the check itself can fail";
}

TEST(Plot, NamesItsPictureAndRefusesOtherSuffixes) {
  TempDir dir;
  writeFile(dir.file("capture"), dataFile(channelSettings(1, "1.000V/div", true), "Volts ", 1));
  ProcessResult r = runProgram({PLOT, dir.file("capture"), dir.file("capture.jpg")});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_EQ(r.err, "qelvo-plot: OUT must end in .png or .svg\n");
  // Without gnuplot on the PATH; the shell itself is named in full.
  r = runProgram({"/bin/sh", PLOT, dir.file("capture")}, {{"PATH=" + dir.file("none")}, ""});
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "qelvo-plot: gnuplot is not installed (apt-get install gnuplot-nox)\n");
  if (!haveGnuplot()) {
    GTEST_SKIP() << "gnuplot is not installed (scripts/ensure-deps installs it)";
  }
  std::filesystem::create_directories(dir.file("run.d"));
  std::filesystem::copy_file(dir.file("capture"), dir.file("run.d/capture"));
  ASSERT_EQ(runProgram({PLOT, dir.file("run.d/capture")}).exitStatus, 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("run.d/capture.png"))) << "x gives x.png";
  std::filesystem::copy_file(dir.file("capture"), dir.file("run.d/capture.1.dat"));
  ASSERT_EQ(runProgram({PLOT, dir.file("run.d/capture.1.dat")}).exitStatus, 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("run.d/capture.1.png"))) << "x.dat gives x.png";
}
