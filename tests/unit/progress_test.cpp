#include "app/progress.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "settings/settings.h"
#include "settings_reset.h"
#include "test_support.h"

namespace {

std::string contents(FILE *stream) {
  fflush(stream);
  std::string text(static_cast<size_t>(ftell(stream)), '\0');
  rewind(stream);
  size_t got = fread(text.data(), 1, text.size(), stream);
  text.resize(got);
  return text;
}

} // namespace

TEST(Progress, ShowsAtMostTenUpdatesASecondAndBlanksTheLine) {
  settings.programName = "qelvo";
  FILE *stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  progressStartOn(stream);
  progressUpdateAt(10, 0.05); // too early for a first update
  progressUpdateAt(96, 0.1);
  progressUpdateAt(97, 0.15); // only 50 ms after the last one
  progressUpdateAt(1920, 1.0);
  progressFinish();
  progressUpdateAt(2000, 2.0); // after the end nothing more
  const std::string first = "qelvo: 96 samples received, 960 samples/s";
  const std::string second = "qelvo: 1920 samples received, 1920 samples/s";
  // The shorter first text is overwritten in full, then the line is blanked
  // to the widest text shown and the cursor left at its start.
  EXPECT_EQ(contents(stream),
            "\r" + first + "\r" + second + "\r" + std::string(second.size(), ' ') + "\r");
  fclose(stream);
  resetSettings();
}

TEST(Progress, ShortDumpsAndFilesGetNothing) {
  FILE *stream = tmpfile();
  ASSERT_NE(stream, nullptr);
  progressStartOn(stream);
  progressUpdateAt(50, 0.02);
  progressFinish();
  EXPECT_EQ(contents(stream), "") << "a dump over in less than 100 ms";
  fclose(stream);

  ProcessResult r = runInChild([] {
    progressStart(); // standard error is a file here
    progressUpdateAt(5000, 5.0);
    progressFinish();
  });
  EXPECT_EQ(r.err, "");
}

TEST(Progress, StaysWithinANarrowTerminal) {
  // A wrapped line could not be rewritten in place.
  PtyPair terminal;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 20;
  ASSERT_EQ(ioctl(terminal.slave, TIOCSWINSZ, &size), 0);
  FILE *stream = fdopen(dup(terminal.slave), "w");
  ASSERT_NE(stream, nullptr);
  settings.programName = "qelvo";
  progressStartOn(stream);
  progressUpdateAt(1234, 0.5);
  progressFinish();
  fclose(stream);
  EXPECT_EQ(terminal.readMaster(), "\rqelvo: 1234 samples\r" + std::string(19, ' ') + "\r");
  resetSettings();
}
