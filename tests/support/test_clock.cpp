#include "test_clock.h"

int64_t TestClock::nowUs_ = 0;
std::map<int64_t, std::string> TestClock::script_;
int TestClock::masterFd = -1;
