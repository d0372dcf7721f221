// The last stage of start-up: judges the values the exchange and the
// conversion depend on, and opens the serial line.
#pragma once

// A time base or gain of 0, infinite or NaN, or a decimal comma in the text
// of -t, -y, -Y or -p, is reported with the text as typed; an unknown long
// option comes last of all.
// Writes one message per problem to standard error and returns their count.
// Opens the serial line when it is not open yet, even if earlier checks
// failed; the line stays open whatever the result.
int checkSettings();

// The same check without the line, for a server that opens it only when a
// job has passed: every problem but the line's.
int checkSettingValues();

// Opens the serial line as the check does, with its messages; 1 when it
// failed (the message written), else 0.
int openLineChecked();

// The messages of an open of the serial line: `opened` as openSerialLine
// returned it, `openError` the errno it left.
void reportOpenedLine(int opened, int openError);
