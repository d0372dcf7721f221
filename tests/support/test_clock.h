// A clock of the test's own for the line's waits: a wait advances it instead
// of passing, so the tests check how long the line decides to wait, not how
// busy the machine is. The scope's bytes are scripted at moments on that
// clock and reach the pty when a wait gets there.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "scope/line_control.h"
#include "settings/settings.h"

class TestClock {
public:
  TestClock() {
    nowUs_ = 0;
    script_.clear();
    lineClock = {nowMs, sleepUs, pollLine, nowUs};
  }
  ~TestClock() { lineClock = SYSTEM_LINE_CLOCK; }
  static long ms() { return static_cast<long>(nowUs_ / 1000); }
  // `bytes` arrive on the line `atUs` microseconds after the start.
  static void at(int64_t atUs, const std::string &bytes) { script_[atUs] += bytes; }
  static int masterFd;

private:
  static int64_t nowMs() { return nowUs_ / 1000; }
  static int64_t nowUs() { return nowUs_; }
  // Delivers what the script holds up to `untilUs`; true if anything came.
  static bool deliverUntil(int64_t untilUs) {
    bool any = false;
    while (!script_.empty() && script_.begin()->first <= untilUs) {
      nowUs_ = std::max(nowUs_, script_.begin()->first);
      std::string bytes = script_.begin()->second;
      script_.erase(script_.begin());
      EXPECT_EQ(write(masterFd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      any = true;
    }
    if (any) { // the pty hands the bytes over a moment later, in real time
      pollfd line{settings.serialFd, POLLIN, 0};
      ::poll(&line, 1, 2000);
    }
    return any;
  }
  static void sleepUs(long us) {
    int64_t until = nowUs_ + us;
    deliverUntil(until);
    nowUs_ = until;
  }
  static int pollLine(pollfd *lines, nfds_t count, int timeoutMs) {
    int ready = ::poll(lines, count, 0);
    if (ready != 0 || timeoutMs <= 0) {
      return ready;
    }
    int64_t until = nowUs_ + timeoutMs * 1000L;
    if (deliverUntil(until)) {
      return ::poll(lines, count, 0);
    }
    nowUs_ = until;
    return 0;
  }
  static int64_t nowUs_;
  static std::map<int64_t, std::string> script_;
};
