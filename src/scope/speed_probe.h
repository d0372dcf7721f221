// Finding the line speed the scope is set to (-b auto).
//
// Each speed the tool accepts is tried once, in a fixed order: the one the
// run would otherwise use first, then the common ones before the rare. A
// speed answers when the status query comes back cleanly (see
// statusAnswersPromptly); one the port refuses is skipped.
#pragma once

#include <cstdint>
#include <vector>

// The speeds in the order they are tried, `first` leading when the tool
// accepts it, else 38400.
std::vector<int32_t> probeOrder(int32_t first);

inline constexpr int32_t PROBE_NOT_FOUND = 0;
inline constexpr int32_t PROBE_STOPPED = -1;

// On a raw line: tries the speeds of probeOrder(settings.baudRate) and
// leaves the line and `settings.baudRate` at the first that answers, which
// it returns; PROBE_NOT_FOUND after the last, PROBE_STOPPED once a stop
// signal came. `tried` gets every speed the port took, in order.
int32_t probeLineSpeed(std::vector<int32_t> &tried);
