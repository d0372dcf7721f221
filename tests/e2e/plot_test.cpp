// qelvo-plot on data files the tool itself wrote from the virtual scope: one
// channel, two channels in either order and CSV, drawn to PNG and SVG.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

// The copy the build leaves beside the other programs.
const std::string PLOT = std::string(QELVO_BUILD_DIR) + "/qelvo-plot";

bool haveGnuplot() { return runProgram({"/bin/sh", "-c", "command -v gnuplot"}).exitStatus == 0; }

// Records that no scaling maps onto each other, so a trace drawn from the
// wrong column cannot pass for the right one.
const std::vector<std::string> WAVES{"--wave1", "ramp", "--wave2",   "noise",
                                     "--pace",  "none", "--samples", "300"};

// The creation time as the header gives it.
std::string createdIn(const std::string &data) {
  const std::string label = "#  File created ";
  size_t at = data.find(label);
  return at == std::string::npos
             ? ""
             : data.substr(at + label.size(), data.find('\n', at) - at - label.size());
}

// The numbers of every sample row, whatever the format; the ';' CSV's have
// a decimal comma.
std::vector<std::vector<double>> sampleRows(const std::string &data, char separator) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(data);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("#") || line.starts_with("Time [s]")) {
      continue;
    }
    std::vector<double> row;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, separator);) {
      if (separator == ';') {
        std::replace(field.begin(), field.end(), ',', '.');
      }
      row.push_back(std::stod(field));
    }
    rows.push_back(row);
  }
  return rows;
}

// The points of trace `trace` (from 1) in gnuplot's SVG: its first path,
// without the short stroke of its legend entry.
std::vector<std::pair<double, double>> tracePoints(const std::string &svg, int trace) {
  std::vector<std::pair<double, double>> points;
  size_t group = svg.find("id=\"gnuplot_plot_" + std::to_string(trace) + "\"");
  size_t path = group == std::string::npos ? group : svg.find(" d='", group);
  if (path == std::string::npos) {
    return points;
  }
  std::istringstream steps(svg.substr(path + 4, svg.find('\'', path + 4) - path - 4));
  int moves = 0;
  for (std::string step; steps >> step;) {
    moves += step[0] == 'M';
    double x = 0;
    double y = 0;
    if (moves >= 2 && sscanf(step.c_str() + 1, "%lf,%lf", &x, &y) == 2) {
      points.emplace_back(x, y);
    }
  }
  return points;
}

// Whether `pixels` are the image of `values` under one linear map, within
// the SVG's rounding of coordinates to hundredths.
bool linearImage(const std::vector<double> &values, const std::vector<double> &pixels) {
  if (values.size() != pixels.size() || values.size() < 2) {
    return false;
  }
  auto low = std::min_element(values.begin(), values.end()) - values.begin();
  auto high = std::max_element(values.begin(), values.end()) - values.begin();
  if (values[high] == values[low]) {
    return false;
  }
  double scale = (pixels[high] - pixels[low]) / (values[high] - values[low]);
  for (size_t i = 0; i < values.size(); ++i) {
    if (std::fabs(pixels[low] + (values[i] - values[low]) * scale - pixels[i]) > 0.03) {
      return false;
    }
  }
  return true;
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

TEST(Plot, DrawsTheToolsFilesToPngAndSvgWithATracePerChannel) {
  if (!haveGnuplot()) {
    GTEST_SKIP() << "gnuplot is not installed (scripts/ensure-deps installs it)";
  }
  TempDir dir;
  VirtualScope scope(dir, WAVES);
  struct Row {
    std::string name;
    std::vector<std::string> options;
    char separator;
    std::vector<int> channels; // in column order
    std::string title;         // before the creation time; a CSV's is its name
    std::string axis;          // the time axis's unit, from the capture's span
    std::string tick;          // the last time tick, in that unit
  } rows[] = {
      {"one.dat",
       {"-c", "0", "-t", "100u", "-y", "2"},
       '\t',
       {1},
       "CH1 2.000V/div, 100.000\xC2\xB5s/div, ",
       "\xC2\xB5s",
       "300"},
      {"two.dat",
       {"--channels=1,2", "-t", "200u", "--gain=2,500m", "--probe=1,10"},
       '\t',
       {1, 2},
       "CH1 2.000V/div, CH2 500.000mV/div, 200.000\xC2\xB5s/div, ",
       "\xC2\xB5s",
       "600"},
      {"swapped.dat",
       {"--channels=2,1", "-t", "1m", "--gain=500m,2"},
       '\t',
       {2, 1},
       "CH2 500.000mV/div, CH1 2.000V/div, 1.000ms/div, ",
       "ms",
       "3"},
      {"one.csv", {"-c", "2", "-t", "10n", "--format=csv"}, ',', {2}, "one.csv", "ns", "30"},
      {"two.csv",
       {"--channels=2,1", "-t", "20m", "--format=csv"},
       ',',
       {2, 1},
       "two.csv",
       "ms",
       "60"},
      {"semi.csv",
       {"--channels=1,2", "--format=csv", "--separator=;"},
       ';',
       {1, 2},
       "semi.csv",
       "s",
       "3"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args{"-s", "tty"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(row.name);
    ProcessResult capture = runQelvo(dir, args);
    ASSERT_EQ(capture.exitStatus, 0) << capture.err;
    std::string data = readFile(dir.file(row.name));
    std::vector<std::vector<double>> samples = sampleRows(data, row.separator);
    ASSERT_EQ(samples.size(), 300u) << data;

    std::string svg = dir.file(row.name + ".svg");
    ProcessResult r = runProgram({PLOT, dir.file(row.name), svg});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string picture = readFile(svg);
    EXPECT_TRUE(wellFormedXml(picture));
    EXPECT_TRUE(contains(picture, "width=\"960\" height=\"540\""));
    std::string title = row.separator == '\t' ? row.title + createdIn(data) : row.title;
    EXPECT_TRUE(contains(picture, ">" + title + "</text>")) << title;
    for (std::string axis : {">t [" + row.axis + "]</text>", std::string(">Voltage [V]</text>")}) {
      EXPECT_TRUE(contains(picture, axis)) << axis;
    }
    // The voltage ticks are padded with a blank, the time ticks are not.
    EXPECT_TRUE(contains(picture, ">" + row.tick + "</tspan>")) << "tick " << row.tick;
    EXPECT_EQ(count(picture, "id=\"gnuplot_plot_"), row.channels.size());
    for (size_t k = 0; k < row.channels.size(); ++k) {
      SCOPED_TRACE("trace " + std::to_string(k + 1));
      int trace = static_cast<int>(k + 1);
      EXPECT_TRUE(contains(picture, "id=\"gnuplot_plot_" + std::to_string(trace) + "\" ><title>CH" +
                                        std::to_string(row.channels[k]) + "</title>"))
          << "the legend names the column's channel";
      // Every row, each at its time and the column's voltage.
      std::vector<std::pair<double, double>> points = tracePoints(picture, trace);
      ASSERT_EQ(points.size(), samples.size());
      std::vector<double> times, volts, xs, ys;
      for (size_t i = 0; i < samples.size(); ++i) {
        times.push_back(samples[i][0]);
        volts.push_back(samples[i][k + 1]);
        xs.push_back(points[i].first);
        ys.push_back(points[i].second);
      }
      EXPECT_TRUE(linearImage(times, xs));
      EXPECT_TRUE(linearImage(volts, ys));
    }

    ProcessResult png = runProgram({PLOT, dir.file(row.name)});
    ASSERT_EQ(png.exitStatus, 0) << png.err;
    std::string name = row.name.substr(0, row.name.rfind('.')) + ".png";
    EXPECT_EQ(pngSize(readFile(dir.file(name))), std::make_pair(960u, 540u)) << name;
  }
  EXPECT_EQ(readFile(PLOT), readFile(std::string(QELVO_SOURCE_DIR) + "/src/plot/qelvo-plot"));
  EXPECT_EQ(access(PLOT.c_str(), X_OK), 0) << PLOT;
  EXPECT_FALSE(wellFormedXml("<svg><g></svg></g>")) << "the check itself can fail";
  EXPECT_FALSE(linearImage({0, 1, 2, 3}, {0, 1, 4, 3})) << "the check itself can fail";
}

TEST(Plot, NamesItsPictureAndRefusesWhatItCannotDraw) {
  TempDir dir;
  {
    VirtualScope scope(dir, WAVES);
    ASSERT_EQ(runQelvo(dir, {"-s", "tty", "-c", "1", "capture"}).exitStatus, 0);
  }
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

  // A refused dump leaves the header only, or an empty CSV: nothing to draw.
  TempDir refusedDir;
  VirtualScope refusing(refusedDir, {"--fault", "no-echo=d", "--pace", "none"});
  for (std::string name : {"refused.dat", "refused.csv"}) {
    std::vector<std::string> args{"-s", "tty", "--channels=1,2", name};
    if (name.ends_with(".csv")) {
      args.insert(args.end() - 1, "--format=csv");
    }
    ASSERT_EQ(runQelvo(refusedDir, args).exitStatus, 0) << name;
    std::string file = refusedDir.file(name);
    r = runProgram({PLOT, file, file + ".svg"});
    EXPECT_EQ(r.exitStatus, 1) << name;
    EXPECT_EQ(r.err, "qelvo-plot: '" + file + "' holds no samples\n");
    EXPECT_FALSE(std::filesystem::exists(file + ".svg")) << name;
  }
}
