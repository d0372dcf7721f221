// The tool's settings record back to its built-in values, for unit tests
// that share it within one process.
#pragma once

#include "settings/settings.h"

// A device copy made by setDevice stays with setDevice, which frees it on
// its next call: the built-in literal takes its place here.
inline void resetSettings() { settings = Settings{}; }
