#include "settings/channel_list.h"

#include <cstdlib>
#include <cstring>

#include "settings/command_line.h"

int parseChannelList(const char *text, int32_t channels[MAX_CHANNELS]) {
  static const struct {
    const char *text;
    int32_t first, second;
  } LISTS[] = {{"1", 1, 0}, {"2", 2, 0}, {"1,2", 1, 2}, {"2,1", 2, 1}};
  for (const auto &list : LISTS) {
    if (text != nullptr && strcmp(text, list.text) == 0) {
      channels[0] = list.first;
      channels[1] = list.second;
      return list.second == 0 ? 1 : 2;
    }
  }
  return 0;
}

std::vector<std::string> splitList(const char *text) {
  std::vector<std::string> values;
  if (text == nullptr) {
    return values;
  }
  const char *start = text;
  for (const char *comma = strchr(start, ','); comma != nullptr; comma = strchr(start, ',')) {
    values.emplace_back(start, comma);
    start = comma + 1;
  }
  values.emplace_back(start);
  return values;
}

bool readChannels() {
  int32_t channels[MAX_CHANNELS] = {settings.channel, 0};
  int count =
      settings.channelsText != nullptr ? parseChannelList(settings.channelsText, channels) : 1;
  settings.channelCount = count > 0 ? count : 1;
  for (int k = 0; k < settings.channelCount; ++k) {
    settings.scales[k].channel = channels[k];
  }
  return count > 0;
}

namespace {

// The value of channel `k` from `list` (one for all, or one each), or
// `fallback` when the list is not given.
double valueFor(const char *list, int k, double fallback, double (*read)(const char *)) {
  if (list == nullptr) {
    return fallback;
  }
  std::vector<std::string> values = splitList(list);
  return read(values[values.size() == 1 ? 0 : k].c_str());
}

double plainNumber(const char *text) { return strtod(text, nullptr); }

} // namespace

void resolveChannels() {
  for (int k = 0; k < settings.channelCount; ++k) {
    settings.scales[k] = {settings.scales[k].channel,
                          valueFor(settings.gainsText, k, settings.voltsPerDiv, scaledValue),
                          valueFor(settings.offsetsText, k, settings.yZero, plainNumber),
                          valueFor(settings.probesText, k, settings.probeFactor, plainNumber)};
  }
  if (settings.channelCount == 1) {
    const ChannelScale &only = settings.scales[0];
    settings.channel = only.channel;
    settings.voltsPerDiv = only.voltsPerDiv;
    settings.yZero = only.yZero;
    settings.probeFactor = only.probeFactor;
  }
}
