// The channels of one capture and the scale of each: --channels picks them,
// --gain, --offset and --probe give one value for all or one per channel in
// that order, and -c, -y, -Y and -p stand in for what is not given.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

// The channels `text` names, "1", "2", "1,2" or "2,1", into `channels`;
// their number, or 0 for any other text.
int parseChannelList(const char *text, int32_t channels[MAX_CHANNELS]);

// The values of a list, split at every comma first, so that a decimal comma
// cannot hide in one.
std::vector<std::string> splitList(const char *text);

// The number of channels the capture reads: that of a valid --channels, else
// one (-c).
int channelsCaptured();

// Fills `settings.channelCount` and `settings.scales` from the options, for
// settings the check has passed. With one channel the plain fields
// (`channel`, `voltsPerDiv`, `yZero`, `probeFactor`) take its values too, so
// that a one-channel capture is the one -c gives.
void resolveChannels();
