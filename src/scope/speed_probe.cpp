#include "scope/speed_probe.h"

#include <algorithm>
#include <iterator>

#include "scope/scope_protocol.h"
#include "scope/serial_line.h"
#include "settings/settings.h"

namespace {

// Every speed baudCode accepts, the usual settings of a scope's menu first.
constexpr int32_t USUAL_FIRST[] = {38400, 9600,   19200,  57600, 115200, 4800, 2400,
                                   1200,  230400, 460800, 600,   300,    1800, 200,
                                   150,   134,    110,    75,    50};

} // namespace

std::vector<int32_t> probeOrder(int32_t first) {
  std::vector<int32_t> order{baudCode(first) != 0 ? first : DEFAULT_BAUD_RATE};
  std::copy_if(std::begin(USUAL_FIRST), std::end(USUAL_FIRST), std::back_inserter(order),
               [&](int32_t rate) { return rate != order.front(); });
  return order;
}

int32_t probeLineSpeed(std::vector<int32_t> &tried) {
  for (int32_t rate : probeOrder(settings.baudRate)) {
    if (stopSignal() != 0) {
      return PROBE_STOPPED;
    }
    settings.baudRate = rate;
    if (changeLineSpeed() != LINE_READY) {
      continue;
    }
    tried.push_back(rate);
    if (statusAnswersPromptly()) {
      return rate;
    }
  }
  return stopSignal() != 0 ? PROBE_STOPPED : PROBE_NOT_FOUND;
}
