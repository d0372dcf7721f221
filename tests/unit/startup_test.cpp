#include "app/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "settings/settings.h"
#include "settings_reset.h"

TEST(Startup, ProgramNameIsTheBaseName) {
  EXPECT_STREQ(baseNameOf("/usr/local/bin/qelvo"), "qelvo");
  EXPECT_STREQ(baseNameOf("./qelvo"), "qelvo");
  EXPECT_STREQ(baseNameOf("qelvo"), "qelvo");
  EXPECT_STREQ(baseNameOf("dir/"), "");
}

TEST(Startup, FloatPrecisionFallsBackToTenForNonPositiveText) {
  struct Row {
    const char *text;
    int32_t expected;
  } rows[] = {{"4", 4},
              {"0", 10},
              {"-3", 10},
              {"abc", 10},
              {"12xyz", 12},
              {"25", 25},
              {"4294967300", 2147483647}};
  for (const Row &row : rows) {
    resetSettings();
    setenv("FLOAT_PRECISION", row.text, 1);
    applyFloatPrecision();
    EXPECT_EQ(settings.precision, row.expected) << "FLOAT_PRECISION=" << row.text;
  }
  resetSettings();
  settings.precision = 7;
  unsetenv("FLOAT_PRECISION");
  applyFloatPrecision();
  EXPECT_EQ(settings.precision, 7);
  resetSettings();
}
