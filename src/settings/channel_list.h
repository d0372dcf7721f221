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

// The one reading of --channels: sets `settings.channelCount` and each
// column's `scales[k].channel` from it, or one column of -c's channel when it
// is not given. False for a list that is none of the four (one column then).
bool readChannels();

// Fills the scales of the columns readChannels set from the options, for
// settings the check has passed. With one channel the plain fields
// (`channel`, `voltsPerDiv`, `yZero`, `probeFactor`) take its values too, so
// that a one-channel capture is the one -c gives.
void resolveChannels();
