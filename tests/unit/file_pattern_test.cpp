#include "datafile/file_pattern.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// 2000-09-14 10:40:32 UTC.
const time_t FIXED_START = 968928032;

// The names are made in UTC here, whatever the machine's zone.
class FilePattern : public ::testing::Test {
protected:
  void SetUp() override {
    const char *zone = getenv("TZ");
    hadZone_ = zone != nullptr;
    oldZone_ = hadZone_ ? zone : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    mkdir(dir_.file("dir.d").c_str(), 0777);
  }
  void TearDown() override {
    if (hadZone_) {
      setenv("TZ", oldZone_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // The name and number for `pattern` in the test's directory.
  std::string next(const std::string &pattern, int previous, int &number) {
    char name[PATH_MAX];
    number = seriesFileName(dir_.file(pattern).c_str(), FIXED_START, previous, name, sizeof name);
    return number < 0 ? "" : std::string(name).substr(dir_.path().size() + 1);
  }
  TempDir dir_;
  bool hadZone_ = false;
  std::string oldZone_;
};

} // namespace

TEST_F(FilePattern, NumberGoesInTheHashRunOrBeforeTheLastSuffix) {
  struct Row {
    const char *pattern;
    int previous;
    const char *name;
  } rows[] = {
      {"run-###.dat", 0, "run-001.dat"},
      {"run-#.dat", 9, "run-10.dat"}, // wider than the run: written whole
      {"a#b##.dat", 0, "a1b##.dat"},  // the first run only
      {"dir.d/##", 41, "dir.d/42"},
      {"run.dat", 0, "run-0001.dat"},
      {"run.tar.gz", 0, "run.tar-0001.gz"},
      {"run", 0, "run-0001"},
      {".hidden", 0, ".hidden-0001"},
      {".hidden.dat", 0, ".hidden-0001.dat"},
      {"dir.d/run", 12344, "dir.d/run-12345"},
      {"scope-%Y%m%d-%H%M%S.dat", 0, "scope-20000914-104032-0001.dat"},
      {"%H%M-###-%S", 0, "1040-001-32"},
      {"100%-##%%.dat", 0, "100%-01%.dat"}, // "%-" is no conversion
      {"rate%.dat", 0, "rate%-0001.dat"},
  };
  for (const Row &row : rows) {
    int number = 0;
    EXPECT_EQ(next(row.pattern, row.previous, number), row.name) << row.pattern;
    EXPECT_EQ(number, row.previous + 1) << row.pattern;
  }
}

TEST_F(FilePattern, ExistingFilesAreSkippedAndGapsFilledAfterThePrevious) {
  for (const char *name : {"run-001.dat", "run-002.dat", "run-004.dat"}) {
    writeFile(dir_.file(name), "earlier\n");
  }
  ASSERT_EQ(symlink("nowhere", dir_.file("run-005.dat").c_str()), 0);
  struct Row {
    int previous;
    const char *name;
    int number;
  } rows[] = {
      {0, "run-003.dat", 3}, // a second series fills the gap
      {3, "run-006.dat", 6}, // 4 is a file, 5 a dangling link
      {6, "run-007.dat", 7},
      {99, "run-100.dat", 100},
  };
  for (const Row &row : rows) {
    int number = 0;
    EXPECT_EQ(next("run-###.dat", row.previous, number), row.name) << row.previous;
    EXPECT_EQ(number, row.number) << row.previous;
  }
}

TEST_F(FilePattern, NameThatDoesNotFitOrNoNumberLeft) {
  char name[12];
  EXPECT_EQ(seriesFileName("run-###.dat", FIXED_START, 0, name, sizeof name), 1);
  EXPECT_STREQ(name, "run-001.dat");
  EXPECT_EQ(seriesFileName("run-####.dat", FIXED_START, 0, name, sizeof name), -1);
  EXPECT_EQ(seriesFileName(std::string(5000, 'a').c_str(), FIXED_START, 0, name, sizeof name), -1);
  char room[64];
  EXPECT_EQ(seriesFileName(dir_.file("#").c_str(), FIXED_START, INT_MAX, room, sizeof room), -1);
}
