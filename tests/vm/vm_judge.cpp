// The host half of `make vm-test`: judges one case from the "@@" lines the
// guest reported (tests/vm/guest-init) and prints its verdict line.
//
//   qelvo-vm-judge LINES NAME TAG CHECK...
//
// NAME heads the verdict line, TAG's exit status is shown on it. Each CHECK
// is a word followed by its arguments:
//   status TAG N          the run ended with status N
//   quiet TAG             standard error holds nothing but the configuration warning
//   message TAG TEXT      TEXT is one of the lines on standard error; a TEXT
//                         of several lines stands there in one piece
//   only TAG TEXT         standard error holds TEXT and nothing else but the
//                         configuration warning
// In a TEXT, {holder} stands for the process the guest reported holding the
// port while TAG ran.
//   restored TAG          the port's settings after the run are those before
//   exact TAG OPTIONS     the data file holds every sample the virtual scope
//                         has with OPTIONS (one word), after its header
//   file-is TAG TEXT      the file left is the one line TEXT
//   nothing-sent LOG      the scope's log of received bytes is empty
//   grows TAG             the file grew while the capture ran, not only in
//                         whole 4 KiB blocks (prints the sizes seen)
//   held TAG              nothing left the port after the last command was
//                         held back by CTS, and nothing stays queued
//   lists TAG PORT        TAG's output (qelvo --ports) has a block for PORT
//                         with a 16550A and the 8250 driver sysfs names for
//                         it, and lists exactly the ttyS ports with a UART
// Status 0 when every check holds, 1 when one fails, 2 on a usage error.
#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "vm_reports.h"

namespace {

std::vector<Report> reports;
std::vector<std::string> problems;
std::string afterVerdict;

std::vector<std::string> field(const std::string &kind, const std::string &tag) {
  return reportField(reports, kind, tag);
}

std::string firstField(const std::string &kind, const std::string &tag) {
  std::vector<std::string> found = field(kind, tag);
  return found.empty() ? "" : found.front();
}

void fail(const std::string &problem) { problems.push_back(problem); }

const char CONFIG_WARNING[] = "Warning: no config file found -- unsing default values";

void expectStatus(const std::string &tag, const std::string &want) {
  std::string got = firstField("status", tag);
  if (got != want) {
    fail(tag + ": status " + (got.empty() ? "none" : got) + ", want " + want);
  }
}

std::vector<std::string> errorLines(const std::string &tag) {
  std::vector<std::string> lines = field("err", tag);
  lines.erase(std::remove(lines.begin(), lines.end(), CONFIG_WARNING), lines.end());
  return lines;
}

void expectQuiet(const std::string &tag) {
  std::vector<std::string> lines = errorLines(tag);
  if (!lines.empty()) {
    fail(tag + ": stderr '" + lines.front() + "'");
  }
}

// The lines of a TEXT argument, with {holder} filled in.
std::vector<std::string> textLines(const std::string &tag, const std::string &text) {
  std::string filled = text;
  const std::string holder = "{holder}";
  size_t at = filled.find(holder);
  if (at != std::string::npos) {
    filled.replace(at, holder.size(), firstField("holder", tag));
  }
  std::vector<std::string> lines;
  std::istringstream in(filled);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

void expectMessage(const std::string &tag, const std::string &message) {
  std::vector<std::string> lines = field("err", tag);
  std::vector<std::string> wanted = textLines(tag, message);
  if (std::search(lines.begin(), lines.end(), wanted.begin(), wanted.end()) == lines.end()) {
    std::vector<std::string> other = errorLines(tag);
    fail(tag + ": no '" + message + "' on stderr but '" + (other.empty() ? "" : other.front()) +
         "'");
  }
}

void expectOnly(const std::string &tag, const std::string &message) {
  std::vector<std::string> lines = errorLines(tag);
  std::vector<std::string> wanted = textLines(tag, message);
  if (lines != wanted) {
    std::string seen;
    for (const std::string &line : lines) {
      seen += (seen.empty() ? "'" : " / '") + line + "'";
    }
    fail(tag + ": stderr " + (seen.empty() ? "empty" : seen) + ", want '" +
         (wanted.empty() ? "" : wanted.front()) + "'");
  }
}

void expectRestored(const std::string &tag) {
  std::string before;
  std::string after;
  for (const std::string &settings : field("stty", tag)) {
    std::vector<std::string> parts = words(settings);
    if (parts.size() == 2 && parts[0] == "before") {
      before = parts[1];
    } else if (parts.size() == 2 && parts[0] == "after") {
      after = parts[1];
    }
  }
  if (before.empty() || before != after) {
    fail(tag + ": port settings " + before + " -> " + after);
  }
}

std::string fileText(const std::string &tag) { return reportedFile(reports, tag); }

void expectExact(const std::string &tag, const std::string &options) {
  if (!field("nofile", tag).empty()) {
    fail(tag + ": no data file");
    return;
  }
  std::vector<int> want = VirtualScope::waveform(words(options), 1);
  std::vector<int> got = rawSamples(fileText(tag), 1);
  if (got != want) {
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) {
      ++at;
    }
    fail(tag + ": " + std::to_string(got.size()) + " samples, want " + std::to_string(want.size()) +
         "; first difference at sample " + std::to_string(at));
  }
  if (firstField("file", tag).rfind("# Program: ", 0) != 0) {
    fail(tag + ": file does not start with its header");
  }
  std::vector<std::string> bytes = words(firstField("bytes", tag));
  if (bytes.size() != 2 || bytes[1] != "0") {
    fail(tag + ": NUL bytes in the file");
  }
}

void expectFileIs(const std::string &tag, const std::string &text) {
  if (fileText(tag) != text + "\n") {
    fail(tag + ": the earlier capture was changed");
  }
}

void expectNothingSent(const std::string &log) {
  std::string received = readFile(log);
  if (!received.empty()) {
    fail("the scope received " + std::to_string(received.size()) + " bytes: '" +
         received.substr(0, 20) + "'");
  }
}

// Bytes of the data file's header: its comment lines before the column
// header that opens the samples.
size_t headerBytes(const std::string &tag) {
  size_t bytes = 0;
  for (const std::string &line : field("file", tag)) {
    if (line.empty() || line[0] != '#' || line.rfind("# Time ", 0) == 0) {
      break;
    }
    bytes += line.size() + 1;
  }
  return bytes;
}

// The file's sizes while the capture ran (about 3 KiB/s): the header there
// before the first 4 KiB, then many steps, not only whole 4 KiB blocks.
void expectGrows(const std::string &tag) {
  std::vector<long> sizes;
  for (const Report &report : reports) {
    std::vector<std::string> parts = words(report.rest);
    if (report.kind == "@@size" && !parts.empty() && parts[0] != "-") {
      long size = std::stol(parts[0]);
      if (sizes.empty() || sizes.back() != size) {
        sizes.push_back(size);
      }
    }
  }
  long header = static_cast<long>(headerBytes(tag));
  auto first = std::find_if(sizes.begin(), sizes.end(), [](long size) { return size > 0; });
  if (first == sizes.end() || *first < header || *first >= 4096) {
    fail(tag + ": first size seen " + (first == sizes.end() ? "none" : std::to_string(*first)) +
         ", want the header (" + std::to_string(header) + " bytes) and less than 4096");
  }
  std::set<long> steps;
  bool partBlock = false;
  for (long size : sizes) {
    if (size > header) {
      steps.insert(size);
      partBlock = partBlock || size % 4096 != 0;
    }
  }
  if (steps.size() < 5) {
    fail(tag + ": the file grew in " + std::to_string(steps.size()) + " steps only");
  }
  if (!partBlock) {
    fail(tag + ": the file grew in whole 4 KiB blocks only");
  }
  std::string seen;
  for (long size : sizes) {
    seen += std::to_string(size) + " ";
  }
  afterVerdict = "                 sizes seen: " + seen.substr(0, 90) + "...\n";
}

void expectHeld(const std::string &tag) {
  std::vector<std::string> parts = words(firstField("held", tag));
  if (parts.size() != 2) {
    fail(tag + ": no report from the holder");
  } else if (parts[0] != "0" || parts[1] != "0") {
    fail(tag + ": " + parts[0] + " bytes left the port after the last command was held, " +
         parts[1] + " still queued");
  }
}

// The names the 8250 driver registers under: the platform driver, and its
// glue for ports that firmware (PnP) or a PCI card announces.
bool is8250Driver(const std::string &name) { return name == "serial8250" || name == "serial"; }

// qelvo --ports prints "/dev/NAME" and then "  label:   value" lines.
void expectLists(const std::string &tag, const std::string &port) {
  std::set<std::string> listed;
  std::string driver;
  std::string uart;
  std::string block;
  for (const std::string &line : field("out", tag)) {
    std::vector<std::string> parts = words(line);
    if (line.rfind("/dev/ttyS", 0) == 0) {
      block = line;
      listed.insert(line.substr(5));
    } else if (block == port && parts.size() == 2 && parts[0] == "driver:") {
      driver = parts[1];
    } else if (block == port && parts.size() == 2 && parts[0] == "uart:") {
      uart = parts[1];
    }
  }
  std::vector<std::string> drivers = field("driver", tag);
  if (!listed.count(port.substr(5))) {
    fail(tag + ": no block for " + port);
  } else if (!is8250Driver(driver) ||
             std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) {
    std::string chain;
    for (const std::string &name : drivers) {
      chain += (chain.empty() ? "" : " ") + name;
    }
    fail(tag + ": " + port + " has driver '" + driver + "', sysfs links '" + chain + "'");
  }
  if (uart != "16550A") {
    fail(tag + ": " + port + " has uart '" + uart + "'");
  }
  std::vector<std::string> withUart = field("uart", tag);
  if (listed != std::set<std::string>(withUart.begin(), withUart.end())) {
    std::string names;
    for (const std::string &name : listed) {
      names += (names.empty() ? "" : " ") + name;
    }
    fail(tag + ": lists " + names + ", not the " + std::to_string(withUart.size()) +
         " ttyS ports with a UART");
  }
}

// Runs the checks from argv[from]; false on a check it does not know.
bool runChecks(int argc, char *argv[], int from) {
  for (int i = from; i < argc;) {
    std::string check = argv[i];
    int args = check == "status" || check == "message" || check == "only" || check == "exact" ||
                       check == "file-is" || check == "lists"
                   ? 2
                   : 1;
    if (i + args >= argc) {
      return false;
    }
    std::string a = argv[i + 1];
    std::string b = args == 2 ? argv[i + 2] : "";
    if (check == "status") {
      expectStatus(a, b);
    } else if (check == "quiet") {
      expectQuiet(a);
    } else if (check == "message") {
      expectMessage(a, b);
    } else if (check == "only") {
      expectOnly(a, b);
    } else if (check == "restored") {
      expectRestored(a);
    } else if (check == "exact") {
      expectExact(a, b);
    } else if (check == "file-is") {
      expectFileIs(a, b);
    } else if (check == "nothing-sent") {
      expectNothingSent(a);
    } else if (check == "grows") {
      expectGrows(a);
    } else if (check == "held") {
      expectHeld(a);
    } else if (check == "lists") {
      expectLists(a, b);
    } else {
      return false;
    }
    i += 1 + args;
  }
  return true;
}

} // namespace

int main(int argc, char *argv[]) {
  if (argc < 4) {
    fprintf(stderr, "usage: qelvo-vm-judge LINES NAME TAG CHECK...\n");
    return 2;
  }
  reports = readReports(argv[1]);
  if (!runChecks(argc, argv, 4)) {
    fprintf(stderr, "qelvo-vm-judge: bad or incomplete check in the arguments\n");
    return 2;
  }
  if (!field("lost", "").empty()) {
    fail("no answer from the guest");
  }
  std::string status = firstField("status", argv[3]);
  status = words(status).empty() ? "-" : words(status).front();
  if (problems.empty()) {
    printf("%-16s status %-4s PASS\n", argv[2], status.c_str());
  } else {
    std::string all;
    for (const std::string &problem : problems) {
      all += (all.empty() ? "" : "; ") + problem;
    }
    printf("%-16s status %-4s FAIL (%s)\n", argv[2], status.c_str(), all.c_str());
  }
  fputs(afterVerdict.c_str(), stdout);
  return problems.empty() ? 0 : 1;
}
