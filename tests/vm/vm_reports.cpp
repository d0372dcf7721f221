#include "vm_reports.h"

#include <sstream>

#include "test_support.h"

std::vector<Report> readReports(const std::string &path) {
  std::vector<Report> reports;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) {
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    Report report{line.substr(0, first), "", ""};
    if (first != std::string::npos) {
      report.tag =
          line.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    }
    if (second != std::string::npos) {
      report.rest = line.substr(second + 1);
    }
    reports.push_back(report);
  }
  return reports;
}

std::vector<std::string> reportField(const std::vector<Report> &reports, const std::string &kind,
                                     const std::string &tag) {
  std::vector<std::string> found;
  for (const Report &report : reports) {
    if (report.kind == "@@" + kind && report.tag == tag) {
      found.push_back(report.rest);
    }
  }
  return found;
}

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  std::string word;
  while (in >> word) {
    result.push_back(word);
  }
  return result;
}

std::string reportedFile(const std::vector<Report> &reports, const std::string &tag) {
  std::string text;
  for (const std::string &line : reportField(reports, "file", tag)) {
    text += line + "\n";
  }
  return text;
}
