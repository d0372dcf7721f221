// The host half of `make crash-test`: judges one cut of the power from what
// the guest reported before the series and after the next boot
// (tests/vm/crash-init), and what the series said on the console before the
// kill.
//
//   qelvo-crash-judge LINES RECORD-OPTIONS
//
// LINES holds
//   @@before NAME SIZE MD5   a file on the disk before the series began
//   @@err series LINE        the series' standard error, as it reached the console
//   @@sum NAME SIZE MD5      a file on the disk after the cut, as the guest saw it
//   @@file NAME LINE         the complete lines of each file new since before,
//                            as the host read them from the disk's image
//   @@bytes NAME SIZE NULS LINES  its size, the NUL bytes in those lines, their count
//   @@read NAME MD5          its checksum: the guest's, or the harness failed
// RECORD-OPTIONS are the virtual scope's options for its record, in one word.
//
// Every file the series reported written must be there, whole: its header,
// then every sample of the record. At most one further new file may be
// there, the one being written at the cut: its lines must be those of a
// written file (the creation time aside) and its samples a prefix of the
// record. Every file from before must be unchanged.
//
// Prints "CHECKED EXTRA LOST" (reported files checked; the further file as
// NAME:SAMPLES, or "-"; files lost: reported or earlier ones that are gone,
// cut short or changed), then a line for each problem. Status 0 when
// nothing is wrong, 1 when something is, 2 on a usage error, a report that
// is missing, or an image that holds other bytes than the guest saw.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "vm_reports.h"

namespace {

struct Stored {
  std::string size;
  std::string md5;
};

std::vector<Report> reports;
std::vector<int> record;
std::vector<std::string> problems;
bool reportMissing = false;
int lost = 0;

void fail(const std::string &problem) { problems.push_back(problem); }

void lose(const std::string &problem) {
  ++lost;
  fail(problem);
}

// The files of "@@KIND NAME SIZE MD5" lines.
std::map<std::string, Stored> inventory(const std::string &kind) {
  std::map<std::string, Stored> files;
  for (const Report &report : reports) {
    std::vector<std::string> parts = words(report.rest);
    if (report.kind == "@@" + kind && parts.size() == 2) {
      files[report.tag] = {parts[0], parts[1]};
    }
  }
  return files;
}

// The files the series reported written, in order, with their sample counts.
std::vector<std::pair<std::string, int>> reportedWritten() {
  std::vector<std::pair<std::string, int>> written;
  for (const std::string &line : reportField(reports, "err", "series")) {
    int number = 0;
    int samples = 0;
    char name[PATH_MAX];
    int end = 0;
    if (sscanf(line.c_str(), "qelvo: capture %d: %d samples written to '%4095[^']'%n", &number,
               &samples, name, &end) == 3 &&
        end == static_cast<int>(line.size())) {
      written.emplace_back(name, samples);
    }
  }
  return written;
}

std::vector<std::string> linesOf(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// A new file as the host read it: its complete lines, and whether they are
// all of it and free of NUL bytes.
struct Shown {
  bool present = false;
  std::string text;
  bool whole = false;
  bool nuls = false;
};

Shown shown(const std::string &name, const Stored &guest) {
  Shown file;
  std::vector<std::string> bytes = reportField(reports, "bytes", name);
  std::vector<std::string> parts = bytes.empty() ? std::vector<std::string>{} : words(bytes[0]);
  std::vector<std::string> read = reportField(reports, "read", name);
  if (parts.size() != 3 || read.empty()) {
    reportMissing = true;
    fail(name + ": not read from the image");
    return file;
  }
  if (parts[0] != guest.size || read[0] != guest.md5) {
    reportMissing = true;
    fail(name + ": the image holds " + parts[0] + " bytes, not the " + guest.size +
         " the guest saw, or other ones");
    return file;
  }
  file.present = true;
  file.text = reportedFile(reports, name);
  file.nuls = parts[1] != "0";
  file.whole = std::to_string(file.text.size()) == parts[0] && !file.nuls;
  return file;
}

bool isPrefix(const std::vector<int> &part, const std::vector<int> &whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Why a reported file is not the whole record; empty when it is.
std::string notWhole(const Shown &file) {
  std::vector<int> samples = rawSamples(file.text, 1);
  if (file.text.empty() && file.whole) {
    return "empty";
  }
  if (file.nuls) {
    return "NUL bytes";
  }
  if (!file.whole) {
    return "a torn last line";
  }
  if (file.text.rfind("# Program: ", 0) != 0) {
    return "no header";
  }
  if (samples != record) {
    return std::to_string(samples.size()) + " samples, " +
           (isPrefix(samples, record) ? "a prefix of the record"
                                      : "not the record's " + std::to_string(record.size()));
  }
  return "";
}

// The further file's lines against a written file's: equal, but for the
// creation time.
bool sameLines(const std::string &part, const std::string &whole) {
  std::vector<std::string> got = linesOf(part);
  std::vector<std::string> want = linesOf(whole);
  if (got.size() > want.size()) {
    return false;
  }
  const std::string created = "#  File created ";
  for (size_t i = 0; i < got.size(); ++i) {
    bool bothCreated = got[i].rfind(created, 0) == 0 && want[i].rfind(created, 0) == 0;
    if (got[i] != want[i] && !bothCreated) {
      return false;
    }
  }
  return true;
}

// The further file, as NAME:SAMPLES; `reference` is a whole written file's
// text, or empty when none was written.
std::string judgeFurther(const std::string &name, const Stored &guest,
                         const std::string &reference) {
  Shown file = shown(name, guest);
  if (!file.present) {
    return name + ":?";
  }
  std::vector<int> samples = rawSamples(file.text, 1);
  if (file.nuls) {
    fail(name + " (further file): NUL bytes in its lines");
  } else if (!file.text.empty() && file.text.rfind("# Program: ", 0) != 0) {
    fail(name + " (further file): no header");
  } else if (!isPrefix(samples, record)) {
    fail(name + " (further file): its samples are not a prefix of the record");
  } else if (!reference.empty() && !sameLines(file.text, reference)) {
    fail(name + " (further file): its lines differ from a written file's");
  }
  return name + ":" + std::to_string(samples.size());
}

} // namespace

int main(int argc, char *argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: qelvo-crash-judge LINES RECORD-OPTIONS\n");
    return 2;
  }
  reports = readReports(argv[1]);
  record = VirtualScope::waveform(words(argv[2]), 1);
  std::map<std::string, Stored> before = inventory("before");
  std::map<std::string, Stored> after = inventory("sum");
  if (!reportField(reports, "lost", "").empty()) {
    reportMissing = true;
    fail("no inventory from the guest after the cut");
  }

  std::vector<std::pair<std::string, int>> written = reportedWritten();
  std::map<std::string, bool> isReported;
  std::string reference;
  for (const auto &[name, samples] : written) {
    isReported[name] = true;
    if (before.count(name) != 0) {
      fail(name + ": reported written, but it was there before the series");
    } else if (after.count(name) == 0) {
      lose(name + ": reported written, gone after the cut");
    } else if (Shown file = shown(name, after[name]); file.present) {
      std::string why = notWhole(file);
      if (!why.empty()) {
        lose(name + ": reported written, after the cut " + why);
      } else if (reference.empty()) {
        reference = file.text;
      }
    }
    if (samples != static_cast<int>(record.size())) {
      fail(name + ": reported " + std::to_string(samples) + " samples written, the record has " +
           std::to_string(record.size()));
    }
  }
  for (const auto &[name, stored] : before) {
    auto now = after.find(name);
    if (now == after.end()) {
      lose(name + ": there before the series, gone after the cut");
    } else if (now->second.size != stored.size || now->second.md5 != stored.md5) {
      lose(name + ": changed by the cut (" + stored.size + " bytes, now " + now->second.size + ")");
    }
  }
  std::vector<std::string> further;
  for (const auto &[name, stored] : after) {
    if (before.count(name) == 0 && isReported.count(name) == 0) {
      further.push_back(name);
    }
  }
  std::string extra = "-";
  if (further.size() > 1) {
    std::string names;
    for (const std::string &name : further) {
      names += (names.empty() ? "" : " ") + name;
    }
    fail(std::to_string(further.size()) + " files neither reported nor there before: " + names);
  }
  if (!further.empty()) {
    extra = judgeFurther(further.back(), after[further.back()], reference);
  }

  printf("%zu %s %d\n", written.size(), extra.c_str(), lost);
  for (const std::string &problem : problems) {
    printf("%s\n", problem.c_str());
  }
  if (reportMissing) {
    return 2;
  }
  return problems.empty() ? 0 : 1;
}
