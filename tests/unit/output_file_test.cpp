#include "datafile/output_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <string>

#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

TEST(OutputFile, SeriesFileIsOnlyEverCreated) {
  resetSettings();
  TempDir dir;
  std::string fresh = dir.file("run-001.dat");
  settings.outputFile = createOutputFile(fresh.c_str());
  ASSERT_NE(settings.outputFile, nullptr);
  settings.outputName = fresh.c_str();
  ASSERT_TRUE(startOutputFile(settings.outputFile));
  fputs("1\n", settings.outputFile);
  EXPECT_TRUE(closeOutputFile());
  EXPECT_EQ(readFile(fresh), "1\n");

  ASSERT_EQ(symlink("nowhere", dir.file("run-002.dat").c_str()), 0);
  for (const std::string &taken : {fresh, dir.file("run-002.dat")}) {
    errno = 0;
    EXPECT_EQ(createOutputFile(taken.c_str()), nullptr) << taken;
    EXPECT_EQ(errno, EEXIST) << taken;
  }
  EXPECT_EQ(readFile(fresh), "1\n");
  EXPECT_NE(access(dir.file("nowhere").c_str(), F_OK), 0) << "a link's target was created";
  resetSettings();
}
