// The "@@KIND TAG REST" lines a test machine reports on its console, as the
// host's judges of `make vm-test` and `make crash-test` read them back.
#pragma once

#include <string>
#include <vector>

struct Report {
  std::string kind; // "@@status" and the like
  std::string tag;
  std::string rest;
};

// Every line of the file at `path`; a line without a tag has an empty one.
std::vector<Report> readReports(const std::string &path);

// The rest of each "@@KIND TAG ..." line, in order.
std::vector<std::string> reportField(const std::vector<Report> &reports, const std::string &kind,
                                     const std::string &tag);

std::vector<std::string> words(const std::string &text);

// The data file the guest sent as "@@file TAG LINE", its lines joined again.
std::string reportedFile(const std::vector<Report> &reports, const std::string &tag);
