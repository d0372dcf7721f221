// The last stage of start-up: judges the values the exchange and the
// conversion depend on, and opens the serial line.
#pragma once

// Writes one message per problem to standard error and returns their count.
// Opens the serial line when it is not open yet, even if earlier checks
// failed; the line stays open whatever the result.
int checkSettings();
